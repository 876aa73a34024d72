#pragma once
// Capture devices: microphones, cameras and external (muxed) devices, found by
// device type and media type or looked up by their unique ID.

#include "platform/format_description.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class CaptureDeviceType {
    builtInMicrophone,
    microphone,  // any microphone, built-in or external (the newer systems' type)
    builtInWideAngleCamera,
    continuityCamera,
    externalUnknown,
    external,  // external devices of any media (the newer systems' type)
};

struct CaptureDeviceFormat {
    // Channels of the format's audio channel layout; absent when it has none.
    std::optional<uint32_t> audioChannelCount;
    std::optional<VideoDimensions> videoDimensions;
    bool operator==(const CaptureDeviceFormat&) const = default;
};

struct CaptureDevice {
    std::string uniqueID;  // stable across reconnections and reboots
    std::string localizedName;
    std::string manufacturer;
    std::string modelID;
    CaptureDeviceType deviceType = CaptureDeviceType::externalUnknown;
    std::vector<MediaType> mediaTypes;
    bool connected = true;
    bool suspended = false;
    std::vector<CaptureDeviceFormat> formats;
    std::optional<size_t> activeFormat;  // index into formats
    bool operator==(const CaptureDevice&) const = default;

    bool hasMediaType(MediaType type) const;
};

class CaptureDeviceService {
public:
    virtual ~CaptureDeviceService() = default;
    // The devices of the given types that have the media type (every media type when
    // absent), in the system's order. Never throws: no device gives an empty list.
    virtual std::vector<CaptureDevice> discover(const std::vector<CaptureDeviceType>& deviceTypes,
                                                std::optional<MediaType> mediaType) = 0;
    // Every device with the media type, whatever its device type.
    virtual std::vector<CaptureDevice> devicesWithMediaType(MediaType mediaType) = 0;
    // The device with this unique ID, connected or not.
    virtual std::optional<CaptureDevice> device(const std::string& uniqueID) = 0;
    // Makes screen-capture devices (attached phones and tablets) appear among the
    // external devices for the rest of the process.
    virtual void allowScreenCaptureDevices() = 0;
};

// Whether a device belongs to a discovery of these types and this media type.
bool matchesDiscovery(const CaptureDevice& device, const std::vector<CaptureDeviceType>& deviceTypes,
                      std::optional<MediaType> mediaType);

} // namespace platform
