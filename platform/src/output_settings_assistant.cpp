#include "platform/asset_writer.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

// Why these presets suit screen recordings:
// - Frame rate: screens are captured at up to 60 frames a second, so the rate
//   budget assumes 60 (a slower capture simply spends less).
// - Bit rate: screen content is mostly static, flat areas and sharp text. About
//   0.1 bit per pixel per frame for H.264 keeps text edges clean when a window
//   scrolls (12.4 Mbit/s for 1920x1080 at 60) without the 20+ Mbit/s of camera
//   presets; HEVC needs about 40% less for the same quality.
// - Key frames every 2 seconds: seeking in the editor lands close to the wanted
//   frame, and a damaged stretch of the file heals quickly.
// - Frame reordering (B-frames) on: a static screen compresses into almost free
//   B-frames.
// - H.264 High profile: every current decoder plays it. HEVC names no profile: the
//   encoder takes Main for 8-bit sources and Main 10 for 10-bit ones.
// The backend encodes these on the CPU at a speed that keeps 1920x1080 at 60
// frames a second live with a few pinned threads (see the Linux video encoder).
struct PresetLimits {
    VideoCodecType codec;
    int32_t maxWidth;
    int32_t maxHeight;
    double bitsPerPixelPerFrame;
    std::optional<VideoProfileLevel> profile;
};

constexpr double kExpectedFrameRate = 60;
constexpr int32_t kKeyFrameIntervalSeconds = 2;

PresetLimits limitsOf(OutputSettingsPreset preset) {
    switch (preset) {
    case OutputSettingsPreset::screenH264UpTo4K:
        return {VideoCodecType::h264, 3840, 2160, 0.1, VideoProfileLevel::h264HighAutoLevel};
    case OutputSettingsPreset::screenHEVCUpTo8K:
        return {VideoCodecType::hevc, 7680, 4320, 0.06, std::nullopt};
    }
    return {VideoCodecType::h264, 3840, 2160, 0.1, VideoProfileLevel::h264HighAutoLevel};
}

int32_t evenDown(double value) { return std::max(2, static_cast<int32_t>(value) & ~1); }

// The source size scaled down (aspect kept) to fit the preset's largest size.
VideoDimensions fittedSize(const PresetLimits& limits, const std::shared_ptr<const FormatDescription>& source) {
    if (!source || !source->dimensions || source->dimensions->width <= 0 || source->dimensions->height <= 0)
        return {limits.maxWidth, limits.maxHeight};
    const auto [width, height] = *source->dimensions;
    const double scale = std::min({1.0, double(limits.maxWidth) / width, double(limits.maxHeight) / height});
    if (scale >= 1.0) return {width, height};
    return {evenDown(width * scale), evenDown(height * scale)};
}

} // namespace

std::optional<OutputSettingsAssistant> OutputSettingsAssistant::make(OutputSettingsPreset preset) {
    switch (preset) {
    case OutputSettingsPreset::screenH264UpTo4K:
    case OutputSettingsPreset::screenHEVCUpTo8K:
        return OutputSettingsAssistant(preset);
    }
    return std::nullopt;
}

std::optional<VideoSettings> OutputSettingsAssistant::videoSettings() const {
    const PresetLimits limits = limitsOf(preset_);
    const VideoDimensions size = fittedSize(limits, source_);

    VideoCompressionProperties compression;
    compression.averageBitRate = static_cast<int64_t>(
        std::llround(double(size.width) * size.height * kExpectedFrameRate * limits.bitsPerPixelPerFrame));
    compression.profileLevel = limits.profile;
    compression.expectedSourceFrameRate = kExpectedFrameRate;
    compression.maxKeyFrameInterval = static_cast<int32_t>(kExpectedFrameRate) * kKeyFrameIntervalSeconds;
    compression.allowFrameReordering = true;

    VideoSettings settings;
    settings.codec = limits.codec;
    settings.width = size.width;
    settings.height = size.height;
    settings.colorProperties = VideoColorProperties{};
    settings.compressionProperties = compression;
    return settings;
}

} // namespace platform
