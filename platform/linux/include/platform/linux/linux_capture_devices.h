#pragma once
// The Linux capture devices: PulseAudio microphones, V4L2 cameras and the iPhones
// and iPads that usbmuxd lists (muxed media; they cannot be captured from here).

#include "platform/capture_devices.h"
#include "platform/device_notifications.h"
#include "platform/linux/v4l2_cameras.h"

#include <memory>

namespace platform::linux_backend {

// Devices are read afresh for every call.
std::shared_ptr<CaptureDeviceService> makeLinuxCaptureDevices(std::shared_ptr<V4l2System> cameras);
// usbmuxd's attach and detach events of iPhones and iPads (no other device is reported).
std::shared_ptr<DeviceNotificationCenter> makeLinuxDeviceNotifications();

} // namespace platform::linux_backend
