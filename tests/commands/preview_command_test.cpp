// The "preview" command in the interactive loop over the fake platform: its
// decoding, the microphone before the webcam, its refusals, the stop of both
// without an argument, and how it meets a recording.

#include "eventually.h"
#include "loop_harness.h"
#include "main_queue_thread.h"

#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/fake/fake_devices.h"
#include "platform/fake/fake_preview_window.h"
#include "platform/queues.h"

#include <gtest/gtest.h>

#include <thread>

using commands_test::LoopHarness;
using test_support::eventually;
using tavrik::Json;

namespace {

constexpr const char* kMicrophone = "mic-1";
constexpr const char* kCamera = "cam-1";

class PreviewLoop {
public:
    PreviewLoop() {
        platform::CaptureDevice microphone;
        microphone.uniqueID = kMicrophone;
        microphone.deviceType = platform::CaptureDeviceType::microphone;
        microphone.mediaTypes = {platform::MediaType::audio};
        microphone.formats = {{2u, std::nullopt}};
        platform::CaptureDevice camera;
        camera.uniqueID = kCamera;
        camera.deviceType = platform::CaptureDeviceType::builtInWideAngleCamera;
        camera.mediaTypes = {platform::MediaType::video};
        camera.formats = {{std::nullopt, platform::VideoDimensions{1280, 720}}};
        camera.activeFormat = 0;
        platform::fake::fakeDevices(*loop.fake().platform()).setDevices({microphone, camera});
        loop.run();
    }
    ~PreviewLoop() { loop.endInput(); }

    platform::fake::FakeCaptureSessions& sessions() { return platform::fake::fakeCaptureSessions(*loop.fake().platform()); }
    platform::fake::FakePreviewWindows& windows() { return platform::fake::fakePreviewWindows(*loop.fake().platform()); }
    // The newest session of the device, or null.
    std::shared_ptr<platform::fake::FakeCaptureSession> sessionOf(const std::string& deviceID) {
        auto all = sessions().sessions();
        for (auto session = all.rbegin(); session != all.rend(); ++session) {
            for (const auto& input : (*session)->inputs()) {
                if (input->device().uniqueID == deviceID) return *session;
            }
        }
        return nullptr;
    }
    bool running(const std::string& deviceID) {
        auto session = sessionOf(deviceID);
        return session && session->isRunning();
    }
    bool windowUp() {
        bool up = false;
        platform::mainQueue()->sync([&] { up = WebcamPreviewWindow::shared() != nullptr; });
        return up;
    }
    void send(const std::string& line) {
        loop.send(line);
        loop.settle();
    }

    // Serves the main queue, where the preview window lives; outlives the loop, whose
    // last commands may wait for it.
    test_support::MainQueueThread mainQueue{[] { WebcamPreviewWindow::hide(); }};
    LoopHarness loop;
};

std::vector<std::pair<std::string, std::string>> errors(const std::vector<Json>& events) {
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& e : events) {
        if (e.value("event", "") == "error") result.emplace_back(e.value("message", ""), e.value("code", ""));
    }
    return result;
}

} // namespace

