#pragma once
// Sample buffers made to order for tests: a BGRA frame or a block of float32
// interleaved audio, with chosen times.

#include "platform/sample_buffer.h"

#include <optional>

namespace platform::fake {

struct VideoSampleOptions {
    MediaTime duration = MediaTime::invalid();
    MediaTime decodeTimeStamp = MediaTime::invalid();
    // The screen-frame attachment; nullopt makes a frame without one.
    std::optional<FrameStatus> frameStatus = FrameStatus::complete;
    // Every byte of the frame (B, G, R and A alike).
    uint8_t fill = 0;
};

struct AudioSampleOptions {
    uint32_t channels = 1;
    MediaTime decodeTimeStamp = MediaTime::invalid();
    // Every sample of every channel.
    float value = 0;
};

// A width×height BGRA frame presented at `presentationTime`.
SampleBufferRef makeVideoSample(int32_t width, int32_t height, MediaTime presentationTime,
                                const VideoSampleOptions& options = {});

// `frames` frames of float32 interleaved audio at `sampleRate` starting at
// `presentationTime`: one timing entry of 1/sampleRate for all frames, so the
// buffer lasts frames/sampleRate seconds.
SampleBufferRef makeAudioSample(int64_t frames, int32_t sampleRate, MediaTime presentationTime,
                                const AudioSampleOptions& options = {});

} // namespace platform::fake
