#include "platform/linux/linux_capture_devices.h"

#include "pulse/pulse_sources.h"
#include "ios/usbmux_devices.h"

namespace platform::linux_backend {
namespace {

class LinuxCaptureDevices final : public CaptureDeviceService {
public:
    explicit LinuxCaptureDevices(std::shared_ptr<V4l2System> cameras) : cameras_(std::move(cameras)) {}

    std::vector<CaptureDevice> discover(const std::vector<CaptureDeviceType>& deviceTypes,
                                        std::optional<MediaType> mediaType) override {
        std::vector<CaptureDevice> found;
        for (auto& device : allDevices(mediaType)) {
            if (matchesDiscovery(device, deviceTypes, mediaType)) found.push_back(std::move(device));
        }
        return found;
    }

    std::vector<CaptureDevice> devicesWithMediaType(MediaType mediaType) override {
        std::vector<CaptureDevice> found;
        for (auto& device : allDevices(mediaType)) {
            if (device.hasMediaType(mediaType)) found.push_back(std::move(device));
        }
        return found;
    }

    std::optional<CaptureDevice> device(const std::string& uniqueID) override {
        for (auto& device : allDevices(std::nullopt, false)) {
            if (device.uniqueID == uniqueID) return std::move(device);
        }
        // Only the phone asked for is described: lockdown is asked per device.
        return usbmuxDevice(uniqueID);
    }

    // Attached phones and tablets are listed from usbmuxd whether or not this was called.
    void allowScreenCaptureDevices() override {}

private:
    // Microphones first, then cameras, then iOS devices; only the sources the media
    // type can match are asked.
    std::vector<CaptureDevice> allDevices(std::optional<MediaType> mediaType, bool withIOSDevices = true) {
        std::vector<CaptureDevice> devices;
        if (!mediaType || *mediaType == MediaType::audio) devices = listPulseMicrophones();
        if (!mediaType || *mediaType == MediaType::video) {
            for (auto& camera : listV4l2Cameras(*cameras_)) devices.push_back(std::move(camera));
        }
        if (withIOSDevices && (!mediaType || *mediaType == MediaType::muxed)) {
            for (auto& phone : listUsbmuxDevices()) devices.push_back(std::move(phone));
        }
        return devices;
    }

    std::shared_ptr<V4l2System> cameras_;
};

} // namespace

std::shared_ptr<CaptureDeviceService> makeLinuxCaptureDevices(std::shared_ptr<V4l2System> cameras) {
    return std::make_shared<LinuxCaptureDevices>(std::move(cameras));
}

std::shared_ptr<DeviceNotificationCenter> makeLinuxDeviceNotifications() { return makeUsbmuxDeviceNotifications(); }

} // namespace platform::linux_backend
