#pragma once
// Cameras: V4L2 device nodes that capture video. The system calls go through a
// thin interface so that tests can put a scripted kernel behind them.

#include "platform/capture_devices.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::linux_backend {

class V4l2System {
public:
    virtual ~V4l2System() = default;
    // The video device nodes ("/dev/video0", ...) in the order of their numbers.
    virtual std::vector<std::string> videoNodes() = 0;
    // The persistent names under /dev/v4l/by-id with the node each one resolves to.
    virtual std::vector<std::pair<std::string, std::string>> byIdNames() = 0;
    // As the system calls: -1 with errno set on failure.
    virtual int open(const std::string& path, int flags) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual int close(int fd) = 0;
    // Streaming I/O for capture. The defaults fail with ENOSYS, for kernels that only list.
    virtual void* mmap(size_t length, int protection, int flags, int fd, long offset);
    virtual int munmap(void* address, size_t length);
    // Waits until the descriptor has one of the events, as poll() for one descriptor.
    virtual int poll(int fd, short events, int timeoutMilliseconds);
};

// The running kernel.
std::shared_ptr<V4l2System> kernelV4l2System();

// One device per physical camera, in node order. Nodes that cannot capture video
// (metadata, output, codec nodes) and further nodes of a camera already listed are
// skipped. Unique ID: the by-id name, else the bus information, else the node path.
std::vector<CaptureDevice> listV4l2Cameras(V4l2System& system);
// The device node of the camera the listing gives this unique ID; nullopt when there is none.
std::optional<std::string> v4l2CameraNode(V4l2System& system, const std::string& uniqueID);

} // namespace platform::linux_backend
