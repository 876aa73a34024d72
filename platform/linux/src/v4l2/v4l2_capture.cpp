#include "v4l2/v4l2_capture.h"

#include "v4l2/camera_frame_decoder.h"
#include "common/frame_memory_pool.h"
#include "common/monotonic_clock.h"

#include "platform/capture_session.h"
#include "platform/error.h"

#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace platform::linux_backend {
namespace {

constexpr uint32_t kMaximumEnumerations = 256;
constexpr uint32_t kBufferCount = 4;
constexpr int kPollMilliseconds = 50;  // how soon the thread notices a stop
// Decoded frames out with consumers at once; a frame finds none free and is dropped.
constexpr size_t kFramesOut = 4;

// What went wrong, for the session that names the camera: "The camera ... cannot be captured: <this>."
[[noreturn]] void fail(const std::string& what) {
    throw PlatformError(kCaptureErrorDomain, kCaptureErrorUnknown, what + " (" + std::strerror(errno) + ")");
}

int64_t distance(const VideoDimensions& a, const VideoDimensions& b) {
    return std::llabs(int64_t(a.width) - b.width) + std::llabs(int64_t(a.height) - b.height);
}

// Whether `candidate` is a better choice than `best`.
bool better(const CameraMode& candidate, const CameraMode& best, const std::optional<VideoDimensions>& wanted) {
    if (wanted) {
        int64_t c = distance(candidate.size, *wanted), b = distance(best.size, *wanted);
        if (c != b) return c < b;
    } else {
        int64_t c = int64_t(candidate.size.width) * candidate.size.height;
        int64_t b = int64_t(best.size.width) * best.size.height;
        if (c != b) return c > b;
    }
    return candidate.pixelFormat == V4L2_PIX_FMT_MJPEG && best.pixelFormat != V4L2_PIX_FMT_MJPEG;
}

std::vector<VideoDimensions> sizesOf(V4l2System& system, int fd, uint32_t pixelFormat,
                                     const std::optional<VideoDimensions>& wanted) {
    std::vector<VideoDimensions> sizes;
    for (uint32_t index = 0; index < kMaximumEnumerations; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = pixelFormat;
        if (system.ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.push_back({int32_t(size.discrete.width), int32_t(size.discrete.height)});
            continue;
        }
        // A range: the wanted size clamped into it, and its largest size.
        const auto& range = size.stepwise;
        sizes.push_back({int32_t(range.max_width), int32_t(range.max_height)});
        if (wanted) {
            auto clamp = [](int32_t value, uint32_t low, uint32_t high, uint32_t step) {
                int64_t v = std::clamp<int64_t>(value, low, high);
                if (step > 1) v = low + (v - low) / step * step;
                return int32_t(v);
            };
            sizes.push_back({clamp(wanted->width, range.min_width, range.max_width, range.step_width),
                             clamp(wanted->height, range.min_height, range.max_height, range.step_height)});
        }
        break;
    }
    return sizes;
}

class V4l2Streaming final : public V4l2Capture {
public:
    V4l2Streaming(std::shared_ptr<V4l2System> system, int fd, CameraMode mode, size_t bytesPerLine, FrameHandler onFrame,
                  LossHandler onLost)
        : system_(std::move(system)),
          fd_(fd),
          mode_(mode),
          bytesPerLine_(bytesPerLine),
          decoder_(mode.pixelFormat, mode.size.width, mode.size.height),
          onFrame_(std::move(onFrame)),
          onLost_(std::move(onLost)),
          pool_(std::make_shared<FrameMemoryPool>(kFramesOut, FrameMemoryPool::heap())),
          format_(FormatDescription::makeVideo(pixel_format::bgra, mode.size.width, mode.size.height)) {}

    ~V4l2Streaming() override {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (streaming_) system_->ioctl(fd_, VIDIOC_STREAMOFF, &type);
        releaseBuffers();
    }

    CameraMode mode() const override { return mode_; }

