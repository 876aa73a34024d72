// The program's command loop, in this process, recording a private X server and a
// scripted V4L2 camera (the test machines have none), with the real writer: a camera
// that stops delivering fails the recording once and leaves a readable file, and a
// recording takes the camera from the webcam preview whatever the main queue is doing.

#include "captured_output.h"
#include "fake_v4l2_kernel.h"
#include "main_queue_thread.h"
#include "media_tools.h"
#include "private_servers.h"
#include "temporary_directory.h"

#include "Tavrik/InteractiveMode.h"
#include "Tavrik/LineSource.h"
#include "Tavrik/Output.h"
#include "Tavrik/ProcessExit.h"
#include "Tavrik/SignalHandling.h"

#include "Dovezode/WebcamPreviewWindow.h"

#include "platform/linux/linux_capture_devices.h"
#include "platform/linux/linux_capture_sessions.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/x_preview_windows.h"
#include "platform/queues.h"

#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

using namespace std::chrono_literals;
using test_support::FakeV4l2Kernel;
using tavrik::Json;

constexpr const char* kSig = "pqwdnzruvb83617x92h5k4tc";

class CameraRecording : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(display_.started());
        ASSERT_FALSE(folder_.path().empty());
        kernel_ = FakeV4l2Kernel::withCamera({{V4L2_PIX_FMT_YUYV, {{320, 240}}}}, {200, 60, 30});
        linux_ = platform::linux_backend::makeLinuxPlatform();
        linux_->captureDevices = platform::linux_backend::makeLinuxCaptureDevices(kernel_);
        linux_->captureSessions = platform::linux_backend::makeLinuxCaptureSessions(kernel_);
        linux_->previewWindows = platform::linux_backend::makeXPreviewWindows(linux_->captureSessions);
        platform::install(linux_);
        mainQueue_ = std::make_unique<test_support::MainQueueThread>([] { WebcamPreviewWindow::hide(); });
        tavrik::setOutput(output_);
        tavrik::setExitAction([this] { ++exits_; });
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        input_ = fdopen(ends[0], "r");
        writeEnd_ = ends[1];
        loop_ = std::thread([this] {
            tavrik::StreamLineSource source(input_);
            tavrik::InteractiveMode(source, *linux_).run();
        });
        ASSERT_TRUE(output_->waitForEvent("ready"));
    }

    void TearDown() override {
        if (loop_.joinable()) {
            send("quit");  // stops a recording that still runs
            ::close(writeEnd_);
            loop_.join();
            std::fclose(input_);
        }
        tavrik::SignalHandling::releaseKept();
        tavrik::setOutput(nullptr);
        tavrik::setExitAction({});
        mainQueue_.reset();
    }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(writeEnd_, text.data(), text.size()), ssize_t(text.size()));
    }

    // Waits until the loop has handled everything sent so far: an unknown word's answer.
    void settle() {
        const std::string marker = "marker" + std::to_string(++markers_);
        send(marker);
        ASSERT_TRUE(output_->waitFor([&](const Json& e) {
            return e.is_object() && e.value("message", "") == "Unknown command: " + marker;
        }));
    }

    std::string startLine() const {
        Json request = {{"sig", kSig},
                        {"outputPath", folder_.file("screen.mp4")},
                        {"webcamID", FakeV4l2Kernel::kCameraUniqueID},
                        {"webcamOutputPath", folder_.file("camera.mp4")}};
        return "start " + request.dump();
    }

    // The events of a name (and code, when given) so far.
    std::vector<Json> events(const std::string& name, const std::string& code = "") const {
        std::vector<Json> found;
        for (const auto& e : output_->events()) {
            if (!e.is_object() || e.value("event", "") != name) continue;
            if (!code.empty() && e.value("code", "") != code) continue;
            found.push_back(e);
        }
        return found;
    }
    std::vector<Json> errorsOtherThanMarkers() const {
        std::vector<Json> found;
        for (const auto& e : events("error")) {
            if (e.value("code", "") != "INVALID_COMMAND") found.push_back(e);
        }
        return found;
    }

    // How many frames ffprobe decodes from the file's first stream, read to its end.
    static long framesReadToTheEnd(const std::string& path) {
        auto probed = test_support::ffprobe(path, {"-count_frames"});
        if (!probed.is_object() || !probed.contains("streams") || probed["streams"].empty()) return -1;
        return std::stol(probed["streams"][0].value("nb_read_frames", "-1"));
    }

    test_support::PrivateXServer display_;
    test_support::TemporaryDirectory folder_;
    std::shared_ptr<FakeV4l2Kernel> kernel_;
    std::shared_ptr<platform::Platform> linux_;
    std::unique_ptr<test_support::MainQueueThread> mainQueue_;
    std::shared_ptr<test_support::CapturedOutput> output_ = std::make_shared<test_support::CapturedOutput>();
    std::atomic<int> exits_{0};
    std::FILE* input_ = nullptr;
    int writeEnd_ = -1;
    std::thread loop_;
    int markers_ = 0;
};

