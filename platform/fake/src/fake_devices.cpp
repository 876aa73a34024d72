#include "platform/fake/fake_devices.h"

namespace platform::fake {

void FakeCaptureDevices::setDevices(std::vector<CaptureDevice> devices) {
    std::lock_guard lock(mutex_);
    devices_ = std::move(devices);
}

void FakeCaptureDevices::addDevice(CaptureDevice device) {
    std::lock_guard lock(mutex_);
    for (auto& existing : devices_) {
        if (existing.uniqueID == device.uniqueID) {
            existing = std::move(device);
            return;
        }
    }
    devices_.push_back(std::move(device));
}

bool FakeCaptureDevices::removeDevice(const std::string& uniqueID) {
    std::lock_guard lock(mutex_);
    return std::erase_if(devices_, [&](const CaptureDevice& device) { return device.uniqueID == uniqueID; }) > 0;
}

bool FakeCaptureDevices::updateDevice(const std::string& uniqueID, const std::function<void(CaptureDevice&)>& change) {
    std::lock_guard lock(mutex_);
    for (auto& device : devices_) {
        if (device.uniqueID == uniqueID) {
            change(device);
            return true;
        }
    }
    return false;
}

void FakeCaptureDevices::removeAfterNextListing(const std::string& uniqueID) {
    std::lock_guard lock(mutex_);
    removeAfterListing_.push_back(uniqueID);
}

void FakeCaptureDevices::addScreenCaptureDevice(CaptureDevice device) {
    std::lock_guard lock(mutex_);
    screenCaptureDevices_.push_back(std::move(device));
}

std::vector<Discovery> FakeCaptureDevices::discoveries() const {
    std::lock_guard lock(mutex_);
    return discoveries_;
}

bool FakeCaptureDevices::screenCaptureDevicesAllowed() const {
    std::lock_guard lock(mutex_);
    return screenCaptureDevicesAllowed_;
}

std::vector<CaptureDevice> FakeCaptureDevices::visibleDevices() const {
    auto devices = devices_;
    if (screenCaptureDevicesAllowed_) devices.insert(devices.end(), screenCaptureDevices_.begin(), screenCaptureDevices_.end());
    return devices;
}

std::vector<CaptureDevice> FakeCaptureDevices::discover(const std::vector<CaptureDeviceType>& deviceTypes,
                                                        std::optional<MediaType> mediaType) {
    std::lock_guard lock(mutex_);
    discoveries_.push_back({deviceTypes, mediaType});
    std::vector<CaptureDevice> found;
    for (auto& device : visibleDevices()) {
        if (matchesDiscovery(device, deviceTypes, mediaType)) found.push_back(std::move(device));
    }
    return found;
}

std::vector<CaptureDevice> FakeCaptureDevices::devicesWithMediaType(MediaType mediaType) {
    std::lock_guard lock(mutex_);
    std::vector<CaptureDevice> found;
    for (auto& device : visibleDevices()) {
        if (device.hasMediaType(mediaType)) found.push_back(std::move(device));
    }
    for (const auto& uniqueID : removeAfterListing_) {
        std::erase_if(devices_, [&](const CaptureDevice& device) { return device.uniqueID == uniqueID; });
    }
    removeAfterListing_.clear();
    return found;
}

std::optional<CaptureDevice> FakeCaptureDevices::device(const std::string& uniqueID) {
    std::lock_guard lock(mutex_);
    for (auto& device : visibleDevices()) {
        if (device.uniqueID == uniqueID) return std::move(device);
    }
    return std::nullopt;
}

void FakeCaptureDevices::allowScreenCaptureDevices() {
    std::lock_guard lock(mutex_);
    screenCaptureDevicesAllowed_ = true;
}

std::shared_ptr<DeviceObserverHandle> FakeDeviceNotifications::addObserver(DeviceNotification name,
                                                                          std::shared_ptr<Queue> queue,
                                                                          DeviceObserverBlock block) {
    return observers_.add(name, std::move(queue), std::move(block));
}

void FakeDeviceNotifications::removeObserver(const std::shared_ptr<DeviceObserverHandle>& observer) {
    observers_.remove(observer);
}

void FakeDeviceNotifications::post(DeviceNotification name, const CaptureDevice& device) {
    observers_.post(name, device);
}

} // namespace platform::fake
