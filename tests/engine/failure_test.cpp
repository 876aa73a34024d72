// Recordings that fail: capture sessions that do not start, devices that go away,
// a writer that fails while writing, settings the encoder cannot use, a resumed
// segment whose source never delivers. Each ends within a few seconds with the
// error told to the caller or to onError, leaves no empty file behind and leaves
// the recorder able to go on (or to start again).

#include "engine_fixture.h"

#include <chrono>
#include <future>

namespace engine_test {
namespace {

using platform::AssetWriterStatus;
using platform::PlatformError;
using platform::fake::FakeOperation;

class FailureTest;

RecordingOptions withFiles(int n, bool microphone, RecordingOptions o = displayRecording()) {
    o.destination = "main-" + std::to_string(n) + ".mp4";
    if (microphone) {
        o.microphoneDeviceID = kMicrophone;
        o.micDestination = "mic-" + std::to_string(n) + ".m4a";
    }
    return o;
}

// The text of what the call threw: an engine error's message or a platform error's
// description; empty when it returned.
std::string thrownBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.localizedDescription();
    } catch (const PlatformError& error) {
        return error.localizedDescription();
    }
    return "";
}

struct Scenario {
    const char* name;
    // Brings the recording to its failure; gives what the failing call threw.
    std::function<std::string(FailureTest&)> act;
    // Part of the thrown text; empty when the failure is only told to onError.
    std::string thrown;
    // Part of the message of each error told to onError, and how many there are.
    std::string reported;
    size_t reportedCount;
    // Files that must not be on disk afterwards, and files that must be.
    std::vector<std::string> gone;
    std::vector<std::string> kept;
    // What must still work afterwards.
    std::function<void(FailureTest&)> then;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class FailureTest : public EngineTest, public ::testing::WithParamInterface<Scenario> {
public:
    // Screen and microphone samples until both files are written.
    void record(int64_t fromMs, bool microphone = true) {
        for (int64_t t = fromMs; t < fromMs + 50; t += 10) {
            screenFrame(t);
            if (microphone) captureAudio(kMicrophone, t + 1);
        }
    }
    std::shared_ptr<platform::fake::FakeCaptureSession> microphoneSession() { return sessions().sessionFor(kMicrophone); }
    bool fileExists(const std::string& path) { return writers().fileExists(path); }
    // Resumes while delivering screen frames and, with `microphone`, microphone samples.
    std::string resumeWith(const RecordingOptions& options, int64_t fromMs, bool microphone) {
        return thrownBy([&] {
            resumeDelivering(Target::screen, options, fromMs, [&](int64_t t) {
                screenFrame(t);
                if (microphone) captureAudio(kMicrophone, t + 1);
            });
        });
    }
};

const PlatformError kLost(platform::kCaptureErrorDomain, platform::kCaptureErrorDeviceNotConnected,
                          "The microphone \"Microphone mic-1\" (mic-1) stopped delivering: it was unplugged.");
const PlatformError kCannotStart(platform::kCaptureErrorDomain, platform::kCaptureErrorUnknown,
                                 "The microphone \"Microphone mic-1\" (mic-1) cannot be captured: busy.");

const Scenario kScenarios[] = {
    {"a capture session that does not start fails the start",
     [](FailureTest& t) {
         t.fake().failures().failNext(FakeOperation::captureSessionStartRunning, kCannotStart);
         return thrownBy([&] { t.start(Target::screen, withFiles(1, true)); });
     },
     "Could not start recording: The microphone \"Microphone mic-1\" (mic-1) cannot be captured: busy.",
     "cannot be captured: busy", 1, {"main-1.mp4", "mic-1.m4a"}, {},
     [](FailureTest& t) {
         // The same files can be recorded at once.
         t.start(Target::screen, withFiles(1, true));
         t.record(0);
         EXPECT_TRUE(t.fileExists("mic-1.m4a"));
     }},
    {"a capture session that does not start fails the resume",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, false));
         t.record(0, false);
         t.recorder().pause();
         t.fake().failures().failNext(FakeOperation::captureSessionStartRunning, kCannotStart);
         return thrownBy([&] { t.resume(Target::screen, withFiles(2, true)); });
     },
     "cannot be captured: busy", "", 0, {"main-2.mp4", "mic-2.m4a"}, {"main-1.mp4"},
     [](FailureTest& t) {
         EXPECT_TRUE(t.recorder().isPaused());
         EXPECT_EQ(t.resumeWith(withFiles(2, true), 100, true), "");
         t.record(1000);
         EXPECT_TRUE(t.fileExists("mic-2.m4a"));
     }},
    {"a microphone whose set-up failed is set up afresh at the next resume",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, false));
         t.record(0, false);
         t.recorder().pause();
         t.fake().failures().failNext(FakeOperation::captureSessionsMakeDeviceInput, kCannotStart);
         return thrownBy([&] { t.resume(Target::screen, withFiles(2, true)); });
     },
     "cannot be captured: busy", "", 0, {"main-2.mp4", "mic-2.m4a"}, {"main-1.mp4"},
     [](FailureTest& t) {
         EXPECT_EQ(t.resumeWith(withFiles(2, true), 100, true), "");
         EXPECT_EQ(t.microphoneSession()->inputs().size(), 1u);
         t.record(1000);
         EXPECT_TRUE(t.fileExists("mic-2.m4a"));
     }},
    {"system audio asked for only at a resume is refused at once",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, false));
         t.record(0, false);
         t.recorder().pause();
         RecordingOptions o = withFiles(2, false);
         o.recordSystemAudio = true;
         o.sysDestination = "sys-2.m4a";
         return thrownBy([&] { t.resume(Target::screen, o); });
     },
     "Could not start recording: Could not add systemAudio input.", "", 0, {"main-2.mp4", "sys-2.m4a"},
     {"main-1.mp4"},
     [](FailureTest& t) {
         EXPECT_TRUE(t.recorder().isPaused());
         EXPECT_EQ(t.resumeWith(withFiles(2, false), 100, false), "");
     }},
    {"a resumed segment whose microphone never delivers is refused within seconds",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, true));
         t.record(0);
         t.recorder().pause();
         return t.resumeWith(withFiles(2, true), 100, false);
     },
     "Could not start recording: Nothing came from the microphone within 4 seconds.", "", 0,
     {"main-2.mp4", "mic-2.m4a"}, {"main-1.mp4", "mic-1.m4a"},
     [](FailureTest& t) {
         EXPECT_TRUE(t.recorder().isPaused());
         EXPECT_EQ(t.resumeWith(withFiles(2, true), 5000, true), "");
     }},
    {"a microphone lost while recording fails the recording and its files are finished",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, true));
         t.record(0);
         t.microphoneSession()->loseDevice(kLost);
         return std::string();
     },
     "", "An unknown error has occurred: The microphone \"Microphone mic-1\" (mic-1) stopped delivering", 1, {},
     {"main-1.mp4", "mic-1.m4a"},
     [](FailureTest& t) {
         EXPECT_TRUE(eventually([&] {
             return t.writer("main-1.mp4")->status() == AssetWriterStatus::completed &&
                    t.writer("mic-1.m4a")->status() == AssetWriterStatus::completed;
         }));
         EXPECT_NE(thrownBy([&] { t.recorder().stop(); }).find("stopped delivering"), std::string::npos);
     }},
    {"a microphone lost while paused makes the resume fail at once, before anything is restarted or made",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, true));
         t.record(0);
         t.recorder().pause();
         t.microphoneSession()->loseDevice(kLost);
         const size_t writers = t.writers().writers().size();
         const int starts = t.microphoneSession()->startCount();
         auto thrown = thrownBy([&] { t.resume(Target::screen, withFiles(2, true)); });
         EXPECT_EQ(t.writers().writers().size(), writers);
         EXPECT_EQ(t.microphoneSession()->startCount(), starts);
         return thrown;
     },
     "stopped delivering: it was unplugged.", "stopped delivering", 1, {"main-2.mp4", "mic-2.m4a"},
     {"main-1.mp4", "mic-1.m4a"}, {}},
    {"a writer that fails while writing is reported with its file and the other files are finished",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, true));
         t.record(0);
         t.writer("main-1.mp4")->failWriting(
             PlatformError("AssetWriterErrorDomain", 28, "Cannot write to main-1.mp4: No space left on device"));
         t.screenFrame(100);
         return std::string();
     },
     "", "An unknown error has occurred: Cannot write to main-1.mp4: No space left on device", 1, {},
     {"main-1.mp4", "mic-1.m4a"},
     [](FailureTest& t) {
         EXPECT_TRUE(eventually([&] { return t.writer("mic-1.m4a")->status() == AssetWriterStatus::completed; }));
         EXPECT_EQ(t.writer("main-1.mp4")->finishWritingCalls(), 1);
         // The microphone file ends where the failed one does, not when the failure was noticed.
         ASSERT_TRUE(t.writer("main-1.mp4")->failedAt());
         EXPECT_EQ(t.writer("mic-1.m4a")->sessionEndTime(), t.writer("main-1.mp4")->failedAt());
     }},
    {"files failing one after the other on a full disk, and the device lost with them, are told once",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, true));
         t.record(0);
         for (const char* path : {"mic-1.m4a", "main-1.mp4"}) {
             t.writer(path)->failWriting(PlatformError("AssetWriterErrorDomain", 28,
                                                       std::string("Cannot write to ") + path +
                                                           ": No space left on device"));
         }
         t.captureAudio(kMicrophone, 100);
         t.screenFrame(100);
         t.microphoneSession()->loseDevice(kLost);
         return std::string();
     },
     "", "No space left on device", 1, {}, {"main-1.mp4", "mic-1.m4a"},
     [](FailureTest& t) {
         EXPECT_NE(thrownBy([&] { t.recorder().stop(); }).find("No space left on device"), std::string::npos);
         EXPECT_EQ(t.events().errorList().size(), 1u);
     }},
    {"a writer that fails as it starts fails the recording, naming its file",
     [](FailureTest& t) {
         t.writers().setScript("mic-1.m4a", platform::fake::FakeAssetWriterScript().fail(
                                                FakeOperation::assetWriterStartWriting,
                                                PlatformError("AssetWriterErrorDomain", 17,
                                                              "Cannot write the file at mic-1.m4a: it was "
                                                              "replaced by another file")));
         t.start(Target::screen, withFiles(1, true));
         t.record(0);
         return std::string();
     },
     "", "Cannot write the file at mic-1.m4a", 1, {"mic-1.m4a"}, {},
     [](FailureTest& t) {
         EXPECT_NE(thrownBy([&] { t.recorder().stop(); }).find("mic-1.m4a"), std::string::npos);
     }},
    {"a negative microphone bit rate is refused at the start",
     [](FailureTest& t) {
         RecordingOptions o = withFiles(1, true);
         o.microphoneAudioQuality = {48000, -1};
         return thrownBy([&] { t.start(Target::screen, o); });
     },
     "Could not start recording: Could not add microphone input.", "Could not add microphone input.", 1,
     {"main-1.mp4", "mic-1.m4a"}, {}, {}},
    {"a microphone bit rate of 1 is refused at the start",
     [](FailureTest& t) {
         RecordingOptions o = withFiles(1, true);
         o.microphoneAudioQuality = {48000, 1};
         return thrownBy([&] { t.start(Target::screen, o); });
     },
     "Could not start recording: Could not add microphone input.", "Could not add microphone input.", 1,
     {"main-1.mp4", "mic-1.m4a"}, {},
     [](FailureTest& t) { EXPECT_EQ(thrownBy([&] { t.start(Target::screen, withFiles(1, true)); }), ""); }},
    {"a stream that fails while the start runs fails the start, and the recorder can start again",
     [](FailureTest& t) {
         t.streams().setOnStartCapture([](platform::fake::FakeStream& stream) {
             stream.stopWithError(PlatformError(platform::kStreamErrorDomain, platform::kStreamErrorInternal,
                                                "The stream stopped."));
         });
         return thrownBy([&] { t.start(Target::screen, withFiles(1, true)); });
     },
     "An unknown error has occurred: The stream stopped.", "The stream stopped.", 1, {"main-1.mp4", "mic-1.m4a"},
     {},
     [](FailureTest& t) {
         EXPECT_FALSE(t.recorder().hasFailed());
         t.streams().setOnStartCapture({});
         EXPECT_EQ(thrownBy([&] { t.start(Target::screen, withFiles(1, true)); }), "");
         t.record(0);
     }},
    {"a resume after the stream failed throws the stored error before it restarts or makes anything",
     [](FailureTest& t) {
         t.start(Target::screen, withFiles(1, true));
         t.record(0);
         t.recorder().pause();
         t.stream()->stopWithError(
             PlatformError(platform::kStreamErrorDomain, platform::kStreamErrorInternal, "The stream stopped."));
         const size_t writers = t.writers().writers().size();
         const size_t sessionCount = t.sessions().sessions().size();
         auto thrown = thrownBy([&] { t.resume(Target::screen, withFiles(2, true)); });
         EXPECT_EQ(t.writers().writers().size(), writers);
         EXPECT_EQ(t.sessions().sessions().size(), sessionCount);
         EXPECT_TRUE(t.recorder().hasFailed());
         return thrown;
     },
     "An unknown error has occurred: The stream stopped.", "The stream stopped.", 1, {"main-2.mp4", "mic-2.m4a"},
     {"main-1.mp4", "mic-1.m4a"}, {}},
};

