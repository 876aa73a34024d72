// The recording commands in the interactive loop over the fake platform: the
// refusals in their order, the events of a whole recording, and the ways a
// recording ends (stop, quit, end of input, signals).

#include "loop_harness.h"

#include "Tavrik/Emit.h"
#include "Tavrik/LoopState.h"
#include "Tavrik/OptionMapping.h"
#include "Tavrik/RecordingCommands.h"
#include "Tavrik/SignalHandling.h"

#include "Dovezode/Recorder.h"

#include <gtest/gtest.h>

#include <future>

using commands_test::LoopHarness;
using platform::fake::FakeOperation;
using tavrik::Json;

namespace {

struct Expected {
    std::string message;
    std::string code;
};

void expectErrors(const std::vector<Json>& events, const std::vector<Expected>& expected) {
    ASSERT_EQ(events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(events[i]["event"], "error") << i;
        EXPECT_EQ(events[i]["message"], expected[i].message) << i;
        EXPECT_EQ(events[i]["code"], expected[i].code) << i;
    }
}

std::vector<std::string> names(const std::vector<Json>& events) {
    std::vector<std::string> result;
    for (const auto& e : events) result.push_back(e["event"]);
    return result;
}

} // namespace

TEST(RecordingCommands, RefusalsInTheirOrder) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<Expected> expected;
    };
    const std::string wrongSig = R"(start {"sig":"nope","outputPath":"/tmp/a.mp4","microphoneID":"m"})";
    const Case cases[] = {
        {"nothing to stop, pause or resume", {"stop", "pause", "resume", "STOP now"},
         {{"", "NO_RECORDING"}, {"", "NO_RECORDING"}, {"", "NO_RECORDING"}, {"", "NO_RECORDING"}}},
        {"start without an argument decodes {}", {"start"}, {{"Invalid JSON config", "INVALID_CONFIG"}}},
        {"start with text that is no JSON", {"start {oops"}, {{"Invalid JSON config", "INVALID_CONFIG"}}},
        {"wrong access value comes before the path rules", {wrongSig}, {{"unknown error", "ERROR_STARTING"}}},
        {"microphone without its path",
         {LoopHarness::startRequest("/tmp/a.mp4", R"("microphoneID":"m","systemAudio":true)")},
         {{"micOutputPath is required when microphoneID is set", "INVALID_CONFIG"}}},
        {"system audio without its path", {LoopHarness::startRequest("/tmp/a.mp4", R"("systemAudio":true)")},
         {{"sysOutputPath is required when systemAudio is enabled", "INVALID_CONFIG"}}},
        {"fps the engine cannot take", {LoopHarness::startRequest("/tmp/a.mp4", R"("fps":0)")},
         {{"Invalid JSON config", "INVALID_CONFIG"}}},
        {"oversized request", {"start {\"x\":\"" + std::string(1 << 20, 'a') + "\"}"},
         {{"Invalid JSON config", "INVALID_CONFIG"}}},
    };
    for (const auto& c : cases) {
        LoopHarness harness;
        harness.run();
        for (const auto& line : c.lines) harness.send(line);
        harness.settle();
        SCOPED_TRACE(c.name);
        expectErrors(harness.events(), c.expected);
        EXPECT_TRUE(harness.fake().platform()->streams && !harness.stream()) << "no recorder may start";
    }
}

