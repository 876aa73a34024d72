#pragma once
// Media assets read with libavformat.

#include "platform/media_asset.h"

#include <chrono>
#include <memory>

namespace platform::linux_backend {

struct MediaAssetLimits {
    // Bytes and stream time the container probe may read before it settles on what it found.
    int64_t probeSizeBytes = 5'000'000;
    std::chrono::microseconds analyzeDuration = std::chrono::seconds(5);
    // Bytes of packets read to measure the bit rates the container does not state.
    int64_t bitRateBudgetBytes = 32'000'000;
    // Wall-clock budget of one load; past it the load fails with mediaAssetTimedOut.
    std::chrono::milliseconds deadline = std::chrono::seconds(10);
};

std::shared_ptr<MediaAssets> makeFfmpegMediaAssets(MediaAssetLimits limits = {});

} // namespace platform::linux_backend
