#pragma once
// A scripted V4L2 kernel with one camera that streams memory-mapped frames: each
// frame a solid picture in the camera's format, one every few milliseconds.

#include "platform/linux/v4l2_cameras.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace capture_test {

struct FakeCameraFormat {
    uint32_t pixelFormat;  // V4L2_PIX_FMT_YUYV or V4L2_PIX_FMT_MJPEG
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
};

class FakeCameraKernel final : public platform::linux_backend::V4l2System {
public:
    static constexpr const char* kNode = "/dev/video0";
    static constexpr const char* kUniqueID = "usb-Fake_Camera-video-index0";

    FakeCameraKernel(std::vector<FakeCameraFormat> formats, uint8_t red, uint8_t green, uint8_t blue);

    std::vector<std::string> videoNodes() override { return {kNode}; }
    std::vector<std::pair<std::string, std::string>> byIdNames() override { return {{kUniqueID, kNode}}; }
    int open(const std::string& path, int flags) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    int close(int fd) override;
    void* mmap(size_t length, int protection, int flags, int fd, long offset) override;
    int munmap(void* address, size_t length) override;
    int poll(int fd, short events, int timeoutMilliseconds) override;

    // Opens that succeed before the camera refuses (EBUSY); negative: all succeed.
    int opensAllowed = -1;
    // What the camera was set to, and how things ended.
    uint32_t chosenFormat() const;
    std::pair<uint32_t, uint32_t> chosenSize() const;
    int openDescriptors() const;
    int mappedBuffers() const;
    bool streaming() const;

private:
    std::vector<uint8_t> frameBytes() const;
    static int fail(int error);

    const std::vector<FakeCameraFormat> formats_;
    const uint8_t red_, green_, blue_;
    mutable std::mutex mutex_;  // guards everything below
    std::map<int, bool> open_;
    int nextFd_ = 20;
    uint32_t format_ = 0;
    uint32_t width_ = 0, height_ = 0;
    std::vector<std::vector<uint8_t>> buffers_;
    std::vector<bool> queued_;
    int mapped_ = 0;
    bool streaming_ = false;
    uint64_t sequence_ = 0;
    std::vector<uint8_t> frame_;  // the encoded picture for the current format and size
};

} // namespace capture_test
