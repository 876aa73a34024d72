#include "platform/asset_writer.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace platform {

namespace {

// Why these presets suit screen recordings:
// - Frame rate: the source's own rate when it is given (the bit budget per frame
//   stays the same, so a slower capture gets a smaller rate), else 60, the
//   fastest a screen is captured at.
// - Bit rate: screen content is mostly static, flat areas and sharp text. About
//   0.1 bit per pixel per frame for H.264 keeps text edges clean when a window
//   scrolls (12.4 Mbit/s for 1920x1080 at 60) without the 20+ Mbit/s of camera
//   presets; HEVC needs about 40% less for the same quality.
// - Key frames at most 2 seconds apart, in frames at the source's rate and in
//   time (a screen stream skips frames while nothing changes): seeking in the
//   editor lands close to the wanted frame, and a damaged stretch heals quickly.
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

// Frames a second of the source, from its average frame duration; the preset's rate without one.
double frameRateOf(const MediaTime& frameDuration) {
    const double seconds = frameDuration.seconds();
    if (!(seconds > 0) || !std::isfinite(1 / seconds)) return kExpectedFrameRate;
    return 1 / seconds;
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

    const double frameRate = frameRateOf(frameDuration_);
    VideoCompressionProperties compression;
    compression.averageBitRate = std::max<int64_t>(
        1, std::llround(double(size.width) * size.height * frameRate * limits.bitsPerPixelPerFrame));
    compression.profileLevel = limits.profile;
    compression.expectedSourceFrameRate = frameRate;
    compression.maxKeyFrameInterval =
        static_cast<int32_t>(std::clamp<double>(std::llround(frameRate * kKeyFrameIntervalSeconds), 1, INT32_MAX));
    compression.maxKeyFrameIntervalDuration = kKeyFrameIntervalSeconds;
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
