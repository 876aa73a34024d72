#include "Tavrik/OptionMapping.h"

#include "platform/fake/fake_content.h"
#include "platform/fake/fake_platform.h"

#include <gtest/gtest.h>

#include <filesystem>

using tavrik::decodeRecordConfig;
using tavrik::recordingOptions;

class OptionMapping : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.install();
        platform::fake::fakeScreens(*fake_.platform()).setMainDisplayNumber(69733382);
    }
    platform::fake::FakePlatform fake_;
};

TEST_F(OptionMapping, DefaultsForAMinimalRequest) {
    auto options = recordingOptions(*decodeRecordConfig(R"({"sig":"s","outputPath":"out/a.mp4"})"), *fake_.platform());
    EXPECT_EQ(options.destination, std::filesystem::current_path() / "out/a.mp4");
    EXPECT_EQ(options.targetID, "69733382");
    EXPECT_FALSE(options.excludedProcessID);
    EXPECT_EQ(options.framesPerSecond, 30);
    EXPECT_FALSE(options.cropRect);
    EXPECT_TRUE(options.showCursor);
    EXPECT_FALSE(options.highlightClicks);
    EXPECT_EQ(options.videoCodec, Dovezode::VideoCodec::h264);
    EXPECT_FALSE(options.losslessAudio);
    EXPECT_FALSE(options.recordSystemAudio);
    EXPECT_FALSE(options.microphoneDeviceID);
    EXPECT_FALSE(options.micDestination);
    EXPECT_FALSE(options.sysDestination);
    EXPECT_FALSE(options.webcamDeviceID);
    EXPECT_FALSE(options.webcamDestination);
    EXPECT_EQ(options.microphoneAudioQuality.sampleRate(), 48000);
    EXPECT_EQ(options.microphoneAudioQuality.bitRate(), 192000);
    EXPECT_FALSE(options.webcamResolution);
}

TEST_F(OptionMapping, EveryFieldIsCarriedOver) {
    auto options = recordingOptions(*decodeRecordConfig(
        R"({"sig":"s","outputPath":"/a.mov","fps":null,"showCursor":false,"systemAudio":true,"displayID":"",)"
        R"("microphoneID":"m","micOutputPath":"/m.m4a","sysOutputPath":"/s.m4a","cropRect":[[0,0],[640,480]],)"
        R"("losslessAudio":true,"excludedProcessID":77,"webcamID":"c","webcamOutputPath":"/c.mp4",)"
        R"("microphoneQuality":{"sampleRate":44100},"webcamResolution":"uhd4K"})"),
        *fake_.platform());
    EXPECT_EQ(options.targetID, "");  // present, so no default
    EXPECT_EQ(options.framesPerSecond, 30);
    EXPECT_FALSE(options.showCursor);
    EXPECT_TRUE(options.recordSystemAudio);
    EXPECT_EQ(options.microphoneDeviceID, "m");
    EXPECT_EQ(options.micDestination, std::filesystem::path("/m.m4a"));
    EXPECT_EQ(options.sysDestination, std::filesystem::path("/s.m4a"));
    ASSERT_TRUE(options.cropRect);
    EXPECT_EQ(*options.cropRect, (platform::Rect{{0, 0}, {640, 480}}));
    EXPECT_TRUE(options.losslessAudio);
    EXPECT_EQ(options.excludedProcessID, 77);
    EXPECT_EQ(options.webcamDeviceID, "c");
    EXPECT_EQ(options.webcamDestination, std::filesystem::path("/c.mp4"));
    EXPECT_EQ(options.microphoneAudioQuality.sampleRate(), 44100);
    EXPECT_EQ(options.microphoneAudioQuality.bitRate(), 192000);
    EXPECT_EQ(options.webcamResolution, Dovezode::WebcamResolution::uhd4K);
}
