#include "Dovezode/Devices.h"

#include "platform/error.h"
#include "platform/platform.h"

namespace Dovezode {
namespace Devices {
namespace {

using platform::CaptureDeviceType;

// The screen that shows the display: the first one, in the current list, whose number is the display's.
std::string screenName(uint32_t displayID) {
    for (const auto& screen : platform::installed().screens->screens()) {
        if (screen.number && *screen.number == displayID) return screen.localizedName;
    }
    return kUnknownDisplayName;
}

template <class Record>
std::vector<Record> deviceRecords(const std::vector<CaptureDeviceType>& deviceTypes,
                                  std::optional<platform::MediaType> mediaType) {
    std::vector<Record> records;
    for (const auto& device : platform::installed().captureDevices->discover(deviceTypes, mediaType)) {
        records.push_back({device.uniqueID, device.localizedName});
    }
    return records;
}

bool newerDeviceTypes() { return platform::installed().capabilities.newerCaptureDeviceTypes; }

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

std::vector<CaptureDeviceType> microphoneDeviceTypes() {
    if (newerDeviceTypes()) return {CaptureDeviceType::microphone, CaptureDeviceType::external};
    return {CaptureDeviceType::builtInMicrophone, CaptureDeviceType::externalUnknown};
}

std::vector<CaptureDeviceType> cameraDeviceTypes() {
    if (newerDeviceTypes()) {
        return {CaptureDeviceType::builtInWideAngleCamera, CaptureDeviceType::external,
                CaptureDeviceType::continuityCamera};
    }
    return {CaptureDeviceType::builtInWideAngleCamera, CaptureDeviceType::externalUnknown};
}

std::vector<CaptureDeviceType> externalDeviceTypes() {
    if (newerDeviceTypes()) return {CaptureDeviceType::external};
    return {CaptureDeviceType::externalUnknown};
}

std::vector<Screen> screen() {
    auto content = platform::installed().shareableContent->current({});
    std::vector<Screen> screens;
    for (const auto& display : content.displays) {
        screens.push_back({std::to_string(display.displayID), screenName(display.displayID), display.width,
                           display.height, display.frame});
    }
    return screens;
}

std::vector<Window> window(bool excludeDesktopWindows, bool onScreenWindowsOnly) {
    auto& platform = platform::installed();
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

std::vector<Audio> audio() { return deviceRecords<Audio>(microphoneDeviceTypes(), platform::MediaType::audio); }

std::vector<Webcam> webcams() { return deviceRecords<Webcam>(cameraDeviceTypes(), platform::MediaType::video); }

std::vector<IOS> iOS() {
    platform::installed().captureDevices->allowScreenCaptureDevices();
    return deviceRecords<IOS>(externalDeviceTypes(), std::nullopt);
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

bool hasPermissions() {
    try {
        platform::installed().shareableContent->current({});
        return true;
    } catch (const std::exception&) {
        // A refused permission or an unreachable display server: both mean no access.
        return false;
    }
}

} // namespace Dovezode
