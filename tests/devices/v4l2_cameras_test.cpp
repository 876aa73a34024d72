// Camera listing of the Linux backend against a scripted V4L2 kernel: the test
// machines have no cameras.

#include "Dovezode/Devices.h"

#include "fake_v4l2_kernel.h"

#include "platform/linux/linux_capture_devices.h"
#include "platform/linux/v4l2_cameras.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <linux/videodev2.h>

namespace {

using test_support::FakeV4l2Kernel;

const std::string kLongCardName = "HD Pro Webcam C920 with a name t";  // 32 characters

std::shared_ptr<FakeV4l2Kernel> laptopWithTwoCameras() {
    auto kernel = std::make_shared<FakeV4l2Kernel>();
    const std::string webcamBus = "usb-0000:00:14.0-1";
    kernel->addNode("/dev/video0", {.card = kLongCardName,
                                    .busInfo = webcamBus,
                                    .deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING,
                                    .formats = {{V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 720}}},
                                                {V4L2_PIX_FMT_MJPEG, {{1280, 720}, {1920, 1080}}}}});
    // The camera's metadata node, and a second capture node of the same camera.
    kernel->addNode("/dev/video1", {.card = kLongCardName, .busInfo = webcamBus, .deviceCaps = V4L2_CAP_META_CAPTURE});
    kernel->addNode("/dev/video2", {.card = kLongCardName, .busInfo = webcamBus, .deviceCaps = V4L2_CAP_VIDEO_CAPTURE});
    // A codec without capture, a loopback output, a node that cannot be opened.
    kernel->addNode("/dev/video3",
                    {.card = "bcm2835-codec", .busInfo = "platform:bcm2835-codec", .deviceCaps = V4L2_CAP_VIDEO_M2M});
    kernel->addNode("/dev/video4",
                    {.card = "Loopback", .busInfo = "platform:v4l2loopback-000", .deviceCaps = V4L2_CAP_VIDEO_OUTPUT});
    kernel->addNode("/dev/video5",
                    {.card = "Busy", .busInfo = "usb-busy", .deviceCaps = V4L2_CAP_VIDEO_CAPTURE, .openError = EBUSY});
    // An older driver without per-node capabilities, a multi-planar camera without a by-id name.
    kernel->addNode("/dev/video6", {.card = "Integrated Camera",
                                    .busInfo = "usb-0000:00:14.0-7",
                                    .deviceCaps = V4L2_CAP_VIDEO_CAPTURE,
                                    .reportsDeviceCaps = false});
    kernel->addNode("/dev/video7",
                    {.card = "mipi-camera", .busInfo = "platform:mipi", .deviceCaps = V4L2_CAP_VIDEO_CAPTURE_MPLANE});
    kernel->addByIdName("usb-046d_HD_Pro_Webcam_C920_A1B2C3-video-index0", "/dev/video0");
    kernel->addByIdName("usb-046d_HD_Pro_Webcam_C920_A1B2C3-video-index1", "/dev/video1");
    kernel->addByIdName("usb-Chicony_Integrated_Camera-video-index0", "/dev/video6");
    return kernel;
}

TEST(V4l2Cameras, OneDevicePerCameraThatCapturesVideoWithAStableId) {
    auto kernel = laptopWithTwoCameras();
    auto cameras = platform::linux_backend::listV4l2Cameras(*kernel);

    ASSERT_EQ(cameras.size(), 3u);
    EXPECT_EQ(cameras[0].uniqueID, "usb-046d_HD_Pro_Webcam_C920_A1B2C3-video-index0");
    EXPECT_EQ(cameras[0].localizedName, kLongCardName);
    EXPECT_EQ(cameras[0].deviceType, platform::CaptureDeviceType::builtInWideAngleCamera);
    EXPECT_EQ(cameras[0].mediaTypes, std::vector<platform::MediaType>{platform::MediaType::video});
    std::vector<platform::VideoDimensions> sizes;
    for (const auto& format : cameras[0].formats) sizes.push_back(format.videoDimensions.value());
    EXPECT_EQ(sizes, (std::vector<platform::VideoDimensions>{{640, 480}, {1280, 720}, {1920, 1080}}));
    EXPECT_EQ(cameras[1].uniqueID, "usb-Chicony_Integrated_Camera-video-index0");
    EXPECT_EQ(cameras[1].localizedName, "Integrated Camera");
    EXPECT_EQ(cameras[2].uniqueID, "platform:mipi");  // no by-id name: the bus information
    EXPECT_EQ(kernel->openDescriptors(), 0) << "every opened node is closed again";
}

TEST(V4l2Cameras, TheEngineListsThemAsWebcamsAndNotAsExternalDevices) {
    auto linuxPlatform = std::make_shared<platform::Platform>();
    auto kernel = laptopWithTwoCameras();
    linuxPlatform->captureDevices = platform::linux_backend::makeLinuxCaptureDevices(kernel);
    platform::install(linuxPlatform);

    auto webcams = Dovezode::Devices::webcams(platform::installed());
    ASSERT_EQ(webcams.size(), 3u);
    EXPECT_EQ(webcams[0], (Dovezode::Devices::Webcam{"usb-046d_HD_Pro_Webcam_C920_A1B2C3-video-index0", kLongCardName}));
    EXPECT_TRUE(Dovezode::Devices::iOS(platform::installed()).empty());
    auto camera = linuxPlatform->captureDevices->device("platform:mipi");
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->localizedName, "mipi-camera");
    EXPECT_TRUE(linuxPlatform->captureDevices->devicesWithMediaType(platform::MediaType::muxed).empty());
    platform::install(nullptr);
}

TEST(V4l2Cameras, AMachineWithoutCamerasListsNone) {
    FakeV4l2Kernel kernel;
    EXPECT_TRUE(platform::linux_backend::listV4l2Cameras(kernel).empty());
}

} // namespace
