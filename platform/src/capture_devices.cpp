#include "platform/capture_devices.h"

#include <algorithm>

namespace platform {

bool CaptureDevice::hasMediaType(MediaType type) const {
    return std::find(mediaTypes.begin(), mediaTypes.end(), type) != mediaTypes.end();
}

bool matchesDiscovery(const CaptureDevice& device, const std::vector<CaptureDeviceType>& deviceTypes,
                      std::optional<MediaType> mediaType) {
    bool typeAsked = std::find(deviceTypes.begin(), deviceTypes.end(), device.deviceType) != deviceTypes.end();
    return typeAsked && (!mediaType || device.hasMediaType(*mediaType));
}

} // namespace platform
