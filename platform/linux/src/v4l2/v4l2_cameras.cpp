#include "platform/linux/v4l2_cameras.h"

#include "common/utf8_text.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace platform::linux_backend {
namespace {

// Bounds the enumerations against drivers that never report their end.
constexpr uint32_t kMaximumEnumerations = 256;
constexpr uint32_t kVideoCaptureCapabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE;

template <size_t N>
std::string fixedText(const uint8_t (&field)[N]) {
    const char* text = reinterpret_cast<const char*>(field);
    return validUtf8(std::string(text, strnlen(text, N)));
}

class OpenNode {
public:
    OpenNode(V4l2System& system, const std::string& path)
        : system_(system), fd_(system.open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
    ~OpenNode() {
        if (fd_ >= 0) system_.close(fd_);
    }
    OpenNode(const OpenNode&) = delete;
    OpenNode& operator=(const OpenNode&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    bool ask(unsigned long request, void* argument) { return system_.ioctl(fd_, request, argument) == 0; }

private:
    V4l2System& system_;
    int fd_;
};

std::vector<VideoDimensions> frameSizes(OpenNode& node, uint32_t pixelFormat) {
    std::vector<VideoDimensions> sizes;
    for (uint32_t index = 0; index < kMaximumEnumerations; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = pixelFormat;
        if (!node.ask(VIDIOC_ENUM_FRAMESIZES, &size)) break;
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.push_back({int32_t(size.discrete.width), int32_t(size.discrete.height)});
        } else {
            // A stepwise or continuous range: its largest size stands for it.
            sizes.push_back({int32_t(size.stepwise.max_width), int32_t(size.stepwise.max_height)});
            break;
        }
    }
    return sizes;
}

std::vector<CaptureDeviceFormat> formats(OpenNode& node, uint32_t capabilities) {
    uint32_t bufferType = (capabilities & V4L2_CAP_VIDEO_CAPTURE) ? V4L2_BUF_TYPE_VIDEO_CAPTURE
                                                                  : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    std::vector<CaptureDeviceFormat> result;
    for (uint32_t index = 0; index < kMaximumEnumerations; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = bufferType;
        if (!node.ask(VIDIOC_ENUM_FMT, &description)) break;
        for (const auto& size : frameSizes(node, description.pixelformat)) {
            CaptureDeviceFormat format{std::nullopt, size};
            if (std::find(result.begin(), result.end(), format) == result.end()) result.push_back(format);
        }
    }
    return result;
}

std::string byIdName(const std::vector<std::pair<std::string, std::string>>& names, const std::string& node) {
    for (const auto& [name, target] : names) {
        if (target == node) return name;
    }
    return {};
}

struct ListedCamera {
    std::string node;
    CaptureDevice device;
};

std::vector<ListedCamera> listCameras(V4l2System& system);

} // namespace

std::vector<CaptureDevice> listV4l2Cameras(V4l2System& system) {
    std::vector<CaptureDevice> cameras;
    for (auto& listed : listCameras(system)) cameras.push_back(std::move(listed.device));
    return cameras;
}

std::optional<std::string> v4l2CameraNode(V4l2System& system, const std::string& uniqueID) {
    for (auto& listed : listCameras(system)) {
        if (listed.device.uniqueID == uniqueID) return listed.node;
    }
    return std::nullopt;
}

namespace {

std::vector<ListedCamera> listCameras(V4l2System& system) {
    auto persistentNames = system.byIdNames();
    std::set<std::string> camerasSeen;
    std::vector<ListedCamera> cameras;
    for (const auto& path : system.videoNodes()) {
        OpenNode node(system, path);
        if (!node.isOpen()) continue;
        v4l2_capability capability{};
        if (!node.ask(VIDIOC_QUERYCAP, &capability)) continue;
        uint32_t capabilities =
            (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
        if (!(capabilities & kVideoCaptureCapabilities)) continue;

        std::string card = fixedText(capability.card);
        std::string bus = fixedText(capability.bus_info);
        // The nodes of one camera share its card and bus; the first capturing node stands for it.
        if (!bus.empty() && !camerasSeen.insert(card + '\n' + bus).second) continue;

        CaptureDevice camera;
        camera.uniqueID = byIdName(persistentNames, path);
        if (camera.uniqueID.empty()) camera.uniqueID = bus.empty() ? path : bus;
        camera.localizedName = card;
        camera.modelID = fixedText(capability.driver);
        // Linux tells built-in and plugged-in cameras apart nowhere: every camera is of the plain camera type.
        camera.deviceType = CaptureDeviceType::builtInWideAngleCamera;
        camera.mediaTypes = {MediaType::video};
        camera.formats = formats(node, capabilities);
        if (!camera.formats.empty()) camera.activeFormat = 0;
        cameras.push_back({path, std::move(camera)});
    }
    return cameras;
}

} // namespace
} // namespace platform::linux_backend
