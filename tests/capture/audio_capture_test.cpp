// PulseAudio capture of the Linux backend under a private daemon: the stream's
// system audio from the default sink's monitor while a tone plays into the sink,
// the microphone through the stream and through a capture session, and the
// capture times against the sample counts.

#include "capture_support.h"
#include "child_process.h"
#include "private_servers.h"
#include "temporary_directory.h"

#include "common/capture_timeline.h"

#include "platform/capture_session.h"
#include "platform/linux/linux_platform.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

namespace {

using namespace test_support;
using platform::SampleBufferRef;
using platform::StreamOutputType;

// What every delivered audio buffer must be: float32 interleaved at the expected
// rate and channels, 10 ms long, stamped on the monotonic clock one after the other
// as far apart as their sample counts say.
void expectSteadyFloatBuffers(const std::vector<SampleBufferRef>& buffers, double rate, uint32_t channels) {
    ASSERT_GE(buffers.size(), 2u);
    for (const auto& buffer : buffers) {
        ASSERT_TRUE(buffer->formatDescription() && buffer->formatDescription()->audio);
        const auto& audio = *buffer->formatDescription()->audio;
        EXPECT_EQ(audio.formatID, platform::fourCharCode("lpcm"));
        EXPECT_TRUE(audio.formatFlags & platform::AudioStreamDescription::IsFloat);
        EXPECT_EQ(audio.sampleRate, rate);
        EXPECT_EQ(audio.channelsPerFrame, channels);
        EXPECT_EQ(buffer->sampleCount(), int64_t(rate) / 100);
        ASSERT_EQ(buffer->timingInfo().size(), 1u);
        EXPECT_EQ(buffer->timingInfo()[0].duration, platform::MediaTime::make(1, int32_t(rate)));
        EXPECT_EQ(buffer->audioData()->size(), size_t(buffer->sampleCount()) * channels * sizeof(float));
        EXPECT_EQ(buffer->presentationTimeStamp().timescale, 1'000'000'000);
    }
    double expected = 0;
    for (size_t i = 1; i < buffers.size(); ++i) {
        EXPECT_GT(buffers[i]->presentationTimeStamp(), buffers[i - 1]->presentationTimeStamp());
        expected += double(buffers[i - 1]->sampleCount()) / rate;
    }
    double span = (nanoseconds(buffers.back()->presentationTimeStamp()) - nanoseconds(buffers.front()->presentationTimeStamp())) / 1e9;
    EXPECT_NEAR(span, expected, 0.02) << "capture times follow the sample count";
    // The capture time of the last buffer's first sample lies in the past, and not far:
    // the sine source hands over two seconds at a time, a stop waits up to a quarter of a
    // second for audio still to come, and a busy machine delays both. Any other clock (the
    // epoch, or counting from the start) would be off by far more.
    double age = (nowNanoseconds() - nanoseconds(buffers.back()->presentationTimeStamp())) / 1e9;
    EXPECT_GT(age, 0);
    EXPECT_LT(age, 6.0);
}

float peak(const std::vector<SampleBufferRef>& buffers) {
    float loudest = 0;
    for (const auto& buffer : buffers) {
        const auto* samples = reinterpret_cast<const float*>(buffer->audioData()->data());
        size_t count = buffer->audioData()->size() / sizeof(float);
        for (size_t i = 0; i < count; ++i) loudest = std::max(loudest, std::abs(samples[i]));
    }
    return loudest;
}

bool loudEnough(const std::vector<SampleBufferRef>& buffers) { return buffers.size() >= 30 && peak(buffers) > 0.2f; }

class AudioCapture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(x_.started());
        ASSERT_TRUE(pulse_.started());
        platform_ = platform::linux_backend::makeLinuxPlatform();
    }

    // Plays a 440 Hz tone (float32, 48 kHz, stereo) into the null sink for a few seconds.
    test_support::ChildProcess playTone() {
        std::string path = folder_.path() + "/tone.raw";
        std::ofstream file(path, std::ios::binary);
        for (int frame = 0; frame < 48000 * 4; ++frame) {
            float value = 0.5f * float(std::sin(2 * M_PI * 440 * frame / 48000.0));
            file.write(reinterpret_cast<const char*>(&value), sizeof value);
            file.write(reinterpret_cast<const char*>(&value), sizeof value);
        }
        file.close();
        return test_support::ChildProcess::background({"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000",
                                           "--channels=2", std::string("--device=") + PrivatePulseServer::kNullSink, path});
    }

