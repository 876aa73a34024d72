#pragma once
// Scripted capture devices. Discoveries filter by device type and media type as
// the real backends do, and are recorded so that tests can see what was asked.

#include "platform/capture_devices.h"
#include "platform/platform.h"

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
};

FakeCaptureDevices& fakeDevices(Platform& platform);

} // namespace platform::fake