    void begin() {
        v4l2_requestbuffers request{};
        request.count = kBufferCount;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (system_->ioctl(fd_, VIDIOC_REQBUFS, &request) != 0 || request.count == 0) fail("no capture buffers");
        requested_ = true;
        for (uint32_t index = 0; index < request.count; ++index) {
            v4l2_buffer buffer = emptyBuffer(index);
            if (system_->ioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) fail("a capture buffer cannot be found");
            void* address = system_->mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, long(buffer.m.offset));
            if (address == MAP_FAILED) fail("a capture buffer cannot be mapped");
            mapped_.push_back({address, buffer.length});
            if (system_->ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) fail("a capture buffer cannot be queued");
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (system_->ioctl(fd_, VIDIOC_STREAMON, &type) != 0) fail("streaming does not start");
        streaming_ = true;
        thread_ = std::thread([this] { run(); });
    }

private:
    struct Mapping {
        void* address;
        size_t length;
    };

    static v4l2_buffer emptyBuffer(uint32_t index) {
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        return buffer;
    }

    void releaseBuffers() {
        for (const auto& mapping : mapped_) system_->munmap(mapping.address, mapping.length);
        mapped_.clear();
        if (!requested_) return;
        v4l2_requestbuffers none{};
        none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        none.memory = V4L2_MEMORY_MMAP;
        system_->ioctl(fd_, VIDIOC_REQBUFS, &none);
        requested_ = false;
    }

    void run() {
        // Streaming began just before: the first frame gets as long as any later one.
        auto lastFrame = std::chrono::steady_clock::now();
        while (!stopping_) {
            int ready = system_->poll(fd_, POLLIN, kPollMilliseconds);
            // A signal handler that ran on this thread ends the wait early (poll is never
            // restarted): the camera is fine, the wait goes on.
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return lose("the camera cannot be waited for", errno);
            if (ready > 0) {
                // A driver failure (ENODEV for a camera unplugged) ends the capture.
                const int failure = takeFrame();
                if (failure == 0) {
                    lastFrame = std::chrono::steady_clock::now();
                    continue;
                }
                if (failure != EAGAIN) return lose("its driver failed", failure);
            }
            if (std::chrono::steady_clock::now() - lastFrame >= kCameraStallLimit) {
                return lose("no frame for " + std::to_string(kCameraStallLimit.count() / 1000) + " seconds");
            }
        }
    }

    // Takes one frame off the driver's queue, hands it on and gives the buffer back:
    // 0, EAGAIN when no frame was ready, or the errno of the driver's failure.
    int takeFrame() {
        v4l2_buffer buffer = emptyBuffer(0);
        if (system_->ioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) return errno;
        int64_t captured = captureTime(buffer);
        SampleBufferRef frame;
        if (buffer.index < mapped_.size()) {
            frame = decode(static_cast<const uint8_t*>(mapped_[buffer.index].address),
                           std::min<size_t>(buffer.bytesused, mapped_[buffer.index].length), captured);
        }
        const int requeued = system_->ioctl(fd_, VIDIOC_QBUF, &buffer) == 0 ? 0 : errno;
        if (frame && onFrame_) onFrame_(frame);
        return requeued;
    }

    // The thread ends here. A stop already under way is no loss: no one is told.
    void lose(const std::string& what, int error = 0) {
        if (stopping_ || !onLost_) return;
        onLost_(error ? what + " (" + std::strerror(error) + ")" : what);
    }

    // The driver's own monotonic stamp when it gives one, else the time the frame was taken off the queue.
    int64_t captureTime(const v4l2_buffer& buffer) {
        int64_t stamp = monotonicNanoseconds();
        if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC &&
            (buffer.timestamp.tv_sec != 0 || buffer.timestamp.tv_usec != 0)) {
            stamp = int64_t(buffer.timestamp.tv_sec) * kNanosecondsTimescale + int64_t(buffer.timestamp.tv_usec) * 1000;
        }
        if (stamp <= lastStamp_) stamp = lastStamp_ + 1;
        lastStamp_ = stamp;
        return stamp;
    }

