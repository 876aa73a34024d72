// What each segment's files hold from its start to its end, on the fake platform's
// capture clock: a screen that does not change still gives a video that begins with
// its picture at the segment's start and shows the last picture until the pause or
// stop; the reported durations are those of the files; "started" comes before the
// pause or stop of the same recording; the video's key frames follow the frame rate.

#include "engine_fixture.h"

#include <future>

namespace engine_test {
namespace {

using platform::AssetWriterStatus;
using platform::VideoSettings;

struct SegmentCase {
    const char* name;
    RecordingOptions options = displayRecording();
    // Delivers, pauses, resumes and stops; the files are checked afterwards.
    std::function<void(EngineTest&)> run;
    std::function<void(EngineTest&)> check;
};

class SegmentFilesTest : public EngineTest, public ::testing::WithParamInterface<SegmentCase> {};

// A 64×48 screen frame; `fill` tells pictures apart.
void frame(EngineTest& t, int64_t atMs, FrameStatus status, uint8_t fill = 0) {
    t.stream()->deliver(StreamOutputType::screen,
                        platform::fake::makeVideoSample(64, 48, ms(atMs), {.frameStatus = status, .fill = fill}));
    t.waitForSamples();
}

// Idle frames every 1/30 s from `fromMs` up to `toMs`: nothing changes on screen.
void stillFrom(EngineTest& t, int64_t fromMs, int64_t toMs) {
    for (int64_t at = fromMs; at <= toMs; at += 33) frame(t, at, FrameStatus::idle);
}

uint8_t fillOf(const platform::SampleBufferRef& sample) { return sample->pixels()->planes.front().data[0]; }

// The first picture of a video file: its presentation time and fill.
std::pair<MediaTime, uint8_t> firstPicture(EngineTest& t, const std::string& path) {
    auto input = t.inputOf(path);
    if (!input || input->appended().empty()) return {MediaTime::invalid(), 0};
    const auto first = input->appended().front();
    return {first.presentationTime, fillOf(first.sample)};
}

// A file's length as its writer holds it: from the session start to the session end for a
// video (the last picture is shown until then), to the end of the last sample for audio.
std::optional<uint64_t> heldMs(EngineTest& t, const std::string& path, bool video) {
    auto w = t.writer(path);
    if (!w || !w->sessionStartTime() || w->fakeInputs().empty() || w->fakeInputs().front()->appended().empty())
        return std::nullopt;
    const auto last = w->fakeInputs().front()->appended().back();
    MediaTime end = video ? w->sessionEndTime().value_or(last.presentationTime)
                          : platform::add(last.presentationTime, last.duration);
    const MediaTime length = platform::subtract(end, *w->sessionStartTime());
    if (length.value <= 0) return std::nullopt;
    return static_cast<uint64_t>(length.value * 1000 / length.timescale);
}

RecordingOptions stillSegment(int n) {
    RecordingOptions o = displayRecording();
    o.destination = "main-" + std::to_string(n) + ".mp4";
    return o;
}

TEST_P(SegmentFilesTest, HoldWhatWasOnScreenFromTheStartToTheEnd) {
    const auto& c = GetParam();
    start(Target::screen, c.options);
    c.run(*this);
    c.check(*this);
}

INSTANTIATE_TEST_SUITE_P(
    Segments, SegmentFilesTest,
    ::testing::Values(
        // The frame that starts the segment was captured before its start on the capture
        // clock (1 ms earlier in the fake); every later frame is idle.
        SegmentCase{"AStillScreenGivesItsPictureForTheWholeRecording", displayRecording(),
                    [](EngineTest& t) {
                        frame(t, 0, FrameStatus::complete, 7);
                        stillFrom(t, 33, 3000);
                        t.recorder().stop();
                    },
                    [](EngineTest& t) {
                        auto w = t.writer("main.mp4");
                        EXPECT_EQ(w->status(), AssetWriterStatus::completed);
                        EXPECT_EQ(w->sessionStartTime(), ms(1));
                        EXPECT_EQ(firstPicture(t, "main.mp4"), std::make_pair(ms(1), uint8_t(7)));
                        EXPECT_EQ(t.inputOf("main.mp4")->refusedAppends(), 0u);
                        EXPECT_EQ(w->sessionEndTime(), ms(2971)) << "the stop, after the last idle frame";
                        std::lock_guard guard(t.events().mutex);
                        ASSERT_EQ(t.events().finishes.size(), 1u);
                        EXPECT_EQ(t.events().finishes[0].screen(), 2970u);
                        EXPECT_EQ(t.events().finishes[0].screen(), heldMs(t, "main.mp4", true));
                    }},
        // Nothing but idle frames after the resume: the new segment shows the picture that
        // appeared during the pause, from its own start to its end.
        SegmentCase{"EachSegmentOfAStillScreenBeginsWithThePictureOnScreen", stillSegment(1),
                    [](EngineTest& t) {
                        frame(t, 0, FrameStatus::complete, 1);
                        stillFrom(t, 33, 1000);
                        t.recorder().pause();
                        frame(t, 1100, FrameStatus::complete, 2);  // changes while paused
                        stillFrom(t, 1133, 1500);
                        int64_t next = t.resumeDelivering(Target::screen, stillSegment(2), 1600,
                                                          [&t](int64_t at) { frame(t, at, FrameStatus::idle); });
                        stillFrom(t, next, next + 2000);
                        t.recorder().stop();
                    },
                    [](EngineTest& t) {
                        std::lock_guard guard(t.events().mutex);
                        ASSERT_EQ(t.events().pauses.size(), 1u);
                        ASSERT_EQ(t.events().finishes.size(), 1u);
                        EXPECT_EQ(firstPicture(t, "main-1.mp4"), std::make_pair(ms(1), uint8_t(1)));
                        EXPECT_EQ(t.events().pauses[0].screen(), 990u);
                        EXPECT_EQ(t.events().pauses[0].screen(), heldMs(t, "main-1.mp4", true));
                        auto second = t.writer("main-2.mp4");
                        ASSERT_TRUE(second->sessionStartTime());
                        EXPECT_EQ(firstPicture(t, "main-2.mp4"), std::make_pair(*second->sessionStartTime(), uint8_t(2)));
                        EXPECT_GE(t.events().finishes[0].screen(), 1900u);
                        EXPECT_EQ(t.events().finishes[0].screen(), heldMs(t, "main-2.mp4", true));
                    }},
        // The stream delivered only its first frame when the stop comes: the file shows it
        // from the segment's start to the stop.
        SegmentCase{"AStopRightAfterTheStartStillGivesThePicture", displayRecording(),
                    [](EngineTest& t) {
                        frame(t, 0, FrameStatus::complete, 9);
                        t.fake().captureClock().advanceTo(ms(40));  // the stop comes 40 ms after the capture
                        t.recorder().stop();
                    },
                    [](EngineTest& t) {
                        EXPECT_EQ(firstPicture(t, "main.mp4").second, 9);
                        std::lock_guard guard(t.events().mutex);
                        ASSERT_EQ(t.events().starts.size(), 1u);
                        ASSERT_EQ(t.events().finishes.size(), 1u);
                        EXPECT_EQ(t.events().finishes[0].screen(), 39u);
                        EXPECT_EQ(t.events().finishes[0].screen(), heldMs(t, "main.mp4", true));
                    }},
        // The microphone never delivers, so the segment has not started when the pause
        // comes: the host still hears of the start first, and of the resume later.
        SegmentCase{"APauseBeforeTheSegmentStartedReportsTheStartFirst",
                    {.destination = kMainFile, .targetID = kDisplay, .microphoneDeviceID = kMicrophone,
                     .micDestination = "mic.m4a"},
                    [](EngineTest& t) {
                        frame(t, 0, FrameStatus::complete, 3);
                        stillFrom(t, 33, 500);
                        t.recorder().setOnPause([&t](const RecordingDurations&) {
                            std::lock_guard guard(t.events().mutex);
                            t.events().pauses.push_back(RecordingDurations(std::nullopt, std::nullopt, std::nullopt,
                                                                           std::nullopt));
                            EXPECT_EQ(t.events().starts.size(), 1u) << "\"started\" comes before \"paused\"";
                        });
                        t.recorder().pause();
                        t.resumeDelivering(Target::screen, stillSegment(2), 1000,
                                           [&t](int64_t at) { frame(t, at, FrameStatus::idle); });
                    },
                    [](EngineTest& t) {
                        std::lock_guard guard(t.events().mutex);
                        EXPECT_EQ(t.events().starts.size(), 1u);
                        EXPECT_EQ(t.events().pauses.size(), 1u);
                        EXPECT_EQ(t.events().resumes.size(), 1u);
                    }},
        // A microphone sample captured before the stop but still on its way is written and
        // counted; the video reports what its file shows.
        SegmentCase{"TheReportedDurationsAreThoseOfTheFiles",
                    {.destination = kMainFile, .targetID = kDisplay, .microphoneDeviceID = kMicrophone,
                     .micDestination = "mic.m4a"},
                    [](EngineTest& t) {
                        for (int64_t at = 0; at <= 990; at += 10) {
                            t.captureAudio(kMicrophone, at);
                            if (at % 30 == 0) frame(t, at + 1, FrameStatus::complete, uint8_t(at));
                        }
                        t.recorder().stop();
                    },
                    [](EngineTest& t) {
                        std::lock_guard guard(t.events().mutex);
                        ASSERT_EQ(t.events().finishes.size(), 1u);
                        const auto& reported = t.events().finishes[0];
                        EXPECT_EQ(reported.screen(), heldMs(t, "main.mp4", true));
                        EXPECT_EQ(reported.mic(), heldMs(t, "mic.m4a", false));
                        EXPECT_EQ(reported.screen(), 990u);
                        EXPECT_EQ(reported.mic(), 998u);
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Frame rate and key frames.

TEST_F(EngineTest, TheFrameRateSetsTheEncodersRateAndKeyFrameInterval) {
    std::optional<int64_t> bitRateAt30;
    for (int64_t fps : {10, 30, 60}) {
        SCOPED_TRACE(fps);
        RecordingOptions options = displayRecording();
        options.destination = "main-" + std::to_string(fps) + ".mp4";
        options.framesPerSecond = fps;
        start(Target::screen, options);
        frame(*this, fps * 1000, FrameStatus::complete);
        ASSERT_TRUE(inputOf(options.destination));
        const auto& settings = std::get<VideoSettings>(inputOf(options.destination)->outputSettings());
        ASSERT_TRUE(settings.compressionProperties);
        const auto& compression = *settings.compressionProperties;
        EXPECT_EQ(compression.expectedSourceFrameRate, double(fps));
        EXPECT_EQ(compression.maxKeyFrameInterval, int32_t(2 * fps));
        EXPECT_EQ(compression.maxKeyFrameIntervalDuration, 2.0);
        ASSERT_TRUE(compression.averageBitRate);
        if (fps == 30) bitRateAt30 = *compression.averageBitRate;
        if (fps == 60) {
            EXPECT_EQ(*compression.averageBitRate, 2 * *bitRateAt30) << "the same budget per frame";
        }
        recorder().stop();
    }
}

TEST_F(EngineTest, AStillScreenIsWrittenAgainBeforeTheKeyFrameIntervalRunsOut) {
    for (int64_t fps : {10, 30, 60}) {
        SCOPED_TRACE(fps);
        RecordingOptions options = displayRecording();
        options.destination = "still-" + std::to_string(fps) + ".mp4";
        options.framesPerSecond = fps;
        const int64_t from = fps * 10000;
        start(Target::screen, options);
        frame(*this, from, FrameStatus::complete, 5);
        for (int64_t at = from + 1000 / fps; at <= from + 7000; at += 1000 / fps) frame(*this, at, FrameStatus::idle);
        recorder().stop();
        auto appended = appendedTo(options.destination);
        ASSERT_GE(appended.size(), 4u) << "7 s of a still screen";
        for (size_t i = 1; i < appended.size(); ++i) {
            EXPECT_LE(platform::subtract(appended[i], appended[i - 1]).seconds(), 2.0) << i;
        }
        for (const auto& sample : inputOf(options.destination)->appended()) EXPECT_EQ(fillOf(sample.sample), 5);
    }
}

} // namespace
} // namespace engine_test
