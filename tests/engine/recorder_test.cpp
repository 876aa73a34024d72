// The recorder facade over the fake backend: order of calls, how failures reach
// the caller and onError, and when onStart and onResume fire.

#include "engine_fixture.h"

#include <chrono>

namespace engine_test {
namespace {

using platform::PlatformError;
using platform::fake::FakeOperation;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

PlatformError streamError(int64_t code, const char* text) { return PlatformError(platform::kStreamErrorDomain, code, text); }

void expectSameError(const Error& actual, const Error& expected) {
    EXPECT_EQ(actual.kind(), expected.kind());
    EXPECT_EQ(actual.textualDescription(), expected.textualDescription());
    EXPECT_EQ(actual.localizedDescription(), expected.localizedDescription());
}

using RecorderTest = EngineTest;

TEST_F(RecorderTest, OperationsOutOfOrderFailAndChangeNothing) {
    EXPECT_FALSE(recorder().isPaused());
    for (auto call : std::vector<std::function<void()>>{[&] { recorder().stop(); }, [&] { recorder().pause(); },
                                                         [&] { resume(Target::screen, displayRecording()); }}) {
        auto failure = failureOf(call);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind(), Error::Kind::recorderNotStarted);
    }
    EXPECT_TRUE(streams().streams().empty());

