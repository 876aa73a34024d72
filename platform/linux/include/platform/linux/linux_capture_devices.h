#pragma once
// The Linux capture devices: PulseAudio microphones and V4L2 cameras.

#include "platform/capture_devices.h"
#include "platform/linux/v4l2_cameras.h"

#include <memory>

namespace platform::linux_backend {

// Devices are read afresh for every call. There are no external (muxed) devices on Linux.
std::shared_ptr<CaptureDeviceService> makeLinuxCaptureDevices(std::shared_ptr<V4l2System> cameras);

} // namespace platform::linux_backend
