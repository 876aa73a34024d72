// The screen presets of the output-settings assistant.

#include "platform/asset_writer.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

std::shared_ptr<FormatDescription> source(int32_t width, int32_t height) {
    auto format = std::make_shared<FormatDescription>();
    format->dimensions = VideoDimensions{width, height};
    return format;
}

TEST(OutputSettingsAssistant, PresetsSizeAndBudgetTheSettingsFromTheSource) {
    const struct {
        OutputSettingsPreset preset;
        int32_t sourceWidth, sourceHeight;
        VideoCodecType codec;
        int32_t width, height;
        int64_t bitRate;
    } cases[] = {
        {OutputSettingsPreset::screenH264UpTo4K, 1920, 1080, VideoCodecType::h264, 1920, 1080, 12441600},
        {OutputSettingsPreset::screenH264UpTo4K, 5120, 2880, VideoCodecType::h264, 3840, 2160, 49766400},
        {OutputSettingsPreset::screenH264UpTo4K, 0, 0, VideoCodecType::h264, 3840, 2160, 49766400},
        {OutputSettingsPreset::screenHEVCUpTo8K, 5120, 2880, VideoCodecType::hevc, 5120, 2880, 53084160},
        {OutputSettingsPreset::screenHEVCUpTo8K, 1920, 1080, VideoCodecType::hevc, 1920, 1080, 7464960},
    };
    for (const auto& c : cases) {
        auto assistant = OutputSettingsAssistant::make(c.preset);
        ASSERT_TRUE(assistant);
        if (c.sourceWidth) assistant->setSourceVideoFormat(source(c.sourceWidth, c.sourceHeight));
        const auto settings = assistant->videoSettings();
        ASSERT_TRUE(settings);
        EXPECT_EQ(settings->codec, c.codec);
        EXPECT_EQ(settings->width, c.width);
        EXPECT_EQ(settings->height, c.height);
        ASSERT_TRUE(settings->compressionProperties);
        EXPECT_EQ(settings->compressionProperties->averageBitRate, c.bitRate);
        EXPECT_EQ(settings->compressionProperties->expectedSourceFrameRate, 60);
        EXPECT_EQ(settings->compressionProperties->maxKeyFrameInterval, 120);
        EXPECT_EQ(settings->compressionProperties->maxKeyFrameIntervalDuration, 2.0);
        EXPECT_EQ(settings->colorProperties, VideoColorProperties{});
    }
}

TEST(OutputSettingsAssistant, TheSourcesFrameRateSetsTheBudgetAndTheKeyFrameInterval) {
    const struct {
        MediaTime frameDuration;
        double frameRate;
        int32_t keyFrameInterval;
        int64_t bitRate;  // 1920x1080, 0.1 bit per pixel per frame
    } cases[] = {
        {MediaTime::make(1, 10), 10, 20, 2073600},
        {MediaTime::make(1, 30), 30, 60, 6220800},
        {MediaTime::make(1, 60), 60, 120, 12441600},
        {MediaTime::make(1001, 30000), 30000.0 / 1001, 60, 6214585},
        {MediaTime::invalid(), 60, 120, 12441600},  // none given: the preset's own rate
        {MediaTime::make(0, 30), 60, 120, 12441600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frameRate);
        auto assistant = OutputSettingsAssistant::make(OutputSettingsPreset::screenH264UpTo4K);
        assistant->setSourceVideoFormat(source(1920, 1080));
        assistant->setSourceVideoAverageFrameDuration(c.frameDuration);
        const auto compression = *assistant->videoSettings()->compressionProperties;
        EXPECT_DOUBLE_EQ(*compression.expectedSourceFrameRate, c.frameRate);
        EXPECT_EQ(compression.maxKeyFrameInterval, c.keyFrameInterval);
        EXPECT_EQ(compression.maxKeyFrameIntervalDuration, 2.0);
        EXPECT_EQ(compression.averageBitRate, c.bitRate);
    }
}

} // namespace
