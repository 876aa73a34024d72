#pragma once
// Scripted capture devices. Discoveries filter by device type and media type as
// the real backends do, and are recorded so that tests can see what was asked.

#include "platform/capture_devices.h"
#include "platform/device_notifications.h"
#include "platform/platform.h"

#include <functional>

#include <mutex>
#include <vector>

namespace platform::fake {

struct Discovery {
    std::vector<CaptureDeviceType> deviceTypes;
    std::optional<MediaType> mediaType;
    bool operator==(const Discovery&) const = default;
};

class FakeCaptureDevices final : public CaptureDeviceService {
public:
    void setDevices(std::vector<CaptureDevice> devices);
    // Adds the device after the others (replacing one with the same unique ID in its place).
    void addDevice(CaptureDevice device);
    // False when no device has the ID.
    bool removeDevice(const std::string& uniqueID);
    // Changes the device with the ID in place; false when there is none.
    bool updateDevice(const std::string& uniqueID, const std::function<void(CaptureDevice&)>& change);
    // The device disappears right after the next devicesWithMediaType() has listed it,
    // as a device unplugged between a listing and a lookup does.
    void removeAfterNextListing(const std::string& uniqueID);
    // A device that stays hidden until allowScreenCaptureDevices() is called, as an attached phone does.
    void addScreenCaptureDevice(CaptureDevice device);
    std::vector<Discovery> discoveries() const;
    bool screenCaptureDevicesAllowed() const;

    std::vector<CaptureDevice> discover(const std::vector<CaptureDeviceType>& deviceTypes,
                                        std::optional<MediaType> mediaType) override;
    std::vector<CaptureDevice> devicesWithMediaType(MediaType mediaType) override;
    std::optional<CaptureDevice> device(const std::string& uniqueID) override;
    void allowScreenCaptureDevices() override;

private:
    std::vector<CaptureDevice> visibleDevices() const;  // needs mutex_ held

    mutable std::mutex mutex_;  // guards every member below
    std::vector<CaptureDevice> devices_;
    std::vector<CaptureDevice> screenCaptureDevices_;
    bool screenCaptureDevicesAllowed_ = false;
    std::vector<Discovery> discoveries_;
    std::vector<std::string> removeAfterListing_;
};

// Notifications that the test posts: each observer gets the device on its queue.
class FakeDeviceNotifications final : public DeviceNotificationCenter {
public:
    std::shared_ptr<DeviceObserverHandle> addObserver(DeviceNotification name, std::shared_ptr<Queue> queue,
                                                      DeviceObserverBlock block) override;
    void removeObserver(const std::shared_ptr<DeviceObserverHandle>& observer) override;

    void post(DeviceNotification name, const CaptureDevice& device);
    size_t observerCount() const { return observers_.size(); }

private:
    DeviceObserverList observers_;
};

FakeCaptureDevices& fakeDevices(Platform& platform);
FakeDeviceNotifications& fakeDeviceNotifications(Platform& platform);

} // namespace platform::fake
