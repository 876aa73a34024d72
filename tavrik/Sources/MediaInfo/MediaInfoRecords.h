#pragma once
// What a probe learns about one media file: plain values, copied whole.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace mediainfo {

struct VideoInfo {
    int64_t width = 0;
    int64_t height = 0;
    double framerate = 0;
    std::string framerateRational;
    double durationMs = 0;
    double startTimeMs = 0;
    int64_t totalFrames = 0;
    std::string avgFrameRate;
    std::string realFrameRate;
    std::string timeBase;
    int64_t bitrate = 0;
    std::string codec;
    std::string pixelFormat;
    std::optional<std::string> profile;
    int64_t level = 0;
    double msPerFrame = 0;
    bool hasAudio = false;
};

struct AudioInfo {
    std::string codec;
    int64_t sampleRate = 0;
    int64_t channels = 0;
    std::string channelLayout;
    int64_t bitrate = 0;
    double durationMs = 0;
    double startTimeMs = 0;
    std::string timeBase;
    std::string sampleFormat;
    int64_t totalSamples = 0;
    bool hasVideo = false;
};

// A video or an audio record; written with a "type" tag of "video" or "audio".
using MediaInfo = std::variant<VideoInfo, AudioInfo>;

// The outcome of probing one path: exactly one of `info` and `error` is set.
struct MediaInfoResult {
    std::string path;
    std::optional<MediaInfo> info;
    std::optional<std::string> error;
};

} // namespace mediainfo
