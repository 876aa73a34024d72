#pragma once
// The prober's entry points: one file, or many at once. Neither fails: every
// failure becomes the result's error text.

#include "MediaInfo/MediaInfoRecords.h"
#include "platform/media_asset.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mediainfo {

// Probes the path (trimmed of tabs and space separators) with the installed platform's media assets.
MediaInfoResult getMediaInfo(std::string_view path);
MediaInfoResult getMediaInfo(std::string_view path, platform::MediaAssets& assets);

// Probes every path at once and answers one result per path, in list order.
// Paths that are byte-for-byte equal after trimming are one file, probed once,
// and share its result; other spellings (a composed and a decomposed "é") are
// other files, as the file system sees them.
std::vector<MediaInfoResult> getMediaInfoBulk(const std::vector<std::string>& paths);
std::vector<MediaInfoResult> getMediaInfoBulk(const std::vector<std::string>& paths, platform::MediaAssets& assets);

// Which result each entry of a bulk request takes.
struct BulkPlan {
    // For each distinct trimmed path (a slot), the first list entry that names it.
    std::vector<size_t> entryOfSlot;
    // For each list entry, its slot.
    std::vector<size_t> slotOfEntry;
};
BulkPlan planBulk(const std::vector<std::string>& paths);

// Probes the path of every slot of the plan, all at the same time, and hands
// each result to `finished` on the thread that probed it, as soon as it is
// known, so a caller can keep what it needs of it and no more. Returns when
// every slot has finished. One file a hardware thread is probed at once, and
// a file still running after a short while counts as waiting (on the disk,
// or for its turn at the media library): another thread takes its place, up to
// kBulkProbeThreads in all, so slow files overlap and a request takes about
// as long as its slowest file. The media library itself bounds how many loads
// read much of their file at a time.
inline constexpr size_t kBulkProbeThreads = 32;
void probeBulk(const std::vector<std::string>& paths, const BulkPlan& plan,
               const std::function<void(size_t slot, MediaInfoResult&& result)>& finished);
void probeBulk(const std::vector<std::string>& paths, const BulkPlan& plan,
               const std::function<void(size_t slot, MediaInfoResult&& result)>& finished,
               platform::MediaAssets& assets);

} // namespace mediainfo
