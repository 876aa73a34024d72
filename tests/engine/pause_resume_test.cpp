// Pause and resume by file segments, the durations measured at pause and stop,
// and the hand-over between a pause and samples already on their way.

#include "engine_fixture.h"

#include <future>
#include <map>

namespace engine_test {
namespace {

using platform::AssetWriterStatus;
using platform::PlatformError;

using PauseResumeTest = EngineTest;

RecordingOptions segment(int n, bool withDevices = true) {
    RecordingOptions o = displayRecording();
    o.destination = "main-" + std::to_string(n) + ".mp4";
    if (withDevices) {
        o.microphoneDeviceID = kMicrophone;
        o.micDestination = "mic-" + std::to_string(n) + ".m4a";
        o.webcamDeviceID = kCamera;
        o.webcamDestination = "cam-" + std::to_string(n) + ".mp4";
    }
    return o;
}

TEST_F(PauseResumeTest, EachSegmentHasItsOwnFilesAndTheFirstIsFinishedBeforeTheSecondStarts) {
    start(Target::screen, segment(1));
    auto allSources = [this](int64_t t) {
        captureAudio(kMicrophone, t);
        webcamFrame(t + 1);
        screenFrame(t + 2);
    };
    for (int64_t t = 0; t < 100; t += 10) allSources(t);
    const size_t sessionCount = sessions().sessions().size();

    recorder().pause();
    EXPECT_TRUE(recorder().isPaused());
    const std::vector<std::string> first{"main-1.mp4", "mic-1.m4a", "cam-1.mp4"};
    EXPECT_EQ(writers().finishOrder(), first);
    std::map<std::string, size_t> firstCounts;
    for (const auto& path : first) {
        EXPECT_EQ(writer(path)->status(), AssetWriterStatus::completed) << path;
        firstCounts[path] = appendedTo(path).size();
        EXPECT_GT(firstCounts[path], 0u) << path;
    }

    // While paused, capture goes on and every sample is dropped.
    for (int64_t t = 100; t < 150; t += 10) allSources(t);
    EXPECT_TRUE(stream()->isCapturing());
    for (const auto& session : sessions().sessions()) EXPECT_TRUE(session->isRunning());

    int64_t t = resumeDelivering(Target::screen, segment(2), 200, allSources);
    EXPECT_FALSE(recorder().isPaused());
    for (int i = 0; i < 5; ++i, t += 10) allSources(t);

    for (const auto& path : first) {
        EXPECT_EQ(appendedTo(path).size(), firstCounts[path]) << path << " was finished and left alone";
        EXPECT_EQ(writer(path)->finishWritingCalls(), 1) << path;
    }
    for (const char* path : {"main-2.mp4", "mic-2.m4a", "cam-2.mp4"}) {
        ASSERT_NE(writer(path), nullptr) << path;
        EXPECT_EQ(writer(path)->status(), AssetWriterStatus::writing) << path;
        ASSERT_FALSE(appendedTo(path).empty()) << path;
        // Nothing of the pause reaches the new files.
        EXPECT_GE(platform::compare(appendedTo(path).front(), ms(200)), 0) << path;
    }
    // Same devices: new writers only; the stream and the capture sessions were started once.
    EXPECT_EQ(sessions().sessions().size(), sessionCount);
    for (const auto& session : sessions().sessions()) EXPECT_EQ(session->startCount(), 1);
    EXPECT_EQ(stream()->startCount(), 1);
    EXPECT_EQ(power().begunCount(), 2);
    EXPECT_EQ(power().activeCount(), 1);
    EXPECT_EQ(power().lastOptions(), uint64_t{1} << 20);
    EXPECT_EQ(power().lastReason(), "Recording screen");

    recorder().stop();
    for (const char* path : {"main-2.mp4", "mic-2.m4a", "cam-2.mp4"}) {
        EXPECT_EQ(writer(path)->status(), AssetWriterStatus::completed) << path;
    }
    EXPECT_EQ(power().activeCount(), 0) << "releasing the session ends the activity";
    EXPECT_EQ(stream()->stopCount(), 1);
    EXPECT_EQ(events().count(&Events::starts), 1u);
    EXPECT_EQ(events().count(&Events::resumes), 1u);
}

TEST_F(PauseResumeTest, AResumeEndsAtTheFirstSynchronisedScreenFrameWhateverItsStatus) {
    start(Target::screen, segment(1, false));
    screenFrame(0);
    recorder().pause();
    resumeDelivering(Target::screen, segment(2, false), 100, [this](int64_t t) { screenFrame(t, FrameStatus::idle); });
    EXPECT_EQ(events().count(&Events::resumes), 1u);
    // Nothing changed on screen: the new segment's video shows the picture it last had, from its start.
    auto w = writer("main-2.mp4");
    EXPECT_EQ(w->status(), AssetWriterStatus::writing);
    ASSERT_TRUE(w->sessionStartTime());
    EXPECT_EQ(appendedTo("main-2.mp4"), (std::vector<MediaTime>{*w->sessionStartTime()}));
    EXPECT_EQ(inputOf("main-2.mp4")->appended().front().sample->pixels(), inputOf("main-1.mp4")->appended().front().sample->pixels());
}

TEST_F(PauseResumeTest, AResumeWhoseSetUpFailsStaysPausedAndCanBeResumedAgain) {
    start(Target::screen, segment(1, false));
    screenFrame(0);
    recorder().pause();
    RecordingOptions wrong = segment(2, false);
    wrong.destination = "main-2.avi";
    auto failure = failureOf([&] { resume(Target::screen, wrong); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->textualDescription(), Error::unsupportedFileExtension("avi", false).textualDescription());
    EXPECT_TRUE(recorder().isPaused());
    EXPECT_TRUE(events().errorList().empty());

    resumeWithFrames(Target::screen, segment(3, false), 100);
    screenFrame(500);
    EXPECT_FALSE(appendedTo("main-3.mp4").empty());
}

// ---- Durations.

enum class Source { screen, microphone, webcam, microphoneNotReady };

struct Delivery {
    Source source;
    MediaTime at;
    int64_t audioFrames = 480;  // 10 ms at 48 kHz
};

struct DurationCase {
    const char* name;
    std::vector<Delivery> deliveries;
    std::optional<uint64_t> screen, mic, cam;
};

class DurationsTest : public EngineTest, public ::testing::WithParamInterface<DurationCase> {
public:
    void deliver(const Delivery& d) {
        switch (d.source) {
        case Source::screen:
            stream()->deliver(StreamOutputType::screen, platform::fake::makeVideoSample(64, 48, d.at));
            break;
        case Source::microphone:
            outputOf(kMicrophone)->deliver(platform::fake::makeAudioSample(d.audioFrames, 48000, d.at));
            break;
        case Source::webcam: outputOf(kCamera)->deliver(platform::fake::makeVideoSample(32, 24, d.at)); break;
        case Source::microphoneNotReady: inputOf("mic-1.m4a")->setReady(false); break;
        }
        waitForSamples();
    }
};

TEST_P(DurationsTest, AreMeasuredToTheMillisecondAtPauseAndAbsentAfterIt) {
    const auto& c = GetParam();
    // The pause comes at the last delivery's capture time: the videos show their last
    // frame until then.
    fake().captureClock().setDeliveryLatency(MediaTime::zero());
    start(Target::screen, segment(1));
    // Resolve the segment with samples that are not written: the last, an idle frame, completes it.
    deliver({Source::microphone, ms(-1000)});
    deliver({Source::webcam, ms(-1000)});
    stream()->deliver(StreamOutputType::screen,
                      platform::fake::makeVideoSample(64, 48, ms(-1000), {.frameStatus = FrameStatus::idle}));
    waitForSamples();
    ASSERT_EQ(events().count(&Events::starts), 1u);
    for (const auto& d : c.deliveries) deliver(d);

    recorder().pause();
    recorder().pause();
    recorder().stop();

    std::lock_guard guard(events().mutex);
    ASSERT_EQ(events().pauses.size(), 2u);
    const auto& measured = events().pauses.front();
    EXPECT_EQ(measured.screen(), c.screen);
    EXPECT_EQ(measured.mic(), c.mic);
    EXPECT_EQ(measured.cam(), c.cam);
    EXPECT_EQ(measured.sys(), std::nullopt) << "no system-audio file";
    // The first pause reset the measurements: the second pause and the stop report nothing.
    ASSERT_EQ(events().finishes.size(), 1u);
    for (const auto& later : {events().pauses.back(), events().finishes.back()}) {
        EXPECT_EQ(later.screen(), std::nullopt);
        EXPECT_EQ(later.mic(), std::nullopt);
        EXPECT_EQ(later.sys(), std::nullopt);
        EXPECT_EQ(later.cam(), std::nullopt);
    }
}

const MediaTime k1_9996 = MediaTime::make(19996, 10000);

INSTANTIATE_TEST_SUITE_P(
    Pause, DurationsTest,
    ::testing::Values(
        DurationCase{"TruncatedToTheMillisecond",
                     {{Source::screen, ms(0)},
                      {Source::screen, k1_9996},
                      {Source::microphone, ms(5)},
                      // Ends 10 ms later, 1.9996 s after the segment began.
                      {Source::microphone, MediaTime::make(19896, 10000)},
                      {Source::webcam, ms(0)},
                      {Source::webcam, k1_9996}},
                     1999, 1999, 1999},
        DurationCase{"AVideoEndingWhereItStartsIsNothingASingleSampleItsDuration",
                     {{Source::screen, ms(0)}, {Source::microphone, ms(0)}, {Source::webcam, ms(0)}},
                     std::nullopt, 10, std::nullopt},
        DurationCase{"NothingAfterTheSynchronisation", {}, std::nullopt, std::nullopt, std::nullopt},
        DurationCase{"AZeroLengthSampleKeepsTheLastDuration",
                     {{Source::microphone, ms(0)}, {Source::microphone, ms(1000), 0}},
                     std::nullopt, 1010, std::nullopt},
        DurationCase{"ASampleTheInputIsNotReadyForIsDropped",
                     {{Source::microphone, ms(0)},
                      {Source::microphone, ms(500)},
                      {Source::microphoneNotReady, ms(0)},
                      {Source::microphone, ms(1500)}},
                     std::nullopt, 510, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PauseResumeTest, StopMeasuresTheFilesOnceTheyAreCompleteAndReportsAfterwards) {
    start(Target::screen, segment(1));
    for (int64_t t = 0; t <= 500; t += 10) {
        captureAudio(kMicrophone, t);
        webcamFrame(t);
        screenFrame(t);
    }
    std::optional<RecordingDurations> reported;
    recorder().setOnFinish([&](const RecordingDurations& durations) {
        for (const char* path : {"main-1.mp4", "mic-1.m4a", "cam-1.mp4"}) {
            EXPECT_EQ(writer(path)->status(), AssetWriterStatus::completed) << path;
        }
        reported = durations;
    });
    recorder().stop();
    ASSERT_TRUE(reported);
    // Measured once the files were complete. The screen frame at 0 completed the segment, which
    // started at 1 on the capture clock; the stop came at 501 (the clock after the last delivery).
    // The videos show their last pictures until the stop; the microphone runs to the end of
    // its last sample.
    EXPECT_EQ(reported->screen(), 500u);
    EXPECT_EQ(reported->mic(), 509u);
    EXPECT_EQ(reported->cam(), 500u);
    EXPECT_EQ(reported->sys(), std::nullopt);
}

// ---- A pause meeting samples on their way.

// One shot: the first thread that passes waits until release() is called.
class Gate {
public:
    void passOnce() {
        if (armed_.exchange(false)) {
            entered_.set_value();
            released_.wait();
        }
    }
    void waitUntilEntered() { entered_.get_future().wait(); }
    void release() { release_.set_value(); }

private:
    std::atomic<bool> armed_{true};
    std::promise<void> entered_;
    std::promise<void> release_;
    std::shared_future<void> released_ = release_.get_future().share();
};

TEST_F(PauseResumeTest, APauseWaitsForTheAppendInProgressBeforeItFinishesTheFile) {
    start(Target::screen, segment(1, false));
    screenFrame(0);
    auto input = inputOf("main-1.mp4");
    ASSERT_TRUE(input);
    Gate gate;
    input->setOnAppend([&] { gate.passOnce(); });

    // Frame 10 has passed every check and is inside its append when the pause begins;
    // frame 20 comes behind it.
    stream()->deliver(StreamOutputType::screen, platform::fake::makeVideoSample(64, 48, ms(10)));
    gate.waitUntilEntered();
    stream()->deliver(StreamOutputType::screen, platform::fake::makeVideoSample(64, 48, ms(20)));
    auto paused = std::async(std::launch::async, [&] { recorder().pause(); });
    // Gives the pause time to reach the file, which it must not finish yet (a scheduling aid, not a time check).
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(writer("main-1.mp4")->finishWritingCalls(), 0);
    gate.release();
    paused.get();
    waitForSamples();

    auto w = writer("main-1.mp4");
    EXPECT_EQ(w->status(), AssetWriterStatus::completed);
    EXPECT_EQ(w->finishWritingCalls(), 1);
    EXPECT_EQ(input->refusedAppends(), 0u) << "a sample was appended to the finished file";
    EXPECT_EQ(input->overlappingAppends(), 0u);
    auto appended = appendedTo("main-1.mp4");
    ASSERT_GE(appended.size(), 2u);
    EXPECT_EQ(appended[1], ms(10));
}

TEST_F(PauseResumeTest, AResumeThatNeverStartsWaitsUntilTheStreamFailsAndThenThrowsTheRecordedError) {
    start(Target::screen, segment(1, false));
    screenFrame(0);
    recorder().pause();

    // The new segment expects the webcam, which never delivers: the resume waits.
    RecordingOptions next = segment(2, false);
    next.webcamDeviceID = kCamera;
    next.webcamDestination = "cam-2.mp4";
    auto resumed = std::async(std::launch::async, [&] { resume(Target::screen, next); });
    ASSERT_TRUE(eventually([&] { return !recorder().isPaused(); }));
    for (int64_t t = 100; t < 200; t += 10) screenFrame(t);
    EXPECT_EQ(resumed.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    EXPECT_EQ(events().count(&Events::resumes), 0u);

    const PlatformError cause(platform::kStreamErrorDomain, platform::kStreamErrorInternal, "The display went away.");
    stream()->stopWithError(cause);
    ASSERT_EQ(resumed.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the resume still waits";
    auto failure = failureOf([&] { resumed.get(); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->textualDescription(), Error::unknown(cause).textualDescription());
    EXPECT_EQ(events().errorList().size(), 1u);
    auto stopped = failureOf([&] { recorder().stop(); });
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->textualDescription(), failure->textualDescription());
    EXPECT_TRUE(eventually([&] { return stream()->stopCount() == 1; }));
}

TEST_F(PauseResumeTest, AResumeAfterTheStreamFailedThrowsTheRecordedErrorAtOnce) {
    start(Target::screen, segment(1, false));
    screenFrame(0);
    recorder().pause();
    const PlatformError cause(platform::kStreamErrorDomain, platform::kStreamErrorInternal, "Gone while paused.");
    stream()->stopWithError(cause);
    auto failure = failureOf([&] { resume(Target::screen, segment(2, false)); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->textualDescription(), Error::unknown(cause).textualDescription());
    EXPECT_TRUE(eventually([&] { return stream()->stopCount() == 1; }));
}

// A microphone that hands its sound over in blocks may bring the first of a segment only
// after the pause: the pause waits for it, as long as the audio has been late before.
TEST_F(PauseResumeTest, APauseWaitsForAMicrophoneWhoseFirstBlockComesAfterIt) {
    fake().captureClock().setDeliveryLatency(MediaTime::zero());
    auto deliverMicrophoneBlock = [&](int64_t fromMs, int64_t toMs) {
        for (int64_t t = fromMs; t < toMs; t += 10) captureAudio(kMicrophone, t);
    };
    start(Target::screen, segment(1));
    // Before the segment: sound a second old on arrival, and the samples that resolve the segment.
    deliverMicrophoneBlock(-1000, -990);
    webcamFrame(-1000);
    screenFrame(-1000, FrameStatus::idle);
    for (int64_t t = 0; t <= 500; t += 100) screenFrame(t);
    std::thread lateBlock([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        deliverMicrophoneBlock(0, 510);
    });
    recorder().pause();
    lateBlock.join();
    std::lock_guard guard(events().mutex);
    ASSERT_EQ(events().pauses.size(), 1u);
    ASSERT_TRUE(events().pauses.front().mic().has_value()) << "the microphone's file was left out";
    EXPECT_GE(*events().pauses.front().mic(), 500u);
}

} // namespace
} // namespace engine_test
