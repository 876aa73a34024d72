#include "Tavrik/OptionMapping.h"

#include <filesystem>

namespace tavrik {
namespace {

// The file a path names, relative paths taken from the current directory. The
// file is neither opened nor examined.
std::filesystem::path filePath(const std::string& path) {
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? std::filesystem::path(path) : absolute;
}

std::optional<std::filesystem::path> filePath(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    return filePath(*path);
}

std::string mainDisplayID(platform::Platform& platform) {
    auto& screens = platform.screens;
    auto number = screens ? screens->mainDisplayNumber() : std::nullopt;
    return std::to_string(number.value_or(0));
}

} // namespace

Dovezode::RecordingOptions recordingOptions(const RecordConfig& config, platform::Platform& platform) {
    const auto& quality = config.microphoneQuality;
    return {
        .destination = filePath(config.outputPath),
        .targetID = config.displayID ? *config.displayID : mainDisplayID(platform),
        .excludedProcessID = config.excludedProcessID,
        .framesPerSecond = config.fps.value_or(Dovezode::kDefaultFramesPerSecond),
        .cropRect = config.cropRect,
        .showCursor = config.showCursor.value_or(true),
        .highlightClicks = false,
        .videoCodec = Dovezode::VideoCodec::h264,
        .losslessAudio = config.losslessAudio.value_or(false),
        .recordSystemAudio = config.systemAudio.value_or(false),
        .microphoneDeviceID = config.microphoneID,
        .micDestination = filePath(config.micOutputPath),
        .sysDestination = filePath(config.sysOutputPath),
        .webcamDeviceID = config.webcamID,
        .webcamDestination = filePath(config.webcamOutputPath),
        .microphoneAudioQuality = {quality && quality->sampleRate ? *quality->sampleRate
                                                                  : Dovezode::kDefaultMicrophoneSampleRate,
                                   quality && quality->bitRate ? *quality->bitRate
                                                               : Dovezode::kDefaultMicrophoneBitRate},
        .webcamResolution = config.webcamResolution,
    };
}

} // namespace tavrik
