#pragma once
// A scripted V4L2 kernel behind the Linux backend's system-call seam: the test
// machines have no cameras. A test adds device nodes with what each one answers
// (capabilities, names, pixel formats with their frame sizes and intervals,
// whether it opens) and their persistent by-id names. A capture node streams
// memory-mapped frames, each a solid picture of the node's colour in the format
// set (YUYV or MJPEG), one every 10 ms, until the test stalls or unplugs it.

#include "platform/linux/v4l2_cameras.h"

#include <linux/videodev2.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct FakeV4l2Size {
    uint32_t width = 0;
    uint32_t height = 0;
};

// One pixel format of a node: its discrete frame sizes, and the discrete frame
// intervals (seconds per frame) it offers at each of them.
struct FakeV4l2Format {
    uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;  // a streaming node sends V4L2_PIX_FMT_YUYV or V4L2_PIX_FMT_MJPEG
    std::vector<FakeV4l2Size> sizes;
    std::vector<v4l2_fract> intervals = {{1, 30}};
};

struct FakeCameraColour {
    uint8_t red = 128;
    uint8_t green = 128;
    uint8_t blue = 128;
};

struct FakeV4l2Node {
    std::string card = "Fake Camera";  // a name of the full field width is sent without its terminating zero
    std::string busInfo = "usb-fake-1";
    std::string driver = "uvcvideo";
    uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    // False for an older driver: no per-node capabilities, only those of the whole device.
    bool reportsDeviceCaps = true;
    std::vector<FakeV4l2Format> formats = {};
    int openError = 0;  // the errno of every open of the node; 0: it opens
    FakeCameraColour colour = {};  // of every frame the node streams
};

class FakeV4l2Kernel final : public platform::linux_backend::V4l2System {
public:
    static constexpr const char* kCameraNode = "/dev/video0";
    static constexpr const char* kCameraUniqueID = "usb-Fake_Camera-video-index0";

    // A kernel with one camera at kCameraNode, named kCameraUniqueID under /dev/v4l/by-id.
    static std::shared_ptr<FakeV4l2Kernel> withCamera(std::vector<FakeV4l2Format> formats, FakeCameraColour colour);

    // Adds the node at the path ("/dev/videoN"), replacing one already there.
    void addNode(const std::string& path, FakeV4l2Node node);
    // A persistent name under /dev/v4l/by-id that resolves to the node at the path.
    void addByIdName(const std::string& name, const std::string& path);
    // Opens (of any node) that succeed before the kernel refuses them with EBUSY, as a
    // camera another program took; negative: every open succeeds.
    void setOpensAllowed(int opens);
    // Whether an open of a node that a descriptor holds open fails with EBUSY, as with
    // drivers that let one program at a time open the camera. Off by default: as with
    // uvcvideo, any number may open it, and the one streaming refuses the others'
    // format and buffer requests (EBUSY).
    void setOneOpenAtATime(bool exclusive);
    // The node goes on streaming but sends no frame any more, as a camera that hangs.
    void stallFrames(const std::string& path = kCameraNode);
    // The camera is unplugged, as uvcvideo then answers: a wait for a frame returns at
    // once (POLLERR), and every ioctl and open of the node fails with ENODEV.
    void unplug(const std::string& path = kCameraNode);
    // The next wait for a frame, of any node, fails with EINTR, as poll does when a
    // signal handler runs on the waiting thread.
    void interruptNextWait();

    // What the node was set to, and how things ended.
    uint32_t chosenFormat(const std::string& path = kCameraNode) const;
    FakeV4l2Size chosenSize(const std::string& path = kCameraNode) const;
    bool streaming(const std::string& path = kCameraNode) const;
    // Of every node.
    int openDescriptors() const;
    int mappedBuffers() const;

    std::vector<std::string> videoNodes() override;
    std::vector<std::pair<std::string, std::string>> byIdNames() override;
    int open(const std::string& path, int flags) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    int close(int fd) override;
    void* mmap(size_t length, int protection, int flags, int fd, long offset) override;
    int munmap(void* address, size_t length) override;
    int poll(int fd, short events, int timeoutMilliseconds) override;

private:
    struct Node {
        FakeV4l2Node script;
        uint32_t format = 0;
        FakeV4l2Size size;
        std::vector<std::vector<uint8_t>> buffers;
        std::vector<bool> queued;
        bool streaming = false;
        bool stalled = false;
        bool unplugged = false;
        uint64_t sequence = 0;
        std::vector<uint8_t> frame;  // the encoded picture for the format and size set
    };

    Node* nodeOf(int fd);  // caller holds mutex_; null for a descriptor that is not open
    int captureIoctl(Node& node, unsigned long request, void* argument);  // caller holds mutex_

    mutable std::mutex mutex_;  // guards everything below
    std::map<std::string, Node> nodes_;
    std::vector<std::pair<std::string, std::string>> byIdNames_;
    std::map<int, std::string> open_;  // descriptor, node path
    int nextFd_ = 20;
    int opensAllowed_ = -1;
    bool oneOpenAtATime_ = false;
    bool interruptNextWait_ = false;
    int mapped_ = 0;
};

} // namespace test_support