    start(Target::screen, displayRecording());
    auto again = failureOf([&] { start(Target::screen, {.destination = "other.mp4", .targetID = kDisplay}); });
    ASSERT_TRUE(again);
    EXPECT_EQ(again->kind(), Error::Kind::recorderAlreadyStarted);
    // The running recording goes on: one stream, still capturing, its file still the first one.
    EXPECT_EQ(streams().streams().size(), 1u);
    EXPECT_TRUE(stream()->isCapturing());
    EXPECT_EQ(writer("other.mp4"), nullptr);
    EXPECT_TRUE(events().errorList().empty());
}

// ---- Refusals found before the output set-up: thrown, never reported through onError.

struct EarlyRefusal {
    const char* name;
    Target target;
    RecordingOptions options = displayRecording();
    std::function<void(EngineTest&)> arrange;
    Error expected;
};

class EarlyRefusalTest : public EngineTest, public ::testing::WithParamInterface<EarlyRefusal> {};

TEST_P(EarlyRefusalTest, IsThrownWithoutOnErrorAndALaterStartWorks) {
    const auto& c = GetParam();
    if (c.arrange) c.arrange(*this);
    auto failure = failureOf([&] { start(c.target, c.options); });
    ASSERT_TRUE(failure);
    expectSameError(*failure, c.expected);
    EXPECT_TRUE(events().errorList().empty());
    EXPECT_TRUE(writers().writers().empty());
    EXPECT_FALSE(recorder().isPaused());

    fake().failures().clear(FakeOperation::shareableContentFetch);
    fake().failures().clear(FakeOperation::streamAddOutput);
    content().setDisplays({{.displayID = 1, .width = 1920, .height = 1080, .frame = {{0, 0}, {1920, 1080}}}});
    start(Target::screen, displayRecording());
    EXPECT_TRUE(stream()->isCapturing());
}

const PlatformError kNoDisplayList = streamError(platform::kStreamErrorNoDisplayList, "The display server is gone.");
const PlatformError kOutputRefused = streamError(platform::kStreamErrorInternal, "No more outputs.");

INSTANTIATE_TEST_SUITE_P(
    Start, EarlyRefusalTest,
    ::testing::Values(
        EarlyRefusal{"DisplayWithoutTargetID", Target::screen, {.destination = kMainFile}, {},
                     Error::noTargetProvided()},
        EarlyRefusal{"WindowWithoutTargetID", Target::window, {.destination = kMainFile}, {},
                     Error::noTargetProvided()},
        EarlyRefusal{"PhoneWithoutTargetID", Target::lumbra, {.destination = kMainFile}, {},
                     Error::noTargetProvided()},
        EarlyRefusal{"PermissionDeclined", Target::screen, displayRecording(),
                     [](EngineTest& t) {
                         t.fake().failures().failAlways(FakeOperation::shareableContentFetch,
                                                        platform::fake::userDeclinedError());
                     },
                     Error::noPermissions()},
        EarlyRefusal{"ContentUnavailable", Target::screen, displayRecording(),
                     [](EngineTest& t) {
                         t.fake().failures().failAlways(FakeOperation::shareableContentFetch, kNoDisplayList);
                     },
                     Error::couldNotStartStream(kNoDisplayList)},
        EarlyRefusal{"DisplayIDWithALeadingZero", Target::screen, {.destination = kMainFile, .targetID = "01"}, {},
                     Error::targetNotFound("01")},
        EarlyRefusal{"DisplayIDWithASpace", Target::screen, {.destination = kMainFile, .targetID = " 1"}, {},
                     Error::targetNotFound(" 1")},
        EarlyRefusal{"UnknownWindow", Target::window, {.destination = kMainFile, .targetID = "99"}, {},
                     Error::targetNotFound("99")},
        EarlyRefusal{"AudioOnlyWithoutDisplays", Target::audioOnly, {.destination = "main.m4a", .targetID = kDisplay},
                     [](EngineTest& t) { t.content().setDisplays({}); },
                     Error::noDisplaysConnected()},
        EarlyRefusal{"StreamRefusesAnOutput", Target::screen, displayRecording(),
                     [](EngineTest& t) { t.fake().failures().failNext(FakeOperation::streamAddOutput, kOutputRefused); },
                     Error::couldNotStartStream(kOutputRefused)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Failures of the output set-up: cleaned up, reported once through onError, then thrown.

struct SetUpFailure {
    const char* name;
    Target target;
    RecordingOptions options = displayRecording();
    std::function<void(EngineTest&)> arrange;
    Error expected;
};

class SetUpFailureTest : public EngineTest, public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(SetUpFailureTest, CallsOnErrorOnceWithTheErrorItThrows) {
    const auto& c = GetParam();
    if (c.arrange) c.arrange(*this);
    auto failure = failureOf([&] { start(c.target, c.options); });
    ASSERT_TRUE(failure);
    expectSameError(*failure, c.expected);
    auto reported = events().errorList();
    ASSERT_EQ(reported.size(), 1u);
    expectSameError(reported.front(), *failure);

    // Cleaned up: no capture session left running or half configured, no file begun.
    for (const auto& session : sessions().sessions()) {
        EXPECT_FALSE(session->isRunning());
        EXPECT_EQ(session->openConfigurations(), 0);
    }
    for (const auto& w : writers().writers()) EXPECT_NE(w->status(), platform::AssetWriterStatus::writing);
    EXPECT_FALSE(recorder().isPaused());
    // A stream whose capture never started is not stopped.
    if (c.target != Target::lumbra) {
        EXPECT_EQ(stream()->stopCount(), 0);
    }

    // A new start on the same recorder is allowed.
    fake().failures().clear(FakeOperation::streamStartCapture);
    start(Target::screen, {.destination = "again.mp4", .targetID = kDisplay});
    EXPECT_NE(writer("again.mp4"), nullptr);
}

const PlatformError kCannotOpen("AVFoundationErrorDomain", -11814, "Cannot open the device.");
const PlatformError kCannotCreate("AVFoundationErrorDomain", -11823, "Cannot create the file.");
const PlatformError kCannotStart = streamError(platform::kStreamErrorInternal, "Capture did not start.");
const PlatformError kRefused("Fake", 1, "refused");

RecordingOptions withMicrophone(RecordingOptions o = displayRecording()) {
    o.microphoneDeviceID = kMicrophone;
    o.micDestination = "mic.m4a";
    return o;
}
RecordingOptions withSystemAudio(RecordingOptions o = displayRecording()) {
    o.recordSystemAudio = true;
    o.sysDestination = "sys.m4a";
    return o;
}
RecordingOptions withWebcam(RecordingOptions o = displayRecording()) {
    o.webcamDeviceID = kCamera;
    o.webcamDestination = "cam.mp4";
    return o;
}
RecordingOptions phone() { return {.destination = kMainFile, .targetID = kPhone}; }

auto refuseInputsOf(const char* path) {
    return [path](EngineTest& t) {
        t.writers().setScript(path, platform::fake::FakeAssetWriterScript().fail(FakeOperation::assetWriterAddInput));
    };
}
auto failNext(FakeOperation operation, int passing = 0) {
    return [operation, passing](EngineTest& t) { t.fake().failures().failNextAfter(operation, passing, kRefused); };
}

INSTANTIATE_TEST_SUITE_P(
    FileExtensions, SetUpFailureTest,
    ::testing::Values(
        SetUpFailure{"MainWithoutExtension", Target::screen, {.destination = "recording", .targetID = kDisplay}, {},
                     Error::unsupportedFileExtension("", false)},
        SetUpFailure{"MainInCapitals", Target::screen, {.destination = "main.MP4", .targetID = kDisplay}, {},
                     Error::unsupportedFileExtension("MP4", false)},
        SetUpFailure{"AudioOnlyMainNotM4A", Target::audioOnly, {.destination = "main.mp4", .targetID = kDisplay}, {},
                     Error::unsupportedFileExtension("mp4", true)},
        SetUpFailure{"ProRes422InMP4", Target::screen,
                     {.destination = "main.mp4", .targetID = kDisplay, .videoCodec = VideoCodec::proRes422}, {},
                     Error::invalidFileExtension("mp4", "proRes422")},
        SetUpFailure{"ProRes4444InM4V", Target::screen,
                     {.destination = "main.m4v", .targetID = kDisplay, .videoCodec = VideoCodec::proRes4444}, {},
                     Error::invalidFileExtension("m4v", "proRes4444")},
        SetUpFailure{"WebcamProResInMP4", Target::screen,
                     withWebcam({.destination = "main.mov", .targetID = kDisplay, .videoCodec = VideoCodec::proRes422}),
                     {},
                     Error::invalidFileExtension("mp4", "proRes422")},
        SetUpFailure{"WebcamOfAudioOnlyNotM4A", Target::audioOnly,
                     withWebcam({.destination = "main.m4a", .targetID = kDisplay}), {},
                     Error::unsupportedFileExtension("mp4", true)},
        SetUpFailure{"WebcamUnknownExtension", Target::screen,
                     [] { auto o = withWebcam(); o.webcamDestination = "cam.avi"; return o; }(), {},
                     Error::unsupportedFileExtension("avi", false)},
        SetUpFailure{"SystemAudioNotM4A", Target::screen,
                     [] { auto o = withSystemAudio(); o.sysDestination = "sys.wav"; return o; }(), {},
                     Error::unsupportedFileExtension("wav", true)},
        SetUpFailure{"MicrophoneNotM4A", Target::screen,
                     [] { auto o = withMicrophone(); o.micDestination = "mic.mp4"; return o; }(), {},
                     Error::unsupportedFileExtension("mp4", true)},
        // The system would cut such a name at the NUL: no file kind takes it.
        SetUpFailure{"MainWithANul", Target::screen,
                     {.destination = std::string("nul\0byte.mp4", 12), .targetID = kDisplay}, {},
                     Error::unsupportedFileExtension("", false)},
        SetUpFailure{"MicrophoneWithANul", Target::screen,
                     [] { auto o = withMicrophone(); o.micDestination = std::string("mic\0.m4a", 8); return o; }(), {},
                     Error::unsupportedFileExtension("", true)},
        SetUpFailure{"WebcamWithANul", Target::screen,
                     [] { auto o = withWebcam(); o.webcamDestination = std::string("cam.mp4\0.mp4", 12); return o; }(),
                     {}, Error::unsupportedFileExtension("", false)}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RefusedInputs, SetUpFailureTest,
    ::testing::Values(
        SetUpFailure{"SystemAudioWriterInput", Target::screen, withSystemAudio(), refuseInputsOf("sys.m4a"),
                     Error::couldNotStartStream(Error::couldNotAddInput("systemAudio"))},
        SetUpFailure{"MicrophoneWriterInput", Target::screen, withMicrophone(), refuseInputsOf("mic.m4a"),
                     Error::couldNotStartStream(Error::couldNotAddInput("microphone"))},
        SetUpFailure{"MicrophoneCaptureInput", Target::screen, withMicrophone(),
                     failNext(FakeOperation::captureSessionAddInput), Error::couldNotAddInput("microphoneCaptureInput")},
        SetUpFailure{"MicrophoneCaptureOutput", Target::screen, withMicrophone(),
                     failNext(FakeOperation::captureSessionAddOutput), Error::couldNotAddInput("microphoneCaptureOutput")},
        SetUpFailure{"PhoneCaptureInput", Target::lumbra, phone(),
                     failNext(FakeOperation::captureSessionAddInput), Error::couldNotAddInput("lumbraCaptureInput")},
        SetUpFailure{"PhoneVideoOutput", Target::lumbra, phone(),
                     failNext(FakeOperation::captureSessionAddOutput), Error::couldNotAddInput("lumbraVideoOutput")},
        SetUpFailure{"PhoneAudioOutput", Target::lumbra, phone(),
                     failNext(FakeOperation::captureSessionAddOutput, 1), Error::couldNotAddInput("lumbraAudioOutput")},
        SetUpFailure{"WebcamCaptureInput", Target::screen, withWebcam(),
                     failNext(FakeOperation::captureSessionAddInput), Error::couldNotAddInput("webcamCaptureInput")},
        SetUpFailure{"WebcamCaptureOutput", Target::screen, withWebcam(),
                     failNext(FakeOperation::captureSessionAddOutput), Error::couldNotAddInput("webcamCaptureOutput")}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Devices, SetUpFailureTest,
    ::testing::Values(
        SetUpFailure{"UnknownMicrophone", Target::screen,
                     [] { auto o = withMicrophone(); o.microphoneDeviceID = "mic-9"; return o; }(), {},
                     Error::microphoneNotFound("mic-9")},
        SetUpFailure{"MicrophoneWithoutFormats", Target::screen,
                     [] { auto o = withMicrophone(); o.microphoneDeviceID = "mic-bare"; return o; }(),
                     [](EngineTest& t) {
                         t.devices().setDevices({microphone("mic-bare", platform::CaptureDeviceType::microphone, {})});
                     },
                     Error::microphoneNotFound("mic-bare")},
        SetUpFailure{"MicrophoneWithoutChannelLayout", Target::screen,
                     [] { auto o = withMicrophone(); o.microphoneDeviceID = "mic-nolayout"; return o; }(),
                     [](EngineTest& t) {
                         t.devices().setDevices(
                             {microphone("mic-nolayout", platform::CaptureDeviceType::microphone, {{}})});
                     },
                     Error::microphoneNotFound("mic-nolayout")},
        SetUpFailure{"UnknownWebcam", Target::screen,
                     [] { auto o = withWebcam(); o.webcamDeviceID = "cam-9"; return o; }(), {},
                     Error::webcamNotFound("cam-9")},
        SetUpFailure{"PhoneNotAttached", Target::lumbra, {.destination = kMainFile, .targetID = "phone-9"}, {},
                     Error::targetNotFound("phone-9")},
        SetUpFailure{"DeviceCannotBeOpened", Target::screen, withMicrophone(),
                     [](EngineTest& t) {
                         t.fake().failures().failNext(FakeOperation::captureSessionsMakeDeviceInput, kCannotOpen);
                     },
                     Error::couldNotStartStream(kCannotOpen)},
        SetUpFailure{"FileCannotBeCreated", Target::screen, displayRecording(),
                     [](EngineTest& t) {
                         t.writers().setScript("main.mp4", platform::fake::FakeAssetWriterScript().fail(
                                                               FakeOperation::assetWritersMakeWriter, kCannotCreate));
                     },
                     Error::couldNotStartStream(kCannotCreate)},
        SetUpFailure{"StreamDoesNotStart", Target::screen, withMicrophone(),
                     [](EngineTest& t) { t.fake().failures().failNext(FakeOperation::streamStartCapture, kCannotStart); },
                     Error::couldNotStartStream(kCannotStart)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Start times.

TEST_F(RecorderTest, OnStartOnceForTheFirstSegmentAndOnResumeOncePerResumedSegment) {
    const int64_t before = nowMs();
    start(Target::screen, displayRecording());
    EXPECT_EQ(events().count(&Events::starts), 0u) << "no sample yet";
    screenFrame(0);
    screenFrame(33);
    ASSERT_EQ(events().count(&Events::starts), 1u);
    {
        std::lock_guard guard(events().mutex);
        EXPECT_GE(events().starts.front(), before);
        EXPECT_LE(events().starts.front(), nowMs());
    }

    int64_t t = 100;
    for (int segment = 1; segment <= 2; ++segment) {
        recorder().pause();
        EXPECT_TRUE(recorder().isPaused());
        t = resumeWithFrames(Target::screen,
                             {.destination = "main-" + std::to_string(segment) + ".mp4", .targetID = kDisplay}, t);
        EXPECT_FALSE(recorder().isPaused());
        screenFrame(t += 10);
        EXPECT_EQ(events().count(&Events::resumes), static_cast<size_t>(segment));
    }
    EXPECT_EQ(events().count(&Events::starts), 1u);
}

TEST_F(RecorderTest, OnStartFiresWhenTheFirstSampleComesBeforeStartReturns) {
    size_t startsDuringStart = 0;
    streams().setOnStartCapture([&](platform::fake::FakeStream& s) {
        s.deliver(StreamOutputType::screen, platform::fake::makeVideoSample(64, 48, ms(0)));
        ASSERT_TRUE(fake().samples().waitUntilHandled());
        startsDuringStart = events().count(&Events::starts);
    });
    start(Target::screen, displayRecording());
    EXPECT_EQ(startsDuringStart, 1u);
    EXPECT_EQ(events().count(&Events::starts), 1u);
}

TEST_F(RecorderTest, AFailedStreamIsReportedOnceAndStopThrowsTheStoredError) {
    start(Target::screen, withMicrophone());
    captureAudio(kMicrophone, 0);
    screenFrame(0);
    screenFrame(10);
    captureAudio(kMicrophone, 10);
    const PlatformError cause = streamError(platform::kStreamErrorInternal, "The stream stopped.");
    stream()->stopWithError(cause);
    const Error expected = Error::unknown(cause);
    auto reported = events().errorList();
    ASSERT_EQ(reported.size(), 1u);
    expectSameError(reported.front(), expected);
    EXPECT_EQ(expected.localizedDescription(), "An unknown error has occurred: The stream stopped.");

    // The files are finished in the background.
    EXPECT_TRUE(eventually([&] {
        return writer("main.mp4")->status() == platform::AssetWriterStatus::completed &&
               writer("mic.m4a")->status() == platform::AssetWriterStatus::completed;
    }));
    for (int i = 0; i < 2; ++i) {
        auto failure = failureOf([&] { recorder().stop(); });
        ASSERT_TRUE(failure);
        expectSameError(*failure, expected);
    }
    EXPECT_EQ(events().finishes.size(), 0u);
    EXPECT_EQ(writer("main.mp4")->finishWritingCalls(), 1);
}

TEST_F(RecorderTest, OnErrorAssignedDuringARecordingReachesTheSession) {
    start(Target::screen, displayRecording());
    std::vector<std::string> late;
    recorder().setOnError([&](const Error& error) { late.push_back(error.localizedDescription()); });
    stream()->stopWithError(streamError(platform::kStreamErrorInternal, "gone"));
    EXPECT_EQ(late, std::vector<std::string>{"An unknown error has occurred: gone"});
    EXPECT_TRUE(events().errorList().empty());
    EXPECT_TRUE(eventually([&] { return stream()->stopCount() == 1; }));
}

} // namespace
} // namespace engine_test
