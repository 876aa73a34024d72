#pragma once
// Capture resolution asked of the webcam. In JSON a value is its string alone,
// and reading accepts exactly the three strings, case-sensitively.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Dovezode {

class WebcamResolution {
public:
    enum Case : uint8_t { hd720p, hd1080p, uhd4K };

    constexpr WebcamResolution(Case value) : value_(value) {}
    constexpr operator Case() const { return value_; }

    // The case whose string is exactly `rawValue`, or nothing.
    static std::optional<WebcamResolution> fromRawValue(std::string_view rawValue);
    // "hd720p", "hd1080p" or "uhd4K".
    std::string_view rawValue() const;

private:
    Case value_;
};

} // namespace Dovezode

template <>
struct std::hash<Dovezode::WebcamResolution> {
    std::size_t operator()(Dovezode::WebcamResolution resolution) const noexcept {
        return std::hash<std::string_view>{}(resolution.rawValue());
    }
};

template <>
struct nlohmann::adl_serializer<Dovezode::WebcamResolution> {
    // Throws nlohmann::json::exception for anything but one of the three strings.
    static Dovezode::WebcamResolution from_json(const nlohmann::json& json);
    static void to_json(nlohmann::json& json, Dovezode::WebcamResolution resolution);
};