    PrivateXServer x_;
    PrivatePulseServer pulse_;
    test_support::TemporaryDirectory folder_;
    std::shared_ptr<platform::Platform> platform_;
};

struct StreamAudioCase {
    const char* name;
    StreamOutputType type;
    bool playTone;
    double rate;
    uint32_t channels;
};

class StreamAudio : public AudioCapture, public ::testing::WithParamInterface<StreamAudioCase> {};

TEST_P(StreamAudio, TheStreamDeliversItsAudioAsSteadyFloatBuffers) {
    const StreamAudioCase& c = GetParam();
    test_support::ChildProcess player;
    if (c.playTone) player = playTone();
    platform::StreamConfiguration configuration;
    configuration.minimumFrameInterval = platform::MediaTime::make(1, 10);
    configuration.capturesAudio = c.type == StreamOutputType::audio;
    if (c.type == StreamOutputType::microphone) {
        configuration.captureMicrophone = true;
        configuration.microphoneCaptureDeviceID = PrivatePulseServer::kSineSource;
    }
    auto stream = platform_->streams->makeStream(platform::ContentFilter::displayExcludingWindows(wholeScreen(), {}),
                                                configuration, {});
    auto audio = std::make_shared<Collector>();
    auto screen = std::make_shared<Collector>();
    stream->addStreamOutput(audio, c.type, platform::makeSerialQueue("audio"));
    stream->addStreamOutput(screen, StreamOutputType::screen, platform::makeSerialQueue("screen"));
    stream->startCapture();
    EXPECT_TRUE(audio->waitFor(loudEnough)) << "peak " << peak(audio->samples());
    stream->stopCapture();
    expectSteadyFloatBuffers(audio->samples(), c.rate, c.channels);
    EXPECT_GT(screen->count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sources, StreamAudio,
                         ::testing::Values(StreamAudioCase{"SystemAudio", StreamOutputType::audio, true, 48000, 2},
                                           // The sine source is mono at the daemon's default rate.
                                           StreamAudioCase{"Microphone", StreamOutputType::microphone, false, 44100, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

class AudioDelegate final : public platform::CaptureSampleDelegate {
public:
    void captureOutputDidOutput(platform::CaptureOutput&, const SampleBufferRef& sample) override {
        collector.add(sample);
    }
    Collector collector;
};

TEST_F(AudioCapture, AMicrophoneSessionDeliversTheSourceAtItsOwnFormat) {
    auto device = platform_->captureDevices->device(PrivatePulseServer::kSineSource);
    ASSERT_TRUE(device);
    auto& sessions = *platform_->captureSessions;
    auto session = sessions.makeSession();
    auto input = sessions.makeDeviceInput(*device);
    ASSERT_TRUE(session->canAddInput(input));
    session->addInput(input);
    EXPECT_FALSE(session->canAddInput(sessions.makeDeviceInput(*device))) << "one device a session";
    auto output = sessions.makeAudioDataOutput();
    auto delegate = std::make_shared<AudioDelegate>();
    output->setSampleBufferDelegate(delegate, platform::makeSerialQueue("microphoneQueue"));
    ASSERT_TRUE(session->canAddOutput(output));
    session->addOutput(output);
    session->startRunning();
    EXPECT_TRUE(session->isRunning());
    EXPECT_TRUE(delegate->collector.waitFor(loudEnough));
    session->stopRunning();
    EXPECT_FALSE(session->isRunning());
    size_t atStop = delegate->collector.count();
    expectSteadyFloatBuffers(delegate->collector.samples(), 44100, *device->formats[0].audioChannelCount);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(delegate->collector.count(), atStop) << "nothing arrives once stopRunning has returned";
}

TEST_F(AudioCapture, AMicrophoneThatIsNotThereCannotBeOpened) {
    platform::CaptureDevice missing;
    missing.uniqueID = "no_such_source";
    missing.mediaTypes = {platform::MediaType::audio};
    try {
        platform_->captureSessions->makeDeviceInput(missing);
        ADD_FAILURE() << "the input was made";
    } catch (const platform::PlatformError& error) {
        EXPECT_EQ(error.domain(), platform::kCaptureErrorDomain);
        EXPECT_NE(error.localizedDescription().find("no_such_source"), std::string::npos);
    }
}

TEST(AudioCaptureWithoutServer, SystemAudioFailsTheStartWithAClearError) {
    PrivateXServer x;
    ASSERT_TRUE(x.started());
    test_support::TemporaryDirectory nowhere;
    std::string address = "unix:" + nowhere.path() + "/no-such-socket";
    setenv("PULSE_SERVER", address.c_str(), 1);
    platform::StreamConfiguration configuration;
    configuration.capturesAudio = true;
    auto stream = platform::linux_backend::makeLinuxPlatform()->streams->makeStream(
        platform::ContentFilter::displayExcludingWindows(wholeScreen(), {}), configuration, {});
    try {
        stream->startCapture();
        ADD_FAILURE() << "the start did not fail";
    } catch (const platform::PlatformError& error) {
        EXPECT_EQ(error.code(), platform::kStreamErrorFailedToStartAudioCapture);
        EXPECT_NE(error.localizedDescription().find("system audio"), std::string::npos) << error.localizedDescription();
    }
    unsetenv("PULSE_SERVER");
}

// The sound card's clock runs 100 ppm fast against the monotonic clock and each
// latency report is off by up to 2 ms: the stamps stay joined buffer to buffer and
// still follow the card over five minutes.
TEST(CaptureTimeline, FollowsADriftingCardThroughJitteryReports) {
    constexpr double kRate = 48000;
    constexpr int64_t kBuffer = 480;
    constexpr double kDrift = 1.0001;  // card seconds per monotonic second
    platform::linux_backend::CaptureTimeline timeline(kRate);
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> jitter(-2'000'000, 2'000'000);
    const int64_t start = 1'000'000'000'000;
    int64_t previous = 0;
    double worstError = 0;
    for (int64_t frame = 0; frame < int64_t(kRate) * 300; frame += kBuffer) {
        auto truth = [&](int64_t index) { return start + int64_t(double(index) / kRate / kDrift * 1e9); };
        timeline.observe(frame, truth(frame) + jitter(random));
        timeline.settle();
        int64_t stamp = timeline.timeOf(frame);
        if (previous) {
            EXPECT_NEAR(double(stamp - previous), kBuffer / kRate * 1e9, 1.5e6) << "at frame " << frame;
        }
        previous = stamp;
        if (frame > int64_t(kRate)) worstError = std::max(worstError, std::abs(double(stamp - truth(frame))));
    }
    EXPECT_LT(worstError, 2e6) << "nanoseconds off the card's clock";
}

// A source that hands over a second of audio at once, before the server has any
// timing to report: the audio read is stamped as captured by the time it was read.
TEST(CaptureTimeline, ABurstReadAtOnceEndsNoLaterThanItWasRead) {
    platform::linux_backend::CaptureTimeline timeline(48000);
    const int64_t readAt = 5'000'000'000;
    timeline.observe(0, readAt - 100'000'000);  // only the first tenth was known to be waiting
    timeline.notAfter(48000, readAt);
    EXPECT_EQ(timeline.timeOf(0), readAt - 1'000'000'000);
    EXPECT_EQ(timeline.timeOf(48000), readAt);
}

} // namespace

namespace {

// Once frames are handed out, a report far off the line (a monitor's sink that changed its
// latency) moves the stamps only as fast as a card's clock could drift, so buffers stay
// joined; after an overrun the server told of, the next report is taken at once.
TEST(CaptureTimeline, ASettledLineSlewsAndMovesAtOnceOnlyAfterLostFrames) {
    platform::linux_backend::CaptureTimeline timeline(48000);
    const int64_t start = 1'000'000'000'000;
    timeline.observe(0, start);
    timeline.settle();
    const int64_t oneSecond = 48000;
    for (int64_t frame = 480; frame <= oneSecond; frame += 480) timeline.observe(frame, start + frame * 1'000'000'000 / 48000 + 200'000'000);
    const int64_t moved = timeline.estimate(oneSecond) - (start + 1'000'000'000);
    EXPECT_GT(moved, 0);
    EXPECT_LE(moved, 2'000'000) << "2 ms a second at most";
    timeline.lostFrames();
    timeline.observe(2 * oneSecond, start + 2'000'000'000 + 200'000'000);
    EXPECT_EQ(timeline.estimate(2 * oneSecond), start + 2'000'000'000 + 200'000'000);
}

} // namespace
