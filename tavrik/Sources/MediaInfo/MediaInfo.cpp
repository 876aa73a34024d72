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
    BulkPlan plan = planBulk(paths);
    // Each slot is written by the one task that probes it.
    std::vector<MediaInfoResult> slots(plan.entryOfSlot.size());
    probeBulk(paths, plan, [&](size_t slot, MediaInfoResult&& result) { slots[slot] = std::move(result); }, assets);

    std::vector<MediaInfoResult> answer;
    answer.reserve(paths.size());
    for (size_t slot : plan.slotOfEntry) answer.push_back(slots[slot]);
    return answer;
}

BulkPlan planBulk(const std::vector<std::string>& paths) {
    BulkPlan plan;
    plan.slotOfEntry.reserve(paths.size());
    // Keys are views into `paths`: the trimmed text is a part of each path.
    std::unordered_map<std::string_view, size_t> slotOfPath;
    slotOfPath.reserve(paths.size());
    for (size_t entry = 0; entry < paths.size(); ++entry) {
        auto [found, added] = slotOfPath.try_emplace(trimmedPathView(paths[entry]), plan.entryOfSlot.size());
        if (added) plan.entryOfSlot.push_back(entry);
        plan.slotOfEntry.push_back(found->second);
    }
    return plan;
}

void probeBulk(const std::vector<std::string>& paths, const BulkPlan& plan,
               const std::function<void(size_t, MediaInfoResult&&)>& finished) {
    std::shared_ptr<platform::MediaAssets> keepAlive;
    probeBulk(paths, plan, finished, installedAssets(keepAlive));
}

void probeBulk(const std::vector<std::string>& paths, const BulkPlan& plan,
               const std::function<void(size_t, MediaInfoResult&&)>& finished, platform::MediaAssets& assets) {
    runConcurrently(
        plan.entryOfSlot.size(),
        [&](size_t slot) { finished(slot, getMediaInfo(paths[plan.entryOfSlot[slot]], assets)); },
        PoolBounds{0, kBulkProbeThreads, std::chrono::milliseconds(50)});
}

} // namespace mediainfo
