#pragma once
// Streams one V4L2 camera through memory-mapped buffers on a thread of its own,
// decoding each frame to BGRA and stamping it on the monotonic clock.

#include "platform/format_description.h"
#include "platform/linux/v4l2_cameras.h"
#include "platform/sample_buffer.h"

#include <functional>
#include <memory>
#include <optional>

namespace platform::linux_backend {

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

    // Sets the camera open on `fd` to the chosen mode and starts streaming; throws
    // PlatformError (kCaptureErrorDomain) when it cannot. The handler runs on the capture thread.
    static std::unique_ptr<V4l2Capture> start(std::shared_ptr<V4l2System> system, int fd,
                                              std::optional<VideoDimensions> wanted, FrameHandler onFrame);
    // Stops streaming; the handler does not run once it returns.
    virtual ~V4l2Capture() = default;
    virtual CameraMode mode() const = 0;
};

} // namespace platform::linux_backend