TEST_P(FailureTest, EndsWithinSecondsWithTheErrorToldAndNoEmptyFile) {
    const Scenario& scenario = GetParam();
    auto failing = std::async(std::launch::async, [&] { return scenario.act(*this); });
    // Every scenario ends on its own: the longest waits out the four seconds a resume
    // gives its segment; the rest is slack for a loaded machine.
    ASSERT_EQ(failing.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "hangs";
    const std::string thrown = failing.get();

    if (scenario.thrown.empty()) {
        EXPECT_EQ(thrown, "");
    } else {
        EXPECT_NE(thrown.find(scenario.thrown), std::string::npos) << thrown;
    }
    EXPECT_TRUE(eventually([&] { return events().errorList().size() >= scenario.reportedCount; }));
    auto reported = events().errorList();
    ASSERT_EQ(reported.size(), scenario.reportedCount);
    for (const auto& error : reported) {
        EXPECT_NE(error.localizedDescription().find(scenario.reported), std::string::npos)
            << error.localizedDescription();
    }
    // The clean-up of a failed recording runs in the background.
    EXPECT_TRUE(eventually([&] {
        for (const auto& path : scenario.gone) {
            if (fileExists(path)) return false;
        }
        return true;
    })) << "a file of the failed step is left behind";
    for (const auto& path : scenario.kept) EXPECT_TRUE(fileExists(path)) << path;
    if (scenario.then) scenario.then(*this);
}

INSTANTIATE_TEST_SUITE_P(Failures, FailureTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                                 else if (*c == ' ' && !name.empty()) name += '_';
                             }
                             return name.substr(0, 60) + "_" + std::to_string(info.index);
                         });

} // namespace
} // namespace engine_test
