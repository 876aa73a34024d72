#pragma once
// Capture-source listing: displays, windows, microphones, cameras and external
// devices, as records whose JSON is the capture-source format of the host. Every
// call asks the platform afresh; lists come in the platform's order.

#include "platform/capture_devices.h"
#include "platform/geometry.h"
#include "platform/platform.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace Dovezode {

namespace Devices {

struct Screen {
    std::string id;    // the display number in decimal
    std::string name;  // the matching screen's name, or "Unknown Display"
    int64_t width = 0;
    int64_t height = 0;
    platform::Rect frame;
    bool operator==(const Screen&) const = default;
};

struct Window {
    std::string id;  // the window number in decimal
    std::optional<std::string> title;
    std::optional<std::string> appName;
    std::optional<std::string> appBundleIdentifier;
    bool isActive = false;
    bool isOnScreen = false;
    int64_t layer = 0;
    platform::Rect frame;
    bool operator==(const Window&) const = default;
};

// Microphone, external device and camera: the device's unique ID and localized name.
struct Audio {
    std::string id;
    std::string name;
    bool operator==(const Audio&) const = default;
};

struct IOS {
    std::string id;
    std::string name;
    bool operator==(const IOS&) const = default;
};

struct Webcam {
    std::string id;
    std::string name;
    bool operator==(const Webcam&) const = default;
};

inline constexpr const char* kUnknownDisplayName = "Unknown Display";

// Each listing asks the given platform.
// Displays of the current shareable content. Blocks for the platform's answer;
// throws its platform::PlatformError unchanged.
std::vector<Screen> screen(platform::Platform& platform);
// Windows of the shareable content fetched with the two options as given. Blocks;
// throws the platform's error unchanged.
std::vector<Window> window(platform::Platform& platform, bool excludeDesktopWindows, bool onScreenWindowsOnly);
// Never fail; no matching device gives an empty list.
std::vector<Audio> audio(platform::Platform& platform);
std::vector<IOS> iOS(platform::Platform& platform);
std::vector<Webcam> webcams(platform::Platform& platform);

// The device types by which the engine finds microphones and cameras (also used by the previews).
std::vector<platform::CaptureDeviceType> microphoneDeviceTypes(const platform::Capabilities& capabilities);
std::vector<platform::CaptureDeviceType> cameraDeviceTypes(const platform::Capabilities& capabilities);
std::vector<platform::CaptureDeviceType> externalDeviceTypes(const platform::Capabilities& capabilities);
// The first device of those types (and media type, when given) whose unique ID is `uniqueID`.
std::optional<platform::CaptureDevice> findDevice(platform::Platform& platform,
                                                  const std::vector<platform::CaptureDeviceType>& types,
                                                  std::optional<platform::MediaType> mediaType,
                                                  const std::string& uniqueID);

// JSON: keys are the field names; absent optionals are left out; "frame" is
// [[x, y], [width, height]]. Written to an ordered JSON value the keys come in
// declaration order; to nlohmann::json they are sorted.
namespace detail {
template <class Json>
Json frameJson(const platform::Rect& frame) {
    return Json::array({Json::array({frame.origin.x, frame.origin.y}), Json::array({frame.size.width, frame.size.height})});
}
template <class Json>
void putOptional(Json& json, const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
}
} // namespace detail

template <class Json>
void to_json(Json& json, const Screen& screen) {
    json = Json::object();
    json["id"] = screen.id;
    json["name"] = screen.name;
    json["width"] = screen.width;
    json["height"] = screen.height;
    json["frame"] = detail::frameJson<Json>(screen.frame);
}

template <class Json>
void to_json(Json& json, const Window& window) {
    json = Json::object();
    json["id"] = window.id;
    detail::putOptional(json, "title", window.title);
    detail::putOptional(json, "appName", window.appName);
    detail::putOptional(json, "appBundleIdentifier", window.appBundleIdentifier);
    json["isActive"] = window.isActive;
    json["isOnScreen"] = window.isOnScreen;
    json["layer"] = window.layer;
    json["frame"] = detail::frameJson<Json>(window.frame);
}

template <class Json, class Record>
    requires std::is_same_v<Record, Audio> || std::is_same_v<Record, IOS> || std::is_same_v<Record, Webcam>
void to_json(Json& json, const Record& record) {
    json = Json::object();
    json["id"] = record.id;
    json["name"] = record.name;
}

// Hashes of all fields in declaration order; an optional feeds a 0 marker when
// absent and a 1 marker and its value when present.
size_t hashValue(const Screen& screen);
size_t hashValue(const Window& window);
size_t hashValue(const Audio& audio);
size_t hashValue(const IOS& device);
size_t hashValue(const Webcam& webcam);

} // namespace Devices

// Whether screen capture is allowed: the platform's shareable content can be fetched. Never fails.
bool hasPermissions(platform::Platform& platform);

} // namespace Dovezode

template <>
struct std::hash<Dovezode::Devices::Screen> {
    size_t operator()(const Dovezode::Devices::Screen& value) const { return Dovezode::Devices::hashValue(value); }
};
template <>
struct std::hash<Dovezode::Devices::Window> {
    size_t operator()(const Dovezode::Devices::Window& value) const { return Dovezode::Devices::hashValue(value); }
};
template <>
struct std::hash<Dovezode::Devices::Audio> {
    size_t operator()(const Dovezode::Devices::Audio& value) const { return Dovezode::Devices::hashValue(value); }
};
template <>
struct std::hash<Dovezode::Devices::IOS> {
    size_t operator()(const Dovezode::Devices::IOS& value) const { return Dovezode::Devices::hashValue(value); }
};
template <>
struct std::hash<Dovezode::Devices::Webcam> {
    size_t operator()(const Dovezode::Devices::Webcam& value) const { return Dovezode::Devices::hashValue(value); }
};