TEST(RecordingCommands, AWholeRecordingReportsEveryEvent) {
    LoopHarness harness;
    harness.run();
    harness.send(LoopHarness::startRequest());
    harness.settle();
    ASSERT_TRUE(harness.stream());
    harness.deliverFrame(10.0);
    auto started = harness.output().waitForEvent("started");
    ASSERT_TRUE(started);
    EXPECT_TRUE((*started)["timestamp"].is_number_integer());
    EXPECT_GT((*started)["timestamp"].get<int64_t>(), int64_t{1000000000000});  // milliseconds since 1970

    harness.deliverFrame(11.0);
    harness.deliverFrame(12.0);
    harness.send("start {}");  // while recording
    harness.send("resume");    // while not paused
    harness.send("pause");
    harness.send("PAUSE");
    harness.settle();
    auto paused = harness.output().waitForEvent("paused");
    ASSERT_TRUE(paused);
    EXPECT_EQ((*paused)["timestamp"], "");
    EXPECT_EQ((*paused)["message"], (Json{{"screen", 2000}, {"mic", nullptr}, {"sys", nullptr}, {"cam", nullptr}}));

    // The resume waits for the new segment's first frame.
    harness.send(LoopHarness::startRequest("/tmp/harness-second.mp4").replace(0, 5, "resume"));
    std::thread frames([&] {
        // Frames until the resume has taken one, for as long as a busy machine may need.
        const auto deadline = std::chrono::steady_clock::now() + test_support::CapturedOutput::kGenerousWait;
        for (int i = 0; std::chrono::steady_clock::now() < deadline &&
                        !harness.output().waitForEvent("resumed", std::chrono::milliseconds(10));
             ++i) {
            harness.deliverFrame(20.0 + i);
        }
    });
    auto resumed = harness.output().waitForEvent("resumed");
    frames.join();
    ASSERT_TRUE(resumed);
    EXPECT_TRUE((*resumed)["timestamp"].is_number_integer());

    harness.send("stop");
    harness.send("stop");
    harness.settle();
    auto finish = harness.output().waitForEvent("finish");
    ASSERT_TRUE(finish);
    EXPECT_EQ((*finish)["timestamp"], "");
    EXPECT_EQ((*finish)["message"].size(), 4u);

    auto events = harness.events();
    EXPECT_EQ(names(events), (std::vector<std::string>{"started", "error", "error", "paused", "error", "resumed",
                                                       "finish", "error"}));
    EXPECT_EQ(events[1]["code"], "ALREADY_RUNNING");
    EXPECT_EQ(events[2]["code"], "NOT_PAUSED");
    EXPECT_EQ(events[4]["code"], "ALREADY_PAUSED");
    EXPECT_EQ(events[7]["code"], "NO_RECORDING");
    // A new recording may start after the finish.
    harness.send(LoopHarness::startRequest("/tmp/harness-third.mp4"));
    harness.settle();
    EXPECT_EQ(harness.events().size(), events.size());
}

TEST(RecordingCommands, AStartWhoseOutputSetUpFailsGivesTwoErrors) {
    LoopHarness harness;
    harness.run();
    harness.send(LoopHarness::startRequest("/tmp/harness.avi"));
    harness.send("stop");
    harness.settle();
    auto events = harness.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]["code"], "RECORDING_ERROR");
    EXPECT_EQ(events[0]["message"],
              "Invalid file extension. Only .mp4, .mov and .m4v are supported for video recordings. Got avi.");
    EXPECT_EQ(events[1]["code"], "ERROR_STARTING");
    EXPECT_EQ(events[1]["message"], R"(unsupportedFileExtension("avi", false))");
    EXPECT_EQ(events[2]["code"], "NO_RECORDING");
}

TEST(RecordingCommands, EngineFailuresAreReportedWithTheErrorsTextualForm) {
    LoopHarness harness;
    harness.fake().failures().failAlways(FakeOperation::shareableContentFetch, platform::fake::userDeclinedError());
    harness.run();
    harness.send(LoopHarness::startRequest("/tmp/a.mp4", R"("displayID":"01")"));
    harness.settle();
    auto events = harness.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["code"], "ERROR_STARTING");
    EXPECT_EQ(events[0]["message"], "noPermissions");
}

TEST(RecordingCommands, AStreamFailureEndsTheRecordingOnce) {
    LoopHarness harness;
    harness.run();
    harness.send(LoopHarness::startRequest());
    harness.settle();
    harness.deliverFrame(1.0);
    harness.send("pause");
    harness.settle();
    harness.stream()->stopWithError(platform::PlatformError("test.stream", 7, "The display went away."));
    harness.send("stop");
    harness.send("resume {}");
    harness.settle();
    auto events = harness.events();
    ASSERT_EQ(names(events), (std::vector<std::string>{"started", "paused", "error", "error", "error"}));
    EXPECT_EQ(events[2]["code"], "RECORDING_ERROR");
    EXPECT_EQ(events[2]["message"], "An unknown error has occurred: The display went away.");
    EXPECT_EQ(events[3]["code"], "NO_RECORDING");
    EXPECT_EQ(events[4]["code"], "NO_RECORDING");
    // The failed recording was paused; the next one starts unpaused and can be paused.
    harness.send(LoopHarness::startRequest("/tmp/harness-next.mp4"));
    harness.send("pause");
    harness.settle();
    EXPECT_EQ(harness.events().back()["event"], "paused");
}

