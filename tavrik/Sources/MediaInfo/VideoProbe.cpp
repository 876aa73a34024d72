#include "MediaInfo/VideoProbe.h"

#include "MediaInfo/DurationReconciliation.h"
#include "MediaInfo/FourCharCodeText.h"
#include "MediaInfo/IntegerConversion.h"
#include "MediaInfo/MediaInfoError.h"
#include "MediaInfo/PathText.h"

#include <cmath>
#include <optional>
#include <utility>

namespace mediainfo {
namespace {

constexpr int64_t kLevelUnknown = -99;

// The value of a number extension when it is exactly a whole number.
std::optional<int64_t> exactInteger(const platform::ExtensionValue& value) {
    if (const auto* integer = std::get_if<int64_t>(&value)) return *integer;
    if (const auto* number = std::get_if<double>(&value)) {
        if (fitsInt64(*number) && *number == std::trunc(*number)) return static_cast<int64_t>(*number);
    }
    return std::nullopt;
}

std::optional<std::string> formatName(const platform::FormatDescription* format) {
    if (!format) return std::nullopt;
    auto it = format->extensions.find("FormatName");
    if (it == format->extensions.end()) return std::nullopt;
    if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
    return std::nullopt;
}

} // namespace

std::string rationalString(double rate) {
    static const std::pair<double, const char*> kKnownRates[] = {
        {23.976, "24000/1001"}, {24, "24/1"},   {25, "25/1"},         {29.97, "30000/1001"},
        {30, "30/1"},           {47.952, "48000/1001"}, {48, "48/1"}, {50, "50/1"},
        {59.94, "60000/1001"},  {60, "60/1"},   {120, "120/1"},
    };
    for (const auto& [known, text] : kKnownRates)
        if (std::fabs(rate - known) < 0.01) return text;
    return std::to_string(roundedToInt64(rate)) + "/1";
}

std::string pixelFormatName(const platform::FormatDescription* format) {
    if (!format) return "unknown";
    auto it = format->extensions.find("Depth");
    if (it == format->extensions.end()) return "unknown";
    auto depth = exactInteger(it->second);
    if (!depth) return "unknown";
    return *depth == 24 ? "yuv420p" : "yuv" + std::to_string(*depth);
}

VideoInfo getVideoInfo(const std::string& path, platform::MediaAssets& assets) {
    if (!existsAtPath(path)) throw MediaInfoError::fileNotFound(path);
    platform::MediaAsset asset = assets.load(path);
    double assetSeconds = asset.duration.seconds();

    auto videoTracks = asset.tracksWithMediaType(platform::MediaType::video);
    if (videoTracks.empty()) throw MediaInfoError::noVideoTrack();
    const platform::MediaTrack& track = videoTracks.front();
    double durationMs = accurateDurationMs(asset, platform::MediaType::video);

    const platform::FormatDescription* format =
        track.formatDescriptions.empty() ? nullptr : track.formatDescriptions.front().get();
    double fps = static_cast<double>(track.nominalFrameRate);
    std::string rational = rationalString(fps);

    VideoInfo info;
    info.width = truncatedToInt64(track.naturalSize.width);
    info.height = truncatedToInt64(track.naturalSize.height);
    info.framerate = fps;
    info.framerateRational = rational;
    info.durationMs = durationMs;
    info.startTimeMs = track.timeRange.start.seconds() * 1000;
    info.totalFrames = fps > 0 ? roundedToInt64(fps * assetSeconds) : 0;
    info.avgFrameRate = rational;
    info.realFrameRate = rational;
    info.timeBase = "1/" + std::to_string(track.minFrameDuration.timescale);
    info.bitrate = truncatedToInt64(static_cast<double>(track.estimatedDataRate));
    info.codec = format ? fourCharCodeText(format->mediaSubtype) : "unknown";
    info.pixelFormat = pixelFormatName(format);
    info.profile = formatName(format);
    info.level = kLevelUnknown;
    info.msPerFrame = fps > 0 ? 1000 / fps : 0;
    info.hasAudio = !asset.tracksWithMediaType(platform::MediaType::audio).empty();
    return info;
}

} // namespace mediainfo