struct LossCase {
    const char* name;
    void (FakeV4l2Kernel::*act)(const std::string&);
    const char* reason;
};

void PrintTo(const LossCase& c, std::ostream* out) { *out << c.name; }

class CameraLoss : public CameraRecording, public ::testing::WithParamInterface<LossCase> {};

TEST_P(CameraLoss, FailsTheRecordingOnceNamingTheCameraAndItsFileStaysReadable) {
    send(startLine());
    ASSERT_TRUE(output_->waitForEvent("started"));
    // A second of recording with camera frames.
    std::this_thread::sleep_for(1s);
    (*kernel_.*GetParam().act)(FakeV4l2Kernel::kCameraNode);
    // The stall limit of 2 s, then generous room for a busy machine.
    auto lost = output_->waitFor([](const Json& e) { return e.is_object() && e.value("code", "") == "RECORDING_ERROR"; });
    ASSERT_TRUE(lost) << "the camera's end is not reported";
    EXPECT_EQ((*lost)["message"], std::string("An unknown error has occurred: The camera \"Fake Camera\" (") +
                                      FakeV4l2Kernel::kCameraUniqueID + ") stopped delivering: " + GetParam().reason +
                                      ".");
    // The recording is over, and nothing more is told about it.
    send("stop");
    settle();
    auto errors = errorsOtherThanMarkers();
    ASSERT_EQ(errors.size(), 2u) << Json(errors).dump();
    EXPECT_EQ(errors[1]["code"], "NO_RECORDING");
    EXPECT_TRUE(events("finish").empty());
    // Both files were finished: they read to their ends, with the frames before the loss.
    EXPECT_GT(framesReadToTheEnd(folder_.file("camera.mp4")), 0);
    EXPECT_GT(framesReadToTheEnd(folder_.file("screen.mp4")), 0);
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraLoss,
                         ::testing::Values(LossCase{"Stalled", &FakeV4l2Kernel::stallFrames, "no frame for 2 seconds"},
                                           LossCase{"Unplugged", &FakeV4l2Kernel::unplug,
                                                    "its driver failed (No such device)"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A camera streams to one session at a time; with some drivers only one may open it.
class CameraHandOver : public CameraRecording, public ::testing::WithParamInterface<bool> {};

TEST_P(CameraHandOver, ARecordingTakesTheCameraFromThePreviewWhateverTheMainQueueIsDoing) {
    kernel_->setOneOpenAtATime(GetParam());
    send("preview " + Json({{"webcamID", FakeV4l2Kernel::kCameraUniqueID}}).dump());
    settle();
    ASSERT_TRUE(kernel_->streaming()) << "the preview shows the camera";
    // The main queue, which shows the recording's camera in the preview window, is busy
    // as the start runs: the start must not rely on it having let the preview's session
    // go. (This moment is what the test sets, so it is a fixed pause.)
    platform::mainQueue()->async([] { std::this_thread::sleep_for(300ms); });
    send(startLine());
    ASSERT_TRUE(output_->waitFor([](const Json& e) {
        if (!e.is_object()) return false;
        return e.value("event", "") == "started" || (e.value("event", "") == "error" && e.value("code", "") != "INVALID_COMMAND");
    }));
    ASSERT_EQ(events("started").size(), 1u) << Json(errorsOtherThanMarkers()).dump();
    std::this_thread::sleep_for(1s);
    send("stop");
    auto finish = output_->waitForEvent("finish");
    ASSERT_TRUE(finish);
    EXPECT_TRUE((*finish)["message"]["cam"].is_number()) << *finish;
    EXPECT_TRUE(errorsOtherThanMarkers().empty()) << Json(errorsOtherThanMarkers()).dump();
    EXPECT_GT(framesReadToTheEnd(folder_.file("camera.mp4")), 0);
}

INSTANTIATE_TEST_SUITE_P(Drivers, CameraHandOver, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OneOpenAtATime" : "OneStreamingAtATime"; });

} // namespace
