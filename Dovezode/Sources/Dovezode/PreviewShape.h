#pragma once
// Form of the webcam preview window. In JSON a value is its string alone, and
// reading accepts exactly the three strings, case-sensitively.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

class PreviewShape {
public:
    enum Case : uint8_t { original, square, rounded };

    constexpr PreviewShape(Case value) : value_(value) {}
    constexpr operator Case() const { return value_; }

    // The case whose string is exactly `rawValue`, or nothing.
    static std::optional<PreviewShape> fromRawValue(std::string_view rawValue);
    // "original", "square" or "rounded".
    std::string_view rawValue() const;

private:
    Case value_;
};

template <>
struct std::hash<PreviewShape> {
    std::size_t operator()(PreviewShape shape) const noexcept {
        return std::hash<std::string_view>{}(shape.rawValue());
    }
};

template <>
struct nlohmann::adl_serializer<PreviewShape> {
    // Throws nlohmann::json::exception for anything but one of the three strings.
    static PreviewShape from_json(const nlohmann::json& json);
    static void to_json(nlohmann::json& json, PreviewShape shape);
};
