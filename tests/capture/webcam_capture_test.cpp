// Webcam capture sessions of the Linux backend through a scripted V4L2 kernel (the
// test machines have no cameras): the mode a preset picks, YUYV and MJPEG frames
// decoded to BGRA of the right colour, stopping, cameras that cannot be opened, and
// cameras that stop delivering while they stream.

#include "capture_support.h"
#include "fake_v4l2_kernel.h"

#include "platform/capture_devices.h"
#include "platform/capture_session.h"
#include "platform/linux/linux_capture_sessions.h"
#include "platform/linux/v4l2_cameras.h"

#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <future>
#include <thread>

namespace {

using namespace test_support;
using platform::SampleBufferRef;

constexpr Colour kCameraColour{200, 60, 30};

// What a frame showed. Frames are not kept: the camera's frame memory is bounded,
// and a consumer holding every frame would (rightly) starve it.
struct SeenFrame {
    platform::FourCharCode pixelFormat = 0;
    int32_t width = 0, height = 0;
    std::optional<platform::VideoDimensions> formatDimensions;
    Colour topLeft, bottomRight;
    platform::MediaTime pts;
};

class VideoDelegate final : public platform::CaptureSampleDelegate {
public:
    void captureOutputDidOutput(platform::CaptureOutput&, const SampleBufferRef& sample) override {
        SeenFrame seen;
        if (const auto& pixels = sample->pixels()) {
            seen.pixelFormat = pixels->pixelFormat;
            seen.width = pixels->width;
            seen.height = pixels->height;
            seen.topLeft = pixelAt(*pixels, 0, 0);
            seen.bottomRight = pixelAt(*pixels, pixels->width - 1, pixels->height - 1);
        }
        if (sample->formatDescription()) seen.formatDimensions = sample->formatDescription()->dimensions;
        seen.pts = sample->presentationTimeStamp();
        std::lock_guard guard(mutex_);
        frames_.push_back(seen);
        added_.notify_all();
    }
    bool waitForFrames(size_t count) {
        std::unique_lock lock(mutex_);
        // Thirty seconds: decoding is slow under a sanitizer and on a busy machine.
        return added_.wait_for(lock, std::chrono::seconds(30), [&] { return frames_.size() >= count; });
    }
    std::vector<SeenFrame> frames() const {
        std::lock_guard guard(mutex_);
        return frames_;
    }

private:
    mutable std::mutex mutex_;  // guards frames_
    std::condition_variable added_;
    std::vector<SeenFrame> frames_;
};

struct WebcamCase {
    const char* name;
    std::vector<FakeV4l2Format> formats;
    std::optional<std::string> preset;
    uint32_t expectedFormat;
    int32_t expectedWidth, expectedHeight;
};

class WebcamSession : public ::testing::TestWithParam<WebcamCase> {
protected:
    platform::CaptureDevice camera(FakeV4l2Kernel& kernel) {
        auto cameras = platform::linux_backend::listV4l2Cameras(kernel);
        EXPECT_EQ(cameras.size(), 1u);
        return cameras.at(0);
    }
};

TEST_P(WebcamSession, DeliversBgraFramesOfTheClosestSizeInTheCameraColour) {
    const WebcamCase& c = GetParam();
    auto kernel = FakeV4l2Kernel::withCamera(c.formats, {kCameraColour.red, kCameraColour.green, kCameraColour.blue});
    auto sessions = platform::linux_backend::makeLinuxCaptureSessions(kernel);
    auto session = sessions->makeSession();
    auto input = sessions->makeDeviceInput(camera(*kernel));
    EXPECT_EQ(kernel->openDescriptors(), 1) << "making the input opens the camera";
    session->beginConfiguration();
    ASSERT_TRUE(session->canAddInput(input));
    session->addInput(input);
    if (c.preset) {
        ASSERT_TRUE(session->canSetSessionPreset(*c.preset));
        session->setSessionPreset(*c.preset);
    }
    auto output = sessions->makeVideoDataOutput();
    auto delegate = std::make_shared<VideoDelegate>();
    output->setSampleBufferDelegate(delegate, platform::makeSerialQueue("webcamQueue"));
    ASSERT_TRUE(session->canAddOutput(output));
    session->addOutput(output);
    session->commitConfiguration();
    session->startRunning();
    ASSERT_TRUE(session->isRunning());
    ASSERT_TRUE(delegate->waitForFrames(5));
    session->stopRunning();
    EXPECT_FALSE(session->isRunning());
    EXPECT_FALSE(kernel->streaming());
    EXPECT_EQ(kernel->mappedBuffers(), 0);

    EXPECT_EQ(kernel->chosenFormat(), c.expectedFormat);
    auto frames = delegate->frames();
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto& frame = frames[i];
        EXPECT_EQ(frame.pixelFormat, platform::pixel_format::bgra);
        EXPECT_EQ(frame.width, c.expectedWidth);
        EXPECT_EQ(frame.height, c.expectedHeight);
        EXPECT_EQ(frame.formatDimensions, (platform::VideoDimensions{c.expectedWidth, c.expectedHeight}));
        EXPECT_TRUE(near(frame.topLeft, kCameraColour, 8));
        EXPECT_TRUE(near(frame.bottomRight, kCameraColour, 8));
        EXPECT_EQ(frame.pts.timescale, 1'000'000'000);
        if (i > 0) {
            EXPECT_GT(frame.pts, frames[i - 1].pts);
        }
    }
    size_t atStop = frames.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(delegate->frames().size(), atStop) << "nothing arrives once stopRunning has returned";
    input.reset();
    session.reset();
    EXPECT_EQ(kernel->openDescriptors(), 0) << "the camera is closed with its input";
}

const std::vector<FakeV4l2Format> kYuyvCamera = {{V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 720}, {320, 240}}}};
const std::vector<FakeV4l2Format> kMjpegCamera = {{V4L2_PIX_FMT_MJPEG, {{320, 240}, {1920, 1080}}}};
const std::vector<FakeV4l2Format> kBothCamera = {{V4L2_PIX_FMT_YUYV, {{640, 480}}},
                                                 {V4L2_PIX_FMT_MJPEG, {{640, 480}, {800, 600}}}};

