#include "Dovezode/OutputSettings.h"

namespace Dovezode {
namespace {

platform::VideoCodecType codecType(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::h264: return platform::VideoCodecType::h264;
    case VideoCodec::hevc: return platform::VideoCodecType::hevc;
    case VideoCodec::proRes422: return platform::VideoCodecType::proRes422;
    case VideoCodec::proRes4444: return platform::VideoCodecType::proRes4444;
    }
    return platform::VideoCodecType::h264;
}

std::optional<platform::VideoColorProperties> colorProperties(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::h264:
    case VideoCodec::hevc: {
        platform::VideoColorProperties properties;
        properties.colorPrimaries = codec == VideoCodec::h264 ? platform::VideoColorPrimaries::ituR709_2
                                                               : platform::VideoColorPrimaries::p3D65;
        return properties;
    }
    default: return std::nullopt;
    }
}

std::optional<platform::OutputSettingsPreset> assistantPreset(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::h264: return platform::OutputSettingsPreset::screenH264UpTo4K;
    case VideoCodec::hevc: return platform::OutputSettingsPreset::screenHEVCUpTo8K;
    default: return std::nullopt;
    }
}

platform::AudioSettings audioFormat(const RecordingOptions& options) {
    platform::AudioSettings settings;
    settings.formatID =
        options.losslessAudio ? platform::audio_format::appleLossless : platform::audio_format::mpeg4AAC;
    if (options.losslessAudio) settings.encoderBitDepthHint = 16;
    return settings;
}

} // namespace

platform::AudioSettings systemAudioSettings(const RecordingOptions& options) {
    platform::AudioSettings settings = audioFormat(options);
    settings.sampleRate = 48000;
    settings.numberOfChannels = 2;
    return settings;
}

platform::AudioSettings microphoneSettings(const RecordingOptions& options, int32_t channelCount) {
    platform::AudioSettings settings = audioFormat(options);
    settings.sampleRate = static_cast<double>(options.microphoneAudioQuality.sampleRate());
    settings.numberOfChannels = channelCount;
    if (!options.losslessAudio) settings.encoderBitRate = options.microphoneAudioQuality.bitRate();
    return settings;
}

platform::VideoSettings mainVideoSettings(platform::AssetWriters& writers, VideoCodec codec,
                                          platform::VideoDimensions frame, platform::MediaTime frameInterval) {
    std::optional<platform::VideoSettings> proposed;
    if (auto preset = assistantPreset(codec)) {
        if (auto assistant = writers.outputSettingsAssistant(*preset)) {
            assistant->setSourceVideoFormat(platform::FormatDescription::makeVideo(
                codec == VideoCodec::h264 ? platform::fourCharCode("avc1") : platform::fourCharCode("hvc1"),
                frame.width, frame.height));
            assistant->setSourceVideoAverageFrameDuration(frameInterval);
            proposed = assistant->videoSettings();
        }
    }
    platform::VideoSettings settings;
    if (proposed) {
        settings = *proposed;
    } else {
        settings.codec = codecType(codec);
    }
    settings.width = frame.width;
    settings.height = frame.height;
    if (auto properties = colorProperties(codec)) settings.colorProperties = properties;
    return settings;
}

platform::VideoSettings webcamVideoSettings(VideoCodec codec, platform::VideoDimensions frame) {
    platform::VideoSettings settings;
    settings.codec = codecType(codec);
    settings.width = frame.width;
    settings.height = frame.height;
    settings.colorProperties = colorProperties(codec);
    return settings;
}

} // namespace Dovezode
