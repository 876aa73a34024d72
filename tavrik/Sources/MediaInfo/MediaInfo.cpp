#include "MediaInfo/MediaInfo.h"

#include "MediaInfo/AudioProbe.h"
#include "MediaInfo/MediaInfoError.h"
#include "MediaInfo/MediaInfoJson.h"
#include "MediaInfo/MediaTypeDetection.h"
#include "MediaInfo/PathText.h"
#include "MediaInfo/TaskPool.h"
#include "MediaInfo/VideoProbe.h"

#include "platform/error.h"
#include "platform/platform.h"

#include <mutex>
#include <unordered_map>

namespace mediainfo {
namespace {

// Stands in when the platform has no media library: every load fails.
class NoMediaAssets final : public platform::MediaAssets {
public:
    platform::MediaAsset load(const std::string&) override {
        throw platform::PlatformError(platform::kMediaAssetErrorDomain, platform::mediaAssetCannotOpen,
                                      "Cannot Open (no media library)");
    }
};

platform::MediaAssets& installedAssets(std::shared_ptr<platform::MediaAssets>& keepAlive) {
    keepAlive = platform::installed().mediaAssets;
    if (keepAlive) return *keepAlive;
    static NoMediaAssets none;
    return none;
}

MediaInfo probe(const std::string& path, platform::MediaAssets& assets) {
    if (!existsAtPath(path)) throw MediaInfoError::fileNotFound(path);
    auto type = detectMediaType(path, assets);
    MediaInfo info;
    if (type == "video") {
        info = getVideoInfo(path, assets);
    } else if (type == "audio") {
        info = getAudioInfo(path, assets);
    } else {
        throw MediaInfoError::unsupportedExtension(pathExtension(path));
    }
    // A value without a JSON form would cost the whole reply: report it as this file's failure.
    if (auto field = nonFiniteField(info)) throw MediaInfoError::loadFailed(*field + " is not a finite number");
    return info;
}

} // namespace

MediaInfoResult getMediaInfo(std::string_view path) {
    std::shared_ptr<platform::MediaAssets> keepAlive;
    return getMediaInfo(path, installedAssets(keepAlive));
}

MediaInfoResult getMediaInfo(std::string_view rawPath, platform::MediaAssets& assets) {
    MediaInfoResult result{trimmedPath(rawPath), std::nullopt, std::nullopt};
    try {
        result.info = probe(result.path, assets);
    } catch (const MediaInfoError& error) {
        result.error = error.message();
    } catch (const platform::PlatformError& error) {
        result.error = error.description();
    } catch (const std::exception& error) {
        result.error = error.what();
    }
    return result;
}

std::vector<MediaInfoResult> getMediaInfoBulk(const std::vector<std::string>& paths) {
    std::shared_ptr<platform::MediaAssets> keepAlive;
    return getMediaInfoBulk(paths, installedAssets(keepAlive));
}

std::vector<MediaInfoResult> getMediaInfoBulk(const std::vector<std::string>& paths, platform::MediaAssets& assets) {
    std::mutex finishedMutex;  // guards `finished`, filled in the order the probes finish
    std::vector<MediaInfoResult> finished;
    finished.reserve(paths.size());
    runConcurrently(paths.size(), [&](size_t index) {
        MediaInfoResult result = getMediaInfo(paths[index], assets);
        std::lock_guard lock(finishedMutex);
        finished.push_back(std::move(result));
    });

    std::unordered_map<std::string, size_t> firstFinished;
    for (size_t i = 0; i < finished.size(); ++i) firstFinished.try_emplace(canonicalKey(finished[i].path), i);

    std::vector<MediaInfoResult> answer;
    answer.reserve(paths.size());
    for (const auto& path : paths) {
        auto match = firstFinished.find(canonicalKey(trimmedPath(path)));
        if (match != firstFinished.end()) answer.push_back(finished[match->second]);
    }
    return answer;
}

} // namespace mediainfo
