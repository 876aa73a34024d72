#pragma once
// The settings of one recording, or of one resumed segment of it. Filled by
// name (designated initialisers), unchecked; the engine never changes them.

#include "Dovezode/AudioQualityOptions.h"
#include "Dovezode/VideoCodec.h"
#include "Dovezode/WebcamResolution.h"

#include "platform/geometry.h"
#include "platform/media_time.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace Dovezode {

// What a recording request that leaves them out gets.
inline constexpr int64_t kDefaultFramesPerSecond = 30;
inline constexpr int64_t kDefaultMicrophoneSampleRate = 48000;
inline constexpr int64_t kDefaultMicrophoneBitRate = 192000;

// Every member has a default, so that a designated initialiser names only what it sets.
struct RecordingOptions {
    // The main file; its extension chooses the container.
    std::filesystem::path destination{};
    // Which display, window or device; unused for an audio-only target.
    std::optional<std::string> targetID{};
    // A process whose windows are left out of a display recording.
    std::optional<int32_t> excludedProcessID{};
    // Highest frame rate of the stream.
    int64_t framesPerSecond = kDefaultFramesPerSecond;
    // Part of the display to record, in points.
    std::optional<platform::Rect> cropRect{};
    bool showCursor = true;
    bool highlightClicks = false;
    VideoCodec videoCodec = VideoCodec::h264;
    // Microphone and system-audio files lossless instead of AAC.
    bool losslessAudio = false;
    bool recordSystemAudio = false;
    std::optional<std::string> microphoneDeviceID{};
    std::optional<std::filesystem::path> micDestination{};
    std::optional<std::filesystem::path> sysDestination{};
    std::optional<std::string> webcamDeviceID{};
    std::optional<std::filesystem::path> webcamDestination{};
    AudioQualityOptions microphoneAudioQuality{kDefaultMicrophoneSampleRate, kDefaultMicrophoneBitRate};
    // Absent keeps the camera's default.
    std::optional<WebcamResolution> webcamResolution{};
};

// The stream's time between two frames at the options' frame rate.
platform::MediaTime frameIntervalOf(const RecordingOptions& options);

} // namespace Dovezode