// A stream that fails while "start" runs: both errors, and the program is not left
// believing it records ("Already recording" for ever).
TEST(RecordingCommands, AStreamFailureDuringTheStartLeavesTheProgramAbleToRecord) {
    LoopHarness harness;
    platform::fake::fakeStreams(*harness.fake().platform()).setOnStartCapture([](platform::fake::FakeStream& stream) {
        stream.stopWithError(platform::PlatformError("test.stream", 7, "The display went away."));
    });
    harness.run();
    harness.send(LoopHarness::startRequest("/tmp/harness-failing.mp4"));
    harness.send("stop");
    harness.settle();
    auto events = harness.events();
    ASSERT_EQ(names(events), (std::vector<std::string>{"error", "error", "error"}));
    EXPECT_EQ(events[0]["code"], "RECORDING_ERROR");
    EXPECT_EQ(events[0]["message"], "An unknown error has occurred: The display went away.");
    EXPECT_EQ(events[1]["code"], "ERROR_STARTING");
    EXPECT_EQ(events[2]["code"], "NO_RECORDING");

    platform::fake::fakeStreams(*harness.fake().platform()).setOnStartCapture({});
    harness.send(LoopHarness::startRequest("/tmp/harness-failing.mp4"));
    harness.settle();
    harness.deliverFrame(1.0);
    harness.send("stop");
    harness.settle();
    EXPECT_EQ(names(harness.events()),
              (std::vector<std::string>{"error", "error", "error", "started", "finish"}));
}

TEST(RecordingCommands, QuitAndEndOfInputFinishARunningRecording) {
    for (const char* ending : {"quit", "exit", ""}) {
        LoopHarness harness;
        harness.run();
        harness.send(LoopHarness::startRequest());
        harness.settle();
        harness.deliverFrame(1.0);
        harness.send("pause");
        if (*ending) harness.send(ending);
        harness.endInput();
        SCOPED_TRACE(ending);
        EXPECT_EQ(names(harness.events()), (std::vector<std::string>{"started", "paused", "finish"}));
        EXPECT_TRUE(harness.loopEnded());
    }
}

namespace {

// A running recording with its loop state, for the signal handler.
struct SignalFixture {
    LoopHarness harness;
    std::shared_ptr<tavrik::LoopState> state = std::make_shared<tavrik::LoopState>(*harness.fake().platform());
    std::shared_ptr<Dovezode::Recorder> recorder = Dovezode::Recorder::make(*harness.fake().platform());

    SignalFixture() {
        recorder->setOnFinish([](const Dovezode::RecordingDurations&) { tavrik::emit("finish", {{"timestamp", ""}}); });
        recorder->start(Dovezode::Target::screen,
                        tavrik::recordingOptions(*tavrik::decodeRecordConfig(
                            R"({"sig":"x","outputPath":"/tmp/signal.mp4"})"),
                                                 *harness.fake().platform()));
        state->setCurrentRecorder(recorder);
        state->recordingActive = true;
    }
};

} // namespace

TEST(SignalHandlingInProcess, StopsTheRecordingThenExitsOnce) {
    SignalFixture fixture;
    tavrik::SignalHandling signals(fixture.state);
    signals.handle("SIGINT");
    signals.handle("SIGTERM");  // a second signal during the stop changes nothing
    ASSERT_TRUE(fixture.harness.output().waitForEvent("finish"));
    EXPECT_TRUE(fixture.harness.waitForExit());
    auto events = fixture.harness.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], (Json{{"event", "shutdown"}, {"reason", "signal"}, {"signal", "SIGINT"},
                               {"timestamp", events[0]["timestamp"]}}));
    EXPECT_EQ(events[1]["event"], "finish");
    EXPECT_EQ(fixture.harness.exits(), 1);
}

