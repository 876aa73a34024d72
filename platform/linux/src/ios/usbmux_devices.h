#pragma once
// Attached iPhones and iPads, as usbmuxd lists them, described through lockdown.

#include "platform/capture_devices.h"
#include "platform/device_notifications.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_backend {

inline constexpr const char* kAppleManufacturer = "Apple Inc.";

// The devices usbmuxd lists as attached by cable, in its order: unique ID the UDID,
// name lockdown's "DeviceName", model its "ProductType", muxed media, connected;
// suspended while the device does not trust this computer. An unreachable usbmuxd
// gives an empty list.
std::vector<CaptureDevice> listUsbmuxDevices();
// The attached device with this UDID; none when usbmuxd does not list it.
std::optional<CaptureDevice> usbmuxDevice(const std::string& udid);

// usbmuxd's attach and detach events as device notifications. usbmuxd is
// listened to while there are observers.
std::shared_ptr<DeviceNotificationCenter> makeUsbmuxDeviceNotifications();

} // namespace platform::linux_backend
