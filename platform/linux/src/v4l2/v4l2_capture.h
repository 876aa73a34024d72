#pragma once
// Streams one V4L2 camera through memory-mapped buffers on a thread of its own,
// decoding each frame to BGRA and stamping it on the monotonic clock, and tells
// when the camera stops delivering: the driver fails (a camera unplugged) or no
// frame comes for kCameraStallLimit while streaming.

#include "platform/format_description.h"
#include "platform/linux/v4l2_cameras.h"
#include "platform/sample_buffer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::linux_backend {

// How long a streaming camera may go without a frame before it counts as lost: a
// camera delivers at least a few frames a second even in the dark, and one that
// gives none for this long has stopped.
inline constexpr std::chrono::milliseconds kCameraStallLimit{2000};

struct CameraMode {
    uint32_t pixelFormat = 0;  // V4L2_PIX_FMT_YUYV or V4L2_PIX_FMT_MJPEG
    VideoDimensions size;
    bool operator==(const CameraMode&) const = default;
};

// The mode closest to `wanted` among the sizes of the formats that decode (the
// largest when nothing is wanted); at equal size MJPEG, which webcams deliver at
// higher frame rates. nullopt when the camera offers no such format.
std::optional<CameraMode> chooseCameraMode(V4l2System& system, int fd, std::optional<VideoDimensions> wanted);

class V4l2Capture {
public:
    using FrameHandler = std::function<void(const SampleBufferRef&)>;
    // Why the camera stopped delivering, in words that follow "stopped delivering: ".
    using LossHandler = std::function<void(const std::string& reason)>;

    // Sets the camera open on `fd` to the chosen mode and starts streaming; throws
    // PlatformError (kCaptureErrorDomain) when it cannot, its text saying why in words
    // that follow "cannot be captured: ". The handlers run on the
    // capture thread; the loss handler at most once, after which the thread ends.
    static std::unique_ptr<V4l2Capture> start(std::shared_ptr<V4l2System> system, int fd,
                                              std::optional<VideoDimensions> wanted, FrameHandler onFrame,
                                              LossHandler onLost = {});
    // Stops streaming; the handlers do not run once it returns.
    virtual ~V4l2Capture() = default;
    virtual CameraMode mode() const = 0;
};

} // namespace platform::linux_backend