    SampleBufferRef decode(const uint8_t* data, size_t bytes, int64_t captured) {
        const size_t rowBytes = size_t(mode_.size.width) * 4;
        auto memory = pool_->acquire(rowBytes * size_t(mode_.size.height));
        if (!memory) return nullptr;
        if (!decoder_.decode(data, bytes, bytesPerLine_, memory->data, rowBytes)) return nullptr;
        auto pixels = std::make_shared<PixelBuffer>();
        pixels->pixelFormat = pixel_format::bgra;
        pixels->width = mode_.size.width;
        pixels->height = mode_.size.height;
        pixels->planes.push_back({memory->data, rowBytes, pixels->width, pixels->height});
        pixels->owner = memory;
        SampleBuffer::Contents contents;
        contents.format = format_;
        contents.timing = {{MediaTime::invalid(), monotonicMediaTime(captured), MediaTime::invalid()}};
        contents.pixels = std::move(pixels);
        return std::make_shared<SampleBuffer>(std::move(contents));
    }

    std::shared_ptr<V4l2System> system_;
    const int fd_;
    const CameraMode mode_;
    const size_t bytesPerLine_;
    CameraFrameDecoder decoder_;  // used by the capture thread only
    FrameHandler onFrame_;
    LossHandler onLost_;
    std::shared_ptr<FrameMemoryPool> pool_;
    std::shared_ptr<const FormatDescription> format_;
    std::vector<Mapping> mapped_;  // written before the thread starts and after it ends
    bool requested_ = false;
    bool streaming_ = false;
    int64_t lastStamp_ = 0;  // capture thread only
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace

std::optional<CameraMode> chooseCameraMode(V4l2System& system, int fd, std::optional<VideoDimensions> wanted) {
    std::optional<CameraMode> best;
    for (uint32_t index = 0; index < kMaximumEnumerations; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (system.ioctl(fd, VIDIOC_ENUM_FMT, &description) != 0) break;
        if (!CameraFrameDecoder::decodes(description.pixelformat)) continue;
        for (const auto& size : sizesOf(system, fd, description.pixelformat, wanted)) {
            CameraMode candidate{description.pixelformat, size};
            if (!best || better(candidate, *best, wanted)) best = candidate;
        }
    }
    return best;
}

std::unique_ptr<V4l2Capture> V4l2Capture::start(std::shared_ptr<V4l2System> system, int fd,
                                                std::optional<VideoDimensions> wanted, FrameHandler onFrame,
                                                LossHandler onLost) {
    auto mode = chooseCameraMode(*system, fd, wanted);
    if (!mode) {
        errno = EINVAL;
        fail("it offers neither YUYV nor MJPEG frames");
    }
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = uint32_t(mode->size.width);
    format.fmt.pix.height = uint32_t(mode->size.height);
    format.fmt.pix.pixelformat = mode->pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (system->ioctl(fd, VIDIOC_S_FMT, &format) != 0) fail("the frame format cannot be set");
    // The driver may adjust the size; it tells which one it took.
    CameraMode taken{format.fmt.pix.pixelformat, {int32_t(format.fmt.pix.width), int32_t(format.fmt.pix.height)}};
    if (!CameraFrameDecoder::decodes(taken.pixelFormat) || taken.size.width <= 0 || taken.size.height <= 0 ||
        taken.size.width > INT16_MAX || taken.size.height > INT16_MAX) {
        errno = EINVAL;
        fail("the driver chose a frame format that cannot be decoded");
    }
    std::unique_ptr<V4l2Streaming> capture;
    try {
        capture = std::make_unique<V4l2Streaming>(std::move(system), fd, taken, format.fmt.pix.bytesperline,
                                                  std::move(onFrame), std::move(onLost));
    } catch (const std::runtime_error& error) {
        if (dynamic_cast<const PlatformError*>(&error)) throw;
        errno = ENOSYS;
        fail(error.what());
    }
    capture->begin();
    return capture;
}

} // namespace platform::linux_backend
