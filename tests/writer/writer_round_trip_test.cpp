// Files written through the FFmpeg writer, read back by ffprobe.

#include "writer_test_support.h"

#include "platform/linux/ffmpeg_asset_writers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>
#include <thread>

using namespace platform;
using namespace writer_test;

namespace {

constexpr int kFrames = 30;
constexpr double kFrameRate = 30;
const MediaTime kSessionStart = MediaTime::make(10 * 600, 600);

// Waits for room the way a caller that must not lose a sample would.
void appendWhenReady(AssetWriterInput& input, const SampleBufferRef& sample) {
    while (!input.isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(input.append(sample));
}

// Video settings the way the recorder builds them: the assistant's proposal for
// H.264 and HEVC, then the frame's size and the colour properties on top.
VideoSettings recorderVideoSettings(VideoCodecType codec, const FormatDescription& frameFormat,
                                    std::optional<VideoColorPrimaries> primaries) {
    VideoSettings settings;
    settings.codec = codec;
    if (codec == VideoCodecType::h264 || codec == VideoCodecType::hevc) {
        auto assistant = OutputSettingsAssistant::make(codec == VideoCodecType::h264
                                                           ? OutputSettingsPreset::screenH264UpTo4K
                                                           : OutputSettingsPreset::screenHEVCUpTo8K);
        assistant->setSourceVideoFormat(std::make_shared<FormatDescription>(frameFormat));
        settings = assistant->videoSettings().value();
    }
    settings.width = frameFormat.dimensions->width;
    settings.height = frameFormat.dimensions->height;
    if (primaries) settings.colorProperties = VideoColorProperties{VideoTransferFunction::ituR709_2, *primaries,
                                                                   VideoYCbCrMatrix::ituR709_2};
    return settings;
}

struct VideoCase {
    const char* name;
    FileType fileType;
    const char* extension;
    VideoCodecType codec;
    FourCharCode source;
    std::optional<VideoColorPrimaries> primaries;
    const char* codecName;
    const char* codecTag;
    const char* pixelFormat;  // as the decoder gives it
    const char* probedPrimaries;  // null: the file carries none
    const char* majorBrand;
};

class VideoRoundTrip : public testing::TestWithParam<VideoCase> {};

TEST_P(VideoRoundTrip, FileReadsBackWithTheAppendedFramesAndSettings) {
    const VideoCase& c = GetParam();
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file(std::string("video.") + c.extension);
    constexpr int32_t width = 160, height = 90;
    const MediaTime frameDuration = MediaTime::make(20, 600);

    auto writers = linux_backend::makeFfmpegAssetWriters();
    auto writer = writers->makeWriter(path, c.fileType);
    const auto first = videoFrame(width, height, kSessionStart, frameDuration, 0, c.source);
    auto input = writers->makeInput(MediaType::video,
                                    recorderVideoSettings(c.codec, *first->formatDescription(), c.primaries));
    input->setExpectsMediaDataInRealTime(true);
    ASSERT_TRUE(writer->canAddInput(input));
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());
    writer->startSession(kSessionStart);
    for (int i = 0; i < kFrames; ++i) {
        const MediaTime pts = kSessionStart + MediaTime::make(20 * i, 600);
        appendWhenReady(*input, i == 0 ? first : videoFrame(width, height, pts, frameDuration, i, c.source));
    }
    input->markAsFinished();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed) << (writer->error() ? writer->error()->description() : "");

    const auto info = probe(path);
    ASSERT_EQ(info["streams"].size(), 1u);
    const auto& stream = info["streams"][0];
    EXPECT_EQ(stream["codec_name"], c.codecName);
    EXPECT_EQ(stream["codec_tag_string"], c.codecTag);
    EXPECT_EQ(stream["width"], width);
    EXPECT_EQ(stream["height"], height);
    EXPECT_EQ(stream["pix_fmt"], c.pixelFormat);
    EXPECT_EQ(number(stream["nb_read_packets"]), kFrames);
    // The session start is time zero; the file runs to the end of the last frame.
    EXPECT_NEAR(number(stream["duration"]), kFrames / kFrameRate, 1 / kFrameRate);
    EXPECT_NEAR(number(stream["start_time"]), 0, 1 / kFrameRate);
    if (c.probedPrimaries) {
        EXPECT_EQ(stream["color_primaries"], c.probedPrimaries);
        EXPECT_EQ(stream["color_transfer"], "bt709");
        EXPECT_EQ(stream["color_space"], "bt709");
    } else {
        EXPECT_TRUE(!stream.contains("color_primaries") || stream["color_primaries"] == "unknown");
    }
    EXPECT_EQ(info["format"]["tags"]["major_brand"].get<std::string>().rfind(c.majorBrand, 0), 0u)
        << info["format"]["tags"]["major_brand"];
}

