#pragma once
// The seventeen settings of one recording, or of one resumed segment of it.
// Built whole, unchecked; the fields never change afterwards.

#include "Dovezode/AudioQualityOptions.h"
#include "Dovezode/VideoCodec.h"
#include "Dovezode/WebcamResolution.h"

#include "platform/geometry.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace Dovezode {

class RecordingOptions {
public:
    RecordingOptions(std::filesystem::path destination, std::optional<std::string> targetID,
                     std::optional<int32_t> excludedProcessID, int64_t framesPerSecond,
                     std::optional<platform::Rect> cropRect, bool showCursor, bool highlightClicks,
                     VideoCodec videoCodec, bool losslessAudio, bool recordSystemAudio,
                     std::optional<std::string> microphoneDeviceID, std::optional<std::filesystem::path> micDestination,
                     std::optional<std::filesystem::path> sysDestination, std::optional<std::string> webcamDeviceID,
                     std::optional<std::filesystem::path> webcamDestination, AudioQualityOptions microphoneAudioQuality,
                     std::optional<WebcamResolution> webcamResolution);

    // The main file; its extension chooses the container.
    const std::filesystem::path& destination() const { return destination_; }
    // Which display, window or device; unused for an audio-only target.
    const std::optional<std::string>& targetID() const { return targetID_; }
    // A process whose windows are left out of a display recording.
    std::optional<int32_t> excludedProcessID() const { return excludedProcessID_; }
    // Highest frame rate of the stream.
    int64_t framesPerSecond() const { return framesPerSecond_; }
    // Part of the display to record, in points.
    const std::optional<platform::Rect>& cropRect() const { return cropRect_; }
    bool showCursor() const { return showCursor_; }
    bool highlightClicks() const { return highlightClicks_; }
    VideoCodec videoCodec() const { return videoCodec_; }
    // Microphone and system-audio files lossless instead of AAC.
    bool losslessAudio() const { return losslessAudio_; }
    bool recordSystemAudio() const { return recordSystemAudio_; }
    const std::optional<std::string>& microphoneDeviceID() const { return microphoneDeviceID_; }
    const std::optional<std::filesystem::path>& micDestination() const { return micDestination_; }
    const std::optional<std::filesystem::path>& sysDestination() const { return sysDestination_; }
    const std::optional<std::string>& webcamDeviceID() const { return webcamDeviceID_; }
    const std::optional<std::filesystem::path>& webcamDestination() const { return webcamDestination_; }
    const AudioQualityOptions& microphoneAudioQuality() const { return microphoneAudioQuality_; }
    // Absent keeps the camera's default.
    std::optional<WebcamResolution> webcamResolution() const { return webcamResolution_; }

private:
    std::filesystem::path destination_;
    std::optional<std::string> targetID_;
    std::optional<int32_t> excludedProcessID_;
    int64_t framesPerSecond_;
    std::optional<platform::Rect> cropRect_;
    bool showCursor_;
    bool highlightClicks_;
    VideoCodec videoCodec_;
    bool losslessAudio_;
    bool recordSystemAudio_;
    std::optional<std::string> microphoneDeviceID_;
    std::optional<std::filesystem::path> micDestination_;
    std::optional<std::filesystem::path> sysDestination_;
    std::optional<std::string> webcamDeviceID_;
    std::optional<std::filesystem::path> webcamDestination_;
    AudioQualityOptions microphoneAudioQuality_;
    std::optional<WebcamResolution> webcamResolution_;
};

} // namespace Dovezode