TEST(PreviewCommand, RequestsAndTheirAnswers) {
    struct Case {
        const char* name;
        std::string line;
        std::vector<std::pair<std::string, std::string>> expected;
        bool microphone, webcam;
    };
    const Case cases[] = {
        {"both devices", R"(preview {"microphoneID":"mic-1","webcamID":"cam-1","previewMode":"rounded"})", {}, true, true},
        {"microphone only", R"(preview {"microphoneID":"mic-1"})", {}, true, false},
        {"unknown camera, good microphone", R"(preview {"microphoneID":"mic-1","webcamID":"nope"})",
         {{"webcam", "PREVIEW_ERROR"}}, true, false},
        {"neither device exists", R"(preview {"microphoneID":"nope","webcamID":"nope"})",
         {{"microphone", "PREVIEW_ERROR"}, {"webcam", "PREVIEW_ERROR"}}, false, false},
        {"no argument stops both", "preview", {}, false, false},
        {"text that is no JSON", "preview {oops", {{"Invalid JSON config", "INVALID_CONFIG"}}, false, false},
        {"a shape in capitals", R"(preview {"webcamID":"cam-1","previewMode":"Rounded"})",
         {{"Invalid JSON config", "INVALID_CONFIG"}}, false, false},
        {"an identifier that is a number", R"(preview {"microphoneID":7})", {{"Invalid JSON config", "INVALID_CONFIG"}},
         false, false},
        {"a top level that is no object", "preview []", {{"Invalid JSON config", "INVALID_CONFIG"}}, false, false},
        {"null values are absent", R"(preview {"microphoneID":null,"webcamID":null,"previewMode":null})", {}, false, false},
        {"extra keys are ignored", R"(preview {"webcamID":"cam-1","colour":"red"})", {}, false, true},
        {"word in capitals", R"(PREVIEW {"microphoneID":"mic-1"})", {}, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PreviewLoop preview;
        preview.send(c.line);
        EXPECT_EQ(errors(preview.loop.events()), c.expected);
        EXPECT_EQ(preview.running(kMicrophone), c.microphone);
        EXPECT_EQ(preview.running(kCamera), c.webcam);
        EXPECT_EQ(preview.windowUp(), c.webcam);
    }
}

TEST(PreviewCommand, OneRequestStatesTheWholePreviewState) {
    PreviewLoop preview;
    preview.send(R"(preview {"microphoneID":"mic-1","webcamID":"cam-1"})");
    auto microphone = preview.sessionOf(kMicrophone);
    auto camera = preview.sessionOf(kCamera);
    ASSERT_TRUE(microphone && camera);

    // Kept: the same sessions, on the one recorder that the first request made.
    preview.send(R"(preview {"microphoneID":"mic-1","webcamID":"cam-1","previewMode":"square"})");
    EXPECT_EQ(preview.sessions().sessions().size(), 2u);
    EXPECT_EQ(preview.windows().windows().size(), 1u);
    EXPECT_EQ(preview.windows().last()->style().size, (platform::Size{200, 112.5})) << "a running preview keeps its shape";

    // The webcam left out: stopped and the window hidden; the microphone goes on.
    preview.send(R"(preview {"microphoneID":"mic-1"})");
    EXPECT_TRUE(microphone->isRunning());
    EXPECT_FALSE(camera->isRunning());
    EXPECT_FALSE(preview.windowUp());

    preview.send("preview {}");
    EXPECT_FALSE(microphone->isRunning());
    EXPECT_TRUE(preview.loop.events().empty());
}

TEST(PreviewCommand, StartAfterPreviewLeavesTheWindowUpAndEndsTheOldMicrophone) {
    PreviewLoop preview;
    preview.send(R"(preview {"microphoneID":"mic-1","webcamID":"cam-1","previewMode":"rounded"})");
    auto microphone = preview.sessionOf(kMicrophone);
    auto camera = preview.sessionOf(kCamera);
    auto window = preview.windows().last();

    preview.send(LoopHarness::startRequest("/tmp/preview-start.mp4"));
    EXPECT_TRUE(preview.windowUp()) << "a start leaves the preview window on screen";
    EXPECT_TRUE(window->onScreen());
    EXPECT_EQ(window->session(), camera) << "the window holds the old recorder's camera";
    EXPECT_FALSE(microphone->isRunning()) << "the dropped recorder's microphone preview ends with it";

    preview.loop.deliverFrame(0);
    preview.loop.output().waitForEvent("started");
    preview.send("stop");
    preview.loop.output().waitForEvent("finish");
    // The hiding is queued on the main queue; it takes a turn or two of it.
    EXPECT_TRUE(eventually([&] { return !preview.windowUp(); })) << "the end of the recording hides the window";
}

TEST(PreviewCommand, DuringARecordingActsOnTheRecordingsRecorder) {
    PreviewLoop preview;
    preview.send(LoopHarness::startRequest("/tmp/preview-during.mp4"));
    preview.send(R"(preview {"microphoneID":"mic-1","webcamID":"cam-1"})");
    EXPECT_TRUE(preview.running(kMicrophone));
    EXPECT_TRUE(preview.windowUp());

    preview.send("preview");
    EXPECT_FALSE(preview.running(kMicrophone));
    EXPECT_FALSE(preview.windowUp());

    // The recording itself goes on and stops as usual.
    preview.loop.deliverFrame(0);
    preview.loop.output().waitForEvent("started");
    preview.send("stop");
    EXPECT_TRUE(preview.loop.output().waitForEvent("finish"));
    EXPECT_TRUE(errors(preview.loop.events()).empty());
}