const FourCharCode kBgra = pixel_format::bgra;
const FourCharCode k10Bit = pixel_format::argb2101010;
const auto k709 = VideoColorPrimaries::ituR709_2;
const auto kP3 = VideoColorPrimaries::p3D65;

INSTANTIATE_TEST_SUITE_P(
    Codecs, VideoRoundTrip,
    testing::Values(
        VideoCase{"h264_mp4", FileType::mpeg4, "mp4", VideoCodecType::h264, kBgra, k709, "h264", "avc1", "yuv420p", "bt709", "iso"},
        VideoCase{"h264_mov", FileType::quickTimeMovie, "mov", VideoCodecType::h264, kBgra, k709, "h264", "avc1", "yuv420p", "bt709", "qt"},
        VideoCase{"h264_m4v", FileType::appleM4V, "m4v", VideoCodecType::h264, kBgra, k709, "h264", "avc1", "yuv420p", "bt709", "M4V"},
        VideoCase{"h264_mp4_from_10_bit", FileType::mpeg4, "mp4", VideoCodecType::h264, k10Bit, k709, "h264", "avc1", "yuv420p", "bt709", "iso"},
        VideoCase{"hevc_mp4", FileType::mpeg4, "mp4", VideoCodecType::hevc, kBgra, kP3, "hevc", "hvc1", "yuv420p", "smpte432", "iso"},
        VideoCase{"hevc_mov_10_bit", FileType::quickTimeMovie, "mov", VideoCodecType::hevc, k10Bit, kP3, "hevc", "hvc1", "yuv420p10le", "smpte432", "qt"},
        VideoCase{"hevc_m4v", FileType::appleM4V, "m4v", VideoCodecType::hevc, kBgra, kP3, "hevc", "hvc1", "yuv420p", "smpte432", "M4V"},
        VideoCase{"prores422_mov", FileType::quickTimeMovie, "mov", VideoCodecType::proRes422, kBgra, std::nullopt, "prores", "apcn", "yuv422p10le", nullptr, "qt"},
        VideoCase{"prores4444_mov_10_bit", FileType::quickTimeMovie, "mov", VideoCodecType::proRes4444, k10Bit, std::nullopt, "prores", "ap4h", "yuv444p12le", nullptr, "qt"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AudioCase {
    const char* name;
    FileType fileType;
    const char* extension;
    AudioSettings settings;
    double sourceRate;
    uint32_t sourceChannels;
    const char* codecName;
    const char* sampleFormat;
};

class AudioRoundTrip : public testing::TestWithParam<AudioCase> {};

TEST_P(AudioRoundTrip, FileReadsBackWithTheSettingsAndRunsToTheEndOfItsLastSample) {
    const AudioCase& c = GetParam();
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file(std::string("audio.") + c.extension);
    auto writers = linux_backend::makeFfmpegAssetWriters();
    auto writer = writers->makeWriter(path, c.fileType);
    auto input = writers->makeInput(MediaType::audio, c.settings);
    input->setExpectsMediaDataInRealTime(true);
    ASSERT_TRUE(writer->canAddInput(input));
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());
    writer->startSession(kSessionStart);

    // Two seconds of noise in 10 ms buffers: noise keeps the encoder at its bit rate.
    std::minstd_rand random(7);
    std::uniform_real_distribution<float> level(-0.5f, 0.5f);
    const int64_t perBuffer = static_cast<int64_t>(c.sourceRate / 100);
    for (int i = 0; i < 200; ++i) {
        const MediaTime pts = kSessionStart + MediaTime::make(perBuffer * i, static_cast<int32_t>(c.sourceRate));
        appendWhenReady(*input, audioBuffer(c.sourceRate, c.sourceChannels, perBuffer, pts,
                                            [&](int64_t, uint32_t) { return level(random); }));
    }
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed) << (writer->error() ? writer->error()->description() : "");

    const auto info = probe(path);
    ASSERT_EQ(info["streams"].size(), 1u);
    const auto& stream = info["streams"][0];
    EXPECT_EQ(stream["codec_name"], c.codecName);
    EXPECT_EQ(number(stream["sample_rate"]), c.settings.sampleRate);
    EXPECT_EQ(stream["channels"], c.settings.numberOfChannels);
    EXPECT_EQ(stream["sample_fmt"], c.sampleFormat);
    EXPECT_NEAR(number(info["format"]["duration"]), 2.0, 0.005);
    if (c.settings.encoderBitRate) {
        EXPECT_NEAR(number(stream["bit_rate"]), *c.settings.encoderBitRate, *c.settings.encoderBitRate * 0.15);
    }
    if (c.settings.encoderBitDepthHint) {
        EXPECT_EQ(number(stream["bits_per_raw_sample"]), *c.settings.encoderBitDepthHint);
    }
}

AudioSettings aac(double rate, int32_t channels, int64_t bitRate) {
    return {audio_format::mpeg4AAC, rate, channels, bitRate, std::nullopt};
}
AudioSettings alac(double rate, int32_t channels) {
    return {audio_format::appleLossless, rate, channels, std::nullopt, 16};
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, AudioRoundTrip,
    testing::Values(AudioCase{"aac_m4a", FileType::appleM4A, "m4a", aac(48000, 2, 192000), 48000, 2, "aac", "fltp"},
                    AudioCase{"aac_m4a_resampled_to_mono", FileType::appleM4A, "m4a", aac(44100, 1, 64000), 48000, 2, "aac", "fltp"},
                    AudioCase{"aac_mp4", FileType::mpeg4, "mp4", aac(48000, 2, 128000), 48000, 2, "aac", "fltp"},
                    AudioCase{"alac_m4a", FileType::appleM4A, "m4a", alac(48000, 2), 48000, 2, "alac", "s16p"},
                    AudioCase{"alac_m4a_from_mono", FileType::appleM4A, "m4a", alac(44100, 2), 48000, 1, "alac", "s16p"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

// A screen that shows the same picture for seconds: two frames, then the session ends
// 7 s after its start. The last frame is held to the end, and key frames still come at
// most 2 s apart (the held picture is sent again to carry them).
TEST(VideoSessionEnd, TheLastFrameIsHeldToTheEndWithKeyFramesAtMost2SecondsApart) {
    test_support::TemporaryDirectory folder;
    const std::string path = folder.file("still.mp4");
    auto writers = linux_backend::makeFfmpegAssetWriters();
    auto writer = writers->makeWriter(path, FileType::mpeg4);
    const MediaTime noDuration = MediaTime::invalid();
    const auto first = videoFrame(160, 90, kSessionStart, noDuration, 1);
    auto assistant = OutputSettingsAssistant::make(OutputSettingsPreset::screenH264UpTo4K);
    assistant->setSourceVideoFormat(first->formatDescription());
    assistant->setSourceVideoAverageFrameDuration(MediaTime::make(1, 30));
    VideoSettings settings = assistant->videoSettings().value();
    settings.width = 160;
    settings.height = 90;
    auto input = writers->makeInput(MediaType::video, settings);
    input->setExpectsMediaDataInRealTime(true);
    writer->addInput(input);
    ASSERT_TRUE(writer->startWriting());
    writer->startSession(kSessionStart);
    appendWhenReady(*input, first);
    appendWhenReady(*input, videoFrame(160, 90, kSessionStart + seconds(0.5), noDuration, 2));
    const MediaTime end = kSessionStart + seconds(7);
    writer->endSession(end);
    EXPECT_FALSE(input->append(videoFrame(160, 90, end, noDuration, 3))) << "a frame at the end is refused";
    input->markAsFinished();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), AssetWriterStatus::completed);

    const auto info = probe(path);
    EXPECT_NEAR(number(info["format"]["duration"]), 7.0, 1.0 / 30);
    const auto packets = nlohmann::json::parse(run("ffprobe -v error -select_streams v -show_entries packet=pts_time,flags "
                                                   "-of json '" + path + "'"));
    std::vector<double> keys;
    for (const auto& packet : packets["packets"]) {
        if (packet["flags"].get<std::string>().find('K') != std::string::npos) keys.push_back(number(packet["pts_time"]));
    }
    std::sort(keys.begin(), keys.end());
    ASSERT_GE(keys.size(), 4u);
    EXPECT_NEAR(keys.front(), 0, 1e-3);
    for (size_t i = 1; i < keys.size(); ++i) EXPECT_LE(keys[i] - keys[i - 1], 2.0 + 1e-3) << i;
    EXPECT_GE(keys.back(), 7.0 - 2.0 - 1e-3) << "the held tail has its key frames too";
}

} // namespace
