// Recordings of fake frames and fake microphone audio through the real FFmpeg
// writer, read back by ffprobe: one set of files per segment, with the lengths
// of what was delivered.

#include "engine_fixture.h"
#include "media_tools.h"
#include "temporary_directory.h"

#include "platform/linux/ffmpeg_asset_writers.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace engine_test {
namespace {

nlohmann::json probe(const std::filesystem::path& path) { return test_support::ffprobe(path.string()); }

double seconds(const nlohmann::json& value) { return std::stod(value.get<std::string>()); }

class RealWriterTest : public EngineTest {
public:
    void SetUp() override {
        EngineTest::SetUp();
        // Queues long enough that a test delivering faster than real time loses nothing.
        platform::linux_backend::FfmpegAssetWriterOptions options;
        options.realTimeVideoQueueCapacity = 128;
        options.realTimeAudioQueueCapacity = 256;
        fake().platform()->assetWriters = platform::linux_backend::makeFfmpegAssetWriters(options);
    }

    RecordingOptions files(const std::string& name) {
        RecordingOptions o = displayRecording();
        o.destination = folder_.file(name + ".mp4");
        o.microphoneDeviceID = kMicrophone;
        o.micDestination = folder_.file(name + ".m4a");
        return o;
    }

    // One tick of 1/30 s: the microphone's 1600 frames (mono, 48 kHz), then a 64×48 frame.
    void tick(int64_t n) {
        outputOf(kMicrophone)
            ->deliver(platform::fake::makeAudioSample(1600, 48000, MediaTime::make(n * 1600, 48000),
                                                      {.channels = 1, .value = std::sin(n * 0.5f) * 0.25f}));
        waitForSamples();
        stream()->deliver(StreamOutputType::screen,
                          platform::fake::makeVideoSample(64, 48, MediaTime::make(n, 30),
                                                          {.duration = MediaTime::make(1, 30), .fill = uint8_t(n * 8)}));
        waitForSamples();
    }

    // The files read back agree with the reported durations within one frame interval.
    void expectFile(const std::string& name, const RecordingDurations& reported) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(reported.screen() && reported.mic());
        auto video = probe(folder_.file(name + ".mp4"));
        ASSERT_EQ(video["streams"].size(), 1u);
        EXPECT_EQ(video["streams"][0]["codec_name"], "h264");
        EXPECT_EQ(video["streams"][0]["width"], 64);
        EXPECT_EQ(video["streams"][0]["height"], 48);
        EXPECT_NEAR(seconds(video["format"]["duration"]), *reported.screen() / 1000.0, 1.0 / 30);

        auto audio = probe(folder_.file(name + ".m4a"));
        ASSERT_EQ(audio["streams"].size(), 1u);
        EXPECT_EQ(audio["streams"][0]["codec_name"], "aac");
        EXPECT_EQ(audio["streams"][0]["channels"], 1);
        EXPECT_EQ(audio["streams"][0]["sample_rate"], "48000");
        EXPECT_NEAR(seconds(audio["format"]["duration"]), *reported.mic() / 1000.0, 1.0 / 30);
    }

    test_support::TemporaryDirectory folder_;
};

TEST_F(RealWriterTest, EachSegmentIsAFileSetWithTheLengthOfWhatItReceived) {
    start(Target::screen, files("first"));
    // Tick 0: the microphone comes first and waits; the frame completes the segment.
    for (int64_t n = 0; n < 31; ++n) tick(n);
    recorder().pause();

    for (int64_t n = 31; n < 40; ++n) tick(n);  // dropped: paused
    int64_t n = 40;
    resumeDelivering(Target::screen, files("second"), 0, [&](int64_t) { tick(n++); });
    // The tick that ended the resume.
    const int64_t resumeTicks = n - 40;
    ASSERT_EQ(resumeTicks, 1);
    for (const int64_t last = n + 15; n < last; ++n) tick(n);
    recorder().stop();

    // Each segment starts 1 ms after the capture of the sample that completed it (the fake
    // clock's delivery latency) and ends 1 ms after the capture of its last tick. First: the
    // video shows frames 0 to 30 until the pause at 1.001 s; the microphone's samples 1 to 30
    // run to 31/30 s.
    std::lock_guard guard(events().mutex);
    ASSERT_EQ(events().pauses.size(), 1u);
    EXPECT_EQ(events().pauses[0].screen(), 1000u);
    EXPECT_EQ(events().pauses[0].mic(), 1032u);
    expectFile("first", events().pauses[0]);
    // Second: from the tick that ended the resume, then fifteen more.
    ASSERT_EQ(events().finishes.size(), 1u);
    EXPECT_GE(events().finishes[0].screen(), 500u);
    EXPECT_GE(events().finishes[0].mic(), 532u);
    expectFile("second", events().finishes[0]);
}

} // namespace
} // namespace engine_test
