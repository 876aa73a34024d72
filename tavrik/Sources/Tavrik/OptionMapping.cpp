#include "Tavrik/OptionMapping.h"

#include "platform/platform.h"

#include <filesystem>

namespace tavrik {
namespace {

// The file a path names, relative paths taken from the current directory. The
// file is neither opened nor examined.
std::filesystem::path fileURL(const std::string& path) {
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(path, ignored);
    return absolute.empty() ? std::filesystem::path(path) : absolute;
}

std::optional<std::filesystem::path> fileURL(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    return fileURL(*path);
}

std::string mainDisplayID() {
    auto& screens = platform::installed().screens;
    auto number = screens ? screens->mainDisplayNumber() : std::nullopt;
    return std::to_string(number.value_or(0));
}

} // namespace

Dovezode::RecordingOptions recordingOptions(const RecordConfig& config) {
    const auto& quality = config.microphoneQuality;
    return Dovezode::RecordingOptions(
        fileURL(config.outputPath), config.displayID ? *config.displayID : mainDisplayID(), config.excludedProcessID,
        config.fps.value_or(kDefaultFramesPerSecond), config.cropRect, config.showCursor.value_or(true),
        /*highlightClicks=*/false, Dovezode::VideoCodec::h264, config.losslessAudio.value_or(false),
        config.systemAudio.value_or(false), config.microphoneID, fileURL(config.micOutputPath),
        fileURL(config.sysOutputPath), config.webcamID, fileURL(config.webcamOutputPath),
        Dovezode::AudioQualityOptions(quality && quality->sampleRate ? *quality->sampleRate : kDefaultMicrophoneSampleRate,
                                      quality && quality->bitRate ? *quality->bitRate : kDefaultMicrophoneBitRate),
        config.webcamResolution);
}

} // namespace tavrik
