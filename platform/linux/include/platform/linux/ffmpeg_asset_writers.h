#pragma once
// The Linux asset writers: FFmpeg encoders and muxers behind the asset-writer contract.

#include "platform/asset_writer.h"

#include <cstddef>
#include <functional>
#include <memory>

namespace platform::linux_backend {

struct FfmpegAssetWriterOptions {
    // Samples a real-time input holds before it stops being ready: about 66 ms of
    // video at 60 frames a second; three seconds of 10 ms audio buffers, as some sound
    // sources hand over seconds of audio at once (about 1 MiB of stereo float).
    size_t realTimeVideoQueueCapacity = 4;
    size_t realTimeAudioQueueCapacity = 300;
    // While a real-time video track's first frames are encoded (libx264 takes longer
    // than a frame interval for its first 20 or so at 1920x1080), its queue also holds
    // up to this many frames more, converted to 4:2:0 on arrival, within this many
    // bytes of converted pictures (64 MiB: 21 frames at 1920x1080, 5 at 3840x2160).
    size_t realTimeVideoStartFrames = 120;
    size_t realTimeVideoStartExtraFrames = 24;
    size_t realTimeVideoStartBytes = 64u << 20;
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