INSTANTIATE_TEST_SUITE_P(
    Cameras, WebcamSession,
    ::testing::Values(
        WebcamCase{"YuyvPreset720p", kYuyvCamera, platform::session_preset::hd1280x720, V4L2_PIX_FMT_YUYV, 1280, 720},
        // No preset, or "high": the largest size.
        WebcamCase{"YuyvNoPreset", kYuyvCamera, std::nullopt, V4L2_PIX_FMT_YUYV, 1280, 720},
        // A camera that cannot do 4K gives its closest size, without an error.
        WebcamCase{"Yuyv4KOnA720pCamera", kYuyvCamera, platform::session_preset::uhd3840x2160, V4L2_PIX_FMT_YUYV, 1280, 720},
        WebcamCase{"MjpegPreset720pIsClosestTo1080p", kMjpegCamera, platform::session_preset::hd1280x720,
                   V4L2_PIX_FMT_MJPEG, 1920, 1080},
        WebcamCase{"MjpegHigh", kMjpegCamera, platform::session_preset::high, V4L2_PIX_FMT_MJPEG, 1920, 1080},
        // At the same size MJPEG is taken over YUYV.
        WebcamCase{"BothFormatsPreferMjpeg", kBothCamera, platform::session_preset::hd1280x720, V4L2_PIX_FMT_MJPEG, 800, 600}),
    [](const auto& info) { return std::string(info.param.name); });

// The fake kernel's camera in a capture session with a video output, not yet running.
struct LossCamera {
    std::shared_ptr<FakeV4l2Kernel> kernel = FakeV4l2Kernel::withCamera(kYuyvCamera, {1, 2, 3});
    std::shared_ptr<platform::CaptureSessionService> sessions = platform::linux_backend::makeLinuxCaptureSessions(kernel);
    std::shared_ptr<platform::CaptureSession> session = sessions->makeSession();
    std::shared_ptr<VideoDelegate> delegate = std::make_shared<VideoDelegate>();

