#pragma once
// Capture sessions on Linux: microphones are PulseAudio sources (unique ID the
// source name), cameras V4L2 nodes (unique ID as the device listing gives it).

#include "platform/capture_session.h"
#include "platform/linux/v4l2_cameras.h"

#include <memory>

namespace platform::linux_backend {

// Each session captures from its one device input once it runs; audio data
// outputs get the microphone's float32 buffers, video data outputs the camera's
// BGRA frames, each on its own queue. Presets pick the camera size closest to
// theirs ("high": the largest); they take effect at the next start.
std::shared_ptr<CaptureSessionService> makeLinuxCaptureSessions(std::shared_ptr<V4l2System> cameras);

} // namespace platform::linux_backend
