#include "Dovezode/Devices.h"

#include "platform/error.h"

namespace Dovezode {
namespace Devices {
namespace {

using platform::CaptureDeviceType;

// The screen that shows the display: the first one, in the current list, whose number is the display's.
std::string screenName(platform::Platform& platform, uint32_t displayID) {
    for (const auto& screen : platform.screens->screens()) {
        if (screen.number && *screen.number == displayID) return screen.localizedName;
    }
    return kUnknownDisplayName;
}

template <class Record>
std::vector<Record> deviceRecords(platform::Platform& platform, const std::vector<CaptureDeviceType>& deviceTypes,
                                  std::optional<platform::MediaType> mediaType) {
    std::vector<Record> records;
    for (const auto& device : platform.captureDevices->discover(deviceTypes, mediaType)) {
        records.push_back({device.uniqueID, device.localizedName});
    }
    return records;
}

class Hasher {
public:
    template <class Value>
    Hasher& feed(const Value& value) {
        seed_ ^= std::hash<Value>{}(value) + 0x9e3779b97f4a7c15ULL + (seed_ << 6) + (seed_ >> 2);
        return *this;
    }
    Hasher& feed(const std::optional<std::string>& value) {
        feed(value ? 1 : 0);
        if (value) feed(*value);
        return *this;
    }
    Hasher& feed(const platform::Rect& rect) {
        return feed(rect.origin.x).feed(rect.origin.y).feed(rect.size.width).feed(rect.size.height);
    }
    size_t value() const { return seed_; }

private:
    size_t seed_ = 0;
};

} // namespace

std::vector<CaptureDeviceType> microphoneDeviceTypes(const platform::Capabilities& capabilities) {
    if (capabilities.newerCaptureDeviceTypes) return {CaptureDeviceType::microphone, CaptureDeviceType::external};
    return {CaptureDeviceType::builtInMicrophone, CaptureDeviceType::externalUnknown};
}

std::vector<CaptureDeviceType> cameraDeviceTypes(const platform::Capabilities& capabilities) {
    if (capabilities.newerCaptureDeviceTypes) {
        return {CaptureDeviceType::builtInWideAngleCamera, CaptureDeviceType::external,
                CaptureDeviceType::continuityCamera};
    }
    return {CaptureDeviceType::builtInWideAngleCamera, CaptureDeviceType::externalUnknown};
}

std::vector<CaptureDeviceType> externalDeviceTypes(const platform::Capabilities& capabilities) {
    if (capabilities.newerCaptureDeviceTypes) return {CaptureDeviceType::external};
    return {CaptureDeviceType::externalUnknown};
}

std::optional<platform::CaptureDevice> findDevice(platform::Platform& platform,
                                                  const std::vector<CaptureDeviceType>& types,
                                                  std::optional<platform::MediaType> mediaType,
                                                  const std::string& uniqueID) {
    for (auto& device : platform.captureDevices->discover(types, mediaType)) {
        if (device.uniqueID == uniqueID) return device;
    }
    return std::nullopt;
}

std::vector<Screen> screen(platform::Platform& platform) {
    auto content = platform.shareableContent->current({});
    std::vector<Screen> screens;
    for (const auto& display : content.displays) {
        screens.push_back({std::to_string(display.displayID), screenName(platform, display.displayID), display.width,
                           display.height, display.frame});
    }
    return screens;
}

std::vector<Window> window(platform::Platform& platform, bool excludeDesktopWindows, bool onScreenWindowsOnly) {
    auto content = platform.shareableContent->current({excludeDesktopWindows, onScreenWindowsOnly});
    bool reportsActive = platform.capabilities.windowActiveFlag;
    std::vector<Window> windows;
    for (const auto& window : content.windows) {
        Window record;
        record.isActive = reportsActive && window.isActive;
        record.id = std::to_string(window.windowID);
        record.title = window.title;
        if (window.owningApplication) {
            record.appName = window.owningApplication->applicationName;
            record.appBundleIdentifier = window.owningApplication->bundleIdentifier;
        }
        record.isOnScreen = window.isOnScreen;
        record.layer = window.windowLayer;
        record.frame = window.frame;
        windows.push_back(std::move(record));
    }
    return windows;
}

std::vector<Audio> audio(platform::Platform& platform) {
    return deviceRecords<Audio>(platform, microphoneDeviceTypes(platform.capabilities), platform::MediaType::audio);
}

std::vector<Webcam> webcams(platform::Platform& platform) {
    return deviceRecords<Webcam>(platform, cameraDeviceTypes(platform.capabilities), platform::MediaType::video);
}

std::vector<IOS> iOS(platform::Platform& platform) {
    platform.captureDevices->allowScreenCaptureDevices();
    return deviceRecords<IOS>(platform, externalDeviceTypes(platform.capabilities), std::nullopt);
}

size_t hashValue(const Screen& screen) {
    return Hasher().feed(screen.id).feed(screen.name).feed(screen.width).feed(screen.height).feed(screen.frame).value();
}

size_t hashValue(const Window& window) {
    return Hasher()
        .feed(window.id)
        .feed(window.title)
        .feed(window.appName)
        .feed(window.appBundleIdentifier)
        .feed(window.isActive)
        .feed(window.isOnScreen)
        .feed(window.layer)
        .feed(window.frame)
        .value();
}

size_t hashValue(const Audio& audio) { return Hasher().feed(audio.id).feed(audio.name).value(); }
size_t hashValue(const IOS& device) { return Hasher().feed(device.id).feed(device.name).value(); }
size_t hashValue(const Webcam& webcam) { return Hasher().feed(webcam.id).feed(webcam.name).value(); }

} // namespace Devices

bool hasPermissions(platform::Platform& platform) {
    try {
        platform.shareableContent->current({});
        return true;
    } catch (const std::exception&) {
        // A refused permission or an unreachable display server: both mean no access.
        return false;
    }
}

} // namespace Dovezode