TEST(SignalHandlingInProcess, AFailedStopIsReportedWithoutACode) {
    SignalFixture fixture;
    fixture.harness.stream()->stopWithError(platform::PlatformError("test.stream", 7, "gone"));
    tavrik::SignalHandling signals(fixture.state);
    signals.handle("SIGHUP");
    auto failure = fixture.harness.output().waitFor(
        [](const Json& e) { return e.is_object() && e.value("event", "") == "error"; });
    ASSERT_TRUE(failure);
    EXPECT_EQ((*failure)["message"],
              "Failed to stop on SIGHUP: The operation couldn\u2019t be completed. (Dovezode.Dovezode.Error error 6.)");
    EXPECT_FALSE(failure->contains("code"));
    EXPECT_TRUE(fixture.harness.waitForExit());
    EXPECT_EQ(fixture.harness.exits(), 1);
}

TEST(SignalHandlingInProcess, AStopDuringAnotherStopOfTheRecorderWaitsAndSaysNothing) {
    SignalFixture fixture;
    // While the first stop is inside the engine, a second one (a "stop" line, a
    // signal, "quit") arrives for the same recorder.
    std::thread second;
    std::optional<tavrik::LoopState::StopOutcome> secondOutcome;
    fixture.harness.stream()->setStopHook([&] {
        second = std::thread([&] { secondOutcome = fixture.state->stopRecorder(fixture.recorder); });
        while (fixture.state->waitingStops() == 0) std::this_thread::yield();
    });
    auto first = fixture.state->stopRecorder(fixture.recorder);
    second.join();
    EXPECT_TRUE(first.ranHere);
    EXPECT_FALSE(first.failure);
    ASSERT_TRUE(secondOutcome);
    EXPECT_FALSE(secondOutcome->ranHere);
    EXPECT_FALSE(secondOutcome->failure);
    EXPECT_FALSE(fixture.state->recordingActive);
    EXPECT_EQ(fixture.harness.stream()->stopCount(), 1);
    EXPECT_EQ(names(fixture.harness.events()), (std::vector<std::string>{"finish"}));
}

namespace {

// The argument of a "start" line, as the loop hands it to the command.
std::string startArgument(const std::string& path) {
    return LoopHarness::startRequest(path).substr(std::string("start ").size());
}

} // namespace

TEST(SignalHandlingInProcess, ASignalDuringAStartLetsItEndThenTellsOnlyTheFinish) {
    LoopHarness harness;
    auto state = std::make_shared<tavrik::LoopState>(*harness.fake().platform());
    tavrik::SignalHandling signals(state);
    platform::fake::fakeStreams(*harness.fake().platform()).setOnStartCapture([&](platform::fake::FakeStream&) {
        // The signal comes while the start is inside the engine, its files being prepared.
        signals.handle("SIGTERM");
        EXPECT_EQ(harness.exits(), 0) << "the exit waits for the start";
    });
    tavrik::handleStart(state, startArgument("/tmp/signal-during-start.mp4"));
    ASSERT_TRUE(harness.output().waitForEvent("finish")) << Json(harness.events()).dump();
    EXPECT_TRUE(harness.waitForExit());
    auto events = harness.events();
    // The stop reports the recording's start before its end ("started"), which the host,
    // told of the shutdown, no longer hears.
    EXPECT_EQ(names(events), (std::vector<std::string>{"shutdown", "finish"}));
    EXPECT_EQ(harness.exits(), 1);
}

TEST(SignalHandlingInProcess, AfterTheShutdownNoRecordingBegins) {
    LoopHarness harness;
    auto state = std::make_shared<tavrik::LoopState>(*harness.fake().platform());
    tavrik::SignalHandling signals(state);
    signals.handle("SIGINT");
    EXPECT_EQ(harness.exits(), 1) << "nothing was recording: the exit is taken at once";
    // A "start" the loop had already read when the signal came.
    tavrik::handleStart(state, startArgument("/tmp/after-shutdown.mp4"));
    EXPECT_FALSE(harness.stream()) << "no stream may start";
    EXPECT_FALSE(state->recordingActive);
    EXPECT_EQ(names(harness.events()), (std::vector<std::string>{"shutdown"}));
}
