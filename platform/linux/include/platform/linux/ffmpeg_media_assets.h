#pragma once
// Media assets read with libavformat, with the limits that keep one load short
// and small whatever the file holds or claims.

#include "platform/media_asset.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace platform::linux_backend {

struct MediaAssetLimits {
    // Bytes and stream time the container probe may read before it settles on what it found.
    int64_t probeSizeBytes = 5'000'000;
    std::chrono::microseconds analyzeDuration = std::chrono::seconds(5);
    // Bytes of packets read to measure the bit rates the container does not state.
    int64_t bitRateBudgetBytes = 16'000'000;
    // Bytes of the file one load may read in all, re-reads after seeks included.
    // Past it the file reads as ended there: what a demuxer or parser buffers
    // from the file (a parser looking for a frame start in gigabytes of zeros)
    // stays below this.
    int64_t readBudgetBytes = 24 << 20;
    // Loads that have read more than this many bytes go on only a few at a time
    // (heavyLoads), so many hostile files in one request cannot add up.
    int64_t lightReadBytes = 1 << 20;
    unsigned heavyLoads = 0;  // 0: half the hardware threads, at least 2
    // Time budget of one load, in its own time: wall-clock time less its waits for a
    // heavy-load slot and for a processor. Past it the load fails with mediaAssetTimedOut.
    std::chrono::milliseconds deadline = std::chrono::seconds(4);
};

std::shared_ptr<MediaAssets> makeFfmpegMediaAssets(MediaAssetLimits limits = {});

} // namespace platform::linux_backend
