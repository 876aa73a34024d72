#pragma once
// The Linux asset writers: FFmpeg encoders and muxers behind the asset-writer contract.

#include "platform/asset_writer.h"

#include <cstddef>
#include <functional>
#include <memory>

namespace platform::linux_backend {

struct FfmpegAssetWriterOptions {
    // Samples a real-time input holds before it stops being ready: about 66 ms of
    // video at 60 frames a second, about 320 ms of 10 ms audio buffers.
    size_t realTimeVideoQueueCapacity = 4;
    size_t realTimeAudioQueueCapacity = 32;
    // Samples an input that is not real-time holds before append waits for room.
    size_t queueCapacity = 16;
    // For tests: runs on the writer thread before each sample is encoded.
    std::function<void()> beforeEachSample;
    // For tests: runs on the writer thread when a video track's encoder is ready; true
    // when it is the one opened ahead for the writer's hint (prepareVideoInput).
    std::function<void(bool openedAhead)> onVideoEncoderReady;
};

std::shared_ptr<AssetWriters> makeFfmpegAssetWriters(FfmpegAssetWriterOptions options = {});

} // namespace platform::linux_backend