    LossCamera() {
        session->addInput(sessions->makeDeviceInput(platform::linux_backend::listV4l2Cameras(*kernel).at(0)));
        auto output = sessions->makeVideoDataOutput();
        output->setSampleBufferDelegate(delegate, platform::makeSerialQueue("webcamQueue"));
        session->addOutput(output);
    }
};

TEST(WebcamLoss, ACameraThatStopsDeliveringIsReportedOnceNamingItAndWhy) {
    struct Case {
        const char* name;
        void (FakeV4l2Kernel::*act)(const std::string&);
        const char* reason;
    };
    const Case cases[] = {
        {"stalled", &FakeV4l2Kernel::stallFrames, "no frame for 2 seconds"},
        {"unplugged", &FakeV4l2Kernel::unplug, "its driver failed (No such device)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LossCamera camera;
        auto& [kernel, sessions, session, delegate] = camera;
        std::atomic<int> errors{0};
        std::promise<platform::PlatformError> reported;
        session->setRuntimeErrorHandler([&](const platform::PlatformError& error) {
            if (errors++ == 0) reported.set_value(error);
        });
        session->startRunning();
        ASSERT_TRUE(delegate->waitForFrames(3));
        (*kernel.*c.act)(FakeV4l2Kernel::kCameraNode);
        // The stall limit, then generous room for a busy machine.
        auto told = reported.get_future();
        ASSERT_EQ(told.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        auto error = told.get();
        EXPECT_EQ(error.domain(), platform::kCaptureErrorDomain);
        EXPECT_EQ(error.code(), platform::kCaptureErrorDeviceNotConnected);
        EXPECT_EQ(error.localizedDescription(), std::string("The camera \"Fake Camera\" (") +
                                                    FakeV4l2Kernel::kCameraUniqueID + ") stopped delivering: " +
                                                    c.reason + ".");
        EXPECT_FALSE(session->isRunning());
        session->stopRunning();
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(kernel->mappedBuffers(), 0);
    }
}

TEST(WebcamLoss, AWaitASignalInterruptedGoesOnWithoutALoss) {
    LossCamera camera;
    auto& [kernel, sessions, session, delegate] = camera;
    std::atomic<int> errors{0};
    session->setRuntimeErrorHandler([&](const platform::PlatformError&) { ++errors; });
    session->startRunning();
    ASSERT_TRUE(delegate->waitForFrames(3));
    kernel->interruptNextWait();
    const size_t before = delegate->frames().size();
    // Frames go on coming after the interrupted wait.
    ASSERT_TRUE(delegate->waitForFrames(before + 5));
    EXPECT_TRUE(session->isRunning());
    session->stopRunning();
    EXPECT_EQ(errors, 0);
}

TEST(WebcamInput, ACameraThatCannotBeOpenedOrIsNotThereThrows) {
    auto kernel = FakeV4l2Kernel::withCamera(kYuyvCamera, {1, 2, 3});
    auto sessions = platform::linux_backend::makeLinuxCaptureSessions(kernel);
    auto device = platform::linux_backend::listV4l2Cameras(*kernel).at(0);
    kernel->setOpensAllowed(1);  // the look-up of the node opens it, then the camera is busy
    try {
        sessions->makeDeviceInput(device);
        ADD_FAILURE() << "a busy camera gave an input";
    } catch (const platform::PlatformError& error) {
        EXPECT_EQ(error.domain(), platform::kCaptureErrorDomain);
        EXPECT_NE(error.localizedDescription().find("cannot be opened"), std::string::npos) << error.localizedDescription();
    }
    device.uniqueID = "usb-Unplugged_Camera";
    try {
        sessions->makeDeviceInput(device);
        ADD_FAILURE() << "a missing camera gave an input";
    } catch (const platform::PlatformError& error) {
        EXPECT_EQ(error.code(), platform::kCaptureErrorDeviceNotConnected);
    }
}

} // namespace
