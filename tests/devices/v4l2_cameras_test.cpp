// Camera listing of the Linux backend against a scripted V4L2 kernel: the test
// machines have no cameras.

#include "Dovezode/Devices.h"

#include "platform/linux/linux_capture_devices.h"
#include "platform/linux/v4l2_cameras.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <linux/videodev2.h>
#include <map>

namespace {

using platform::linux_backend::V4l2System;

struct FakeNode {
    std::string card;
    std::string busInfo;
    uint32_t deviceCaps = 0;
    bool reportsDeviceCaps = true;
    std::vector<std::pair<uint32_t, std::vector<platform::VideoDimensions>>> formats;  // pixel format, sizes
    bool opens = true;
};

class FakeKernel final : public V4l2System {
public:
    std::map<std::string, FakeNode> nodes;
    std::vector<std::pair<std::string, std::string>> persistentNames;
    int openCount = 0;

    std::vector<std::string> videoNodes() override {
        std::vector<std::string> paths;
        for (const auto& [path, node] : nodes) paths.push_back(path);
        return paths;
    }
    std::vector<std::pair<std::string, std::string>> byIdNames() override { return persistentNames; }

    int open(const std::string& path, int) override {
        auto found = nodes.find(path);
        if (found == nodes.end() || !found->second.opens) return fail(ENOENT);
        ++openCount;
        openFds_[nextFd_] = path;
        return nextFd_++;
    }

    int close(int fd) override {
        if (!openFds_.erase(fd)) return fail(EBADF);
        --openCount;
        return 0;
    }

    int ioctl(int fd, unsigned long request, void* argument) override {
        auto open = openFds_.find(fd);
        if (open == openFds_.end()) return fail(EBADF);
        const FakeNode& node = nodes.at(open->second);
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* capability = static_cast<v4l2_capability*>(argument);
            *capability = {};
            std::memcpy(capability->driver, "uvcvideo", 9);
            // A name of the full field width carries no terminating zero.
            std::memcpy(capability->card, node.card.data(), std::min(node.card.size(), sizeof capability->card));
            std::memcpy(capability->bus_info, node.busInfo.data(), std::min(node.busInfo.size(), sizeof capability->bus_info));
            capability->device_caps = node.deviceCaps;
            capability->capabilities = node.deviceCaps | (node.reportsDeviceCaps ? V4L2_CAP_DEVICE_CAPS : 0);
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* description = static_cast<v4l2_fmtdesc*>(argument);
            if (description->index >= node.formats.size()) return fail(EINVAL);
            description->pixelformat = node.formats[description->index].first;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* size = static_cast<v4l2_frmsizeenum*>(argument);
            for (const auto& [format, sizes] : node.formats) {
                if (format != size->pixel_format) continue;
                if (size->index >= sizes.size()) return fail(EINVAL);
                size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size->discrete.width = uint32_t(sizes[size->index].width);
                size->discrete.height = uint32_t(sizes[size->index].height);
                return 0;
            }
            return fail(EINVAL);
        }
        default:
            return fail(ENOTTY);
        }
    }

private:
    static int fail(int error) {
        errno = error;
        return -1;
    }
    std::map<int, std::string> openFds_;
    int nextFd_ = 3;
};

const std::string kLongCardName = "HD Pro Webcam C920 with a name t";  // 32 characters

std::shared_ptr<FakeKernel> laptopWithTwoCameras() {
    auto kernel = std::make_shared<FakeKernel>();
    kernel->nodes["/dev/video0"] = {kLongCardName, "usb-0000:00:14.0-1", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING,
                                    true, {{V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 720}}}, {V4L2_PIX_FMT_MJPEG, {{1280, 720}, {1920, 1080}}}}};
    // The camera's metadata node, and a second capture node of the same camera.
    kernel->nodes["/dev/video1"] = {kLongCardName, "usb-0000:00:14.0-1", V4L2_CAP_META_CAPTURE, true, {}};
    kernel->nodes["/dev/video2"] = {kLongCardName, "usb-0000:00:14.0-1", V4L2_CAP_VIDEO_CAPTURE, true, {}};
    // A codec without capture, a loopback output, a node that cannot be opened.
    kernel->nodes["/dev/video3"] = {"bcm2835-codec", "platform:bcm2835-codec", V4L2_CAP_VIDEO_M2M, true, {}};
    kernel->nodes["/dev/video4"] = {"Loopback", "platform:v4l2loopback-000", V4L2_CAP_VIDEO_OUTPUT, true, {}};
    kernel->nodes["/dev/video5"] = {"Busy", "usb-busy", V4L2_CAP_VIDEO_CAPTURE, true, {}};
    kernel->nodes["/dev/video5"].opens = false;
    // An older driver without per-node capabilities, a multi-planar camera without a by-id name.
    kernel->nodes["/dev/video6"] = {"Integrated Camera", "usb-0000:00:14.0-7", V4L2_CAP_VIDEO_CAPTURE, false, {}};
    kernel->nodes["/dev/video7"] = {"mipi-camera", "platform:mipi", V4L2_CAP_VIDEO_CAPTURE_MPLANE, true, {}};
    kernel->persistentNames = {{"usb-046d_HD_Pro_Webcam_C920_A1B2C3-video-index0", "/dev/video0"},
                               {"usb-046d_HD_Pro_Webcam_C920_A1B2C3-video-index1", "/dev/video1"},
                               {"usb-Chicony_Integrated_Camera-video-index0", "/dev/video6"}};
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
    EXPECT_EQ(kernel->openCount, 0) << "every opened node is closed again";
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
    FakeKernel kernel;
    EXPECT_TRUE(platform::linux_backend::listV4l2Cameras(kernel).empty());
}

} // namespace
