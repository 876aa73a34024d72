#include "MediaInfo/MediaTypeDetection.h"

#include "MediaInfo/PathText.h"

#include "platform/error.h"

#include <array>
#include <algorithm>
#include <string_view>

namespace mediainfo {
namespace {

constexpr std::array<std::string_view, 6> kVideoExtensions = {"mp4", "mov", "avi", "flv", "wmv", "m4v"};
constexpr std::array<std::string_view, 8> kAudioExtensions = {"mp3", "m4a", "ogg", "wav",
                                                              "flac", "aac", "opus", "wma"};

template <size_t N>
bool contains(const std::array<std::string_view, N>& table, std::string_view extension) {
    return std::find(table.begin(), table.end(), extension) != table.end();
}

} // namespace

std::optional<std::string> detectMediaType(const std::string& path, platform::MediaAssets& assets) {
    std::string extension = lowercasedText(pathExtension(path));
    if (contains(kVideoExtensions, extension)) return "video";
    if (contains(kAudioExtensions, extension)) return "audio";
    if (extension == "webm" || extension == "mkv") return probeMediaType(path, assets);
    return std::nullopt;
}

std::optional<std::string> probeMediaType(const std::string& path, platform::MediaAssets& assets) {
    platform::MediaAsset asset;
    try {
        asset = assets.load(path);
    } catch (const platform::PlatformError& error) {
        // A load that ran out of time says nothing about the tracks: it is
        // reported as what it is, not as a file without tracks.
        if (error.domain() == platform::kMediaAssetErrorDomain && error.code() == platform::mediaAssetTimedOut) throw;
        return std::nullopt;
    } catch (const std::exception&) {
        // A file that cannot be opened has no tracks of either kind.
        return std::nullopt;
    }
    if (!asset.tracksWithMediaType(platform::MediaType::video).empty()) return "video";
    if (!asset.tracksWithMediaType(platform::MediaType::audio).empty()) return "audio";
    return std::nullopt;
}

} // namespace mediainfo
