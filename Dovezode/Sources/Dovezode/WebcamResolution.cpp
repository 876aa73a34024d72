#include "Dovezode/WebcamResolution.h"

#include "Dovezode/RawValueJson.h"

#include <array>

namespace Dovezode {
namespace {

constexpr std::array<std::string_view, 3> kRawValues = {"hd720p", "hd1080p", "uhd4K"};

} // namespace

std::optional<WebcamResolution> WebcamResolution::fromRawValue(std::string_view rawValue) {
    for (std::size_t i = 0; i < kRawValues.size(); ++i) {
        if (kRawValues[i] == rawValue) return WebcamResolution(static_cast<Case>(i));
    }
    return std::nullopt;
}

std::string_view WebcamResolution::rawValue() const { return kRawValues.at(value_); }

} // namespace Dovezode

Dovezode::WebcamResolution nlohmann::adl_serializer<Dovezode::WebcamResolution>::from_json(const nlohmann::json& json) {
    return Dovezode::readRawValue<Dovezode::WebcamResolution>(json, "WebcamResolution");
}

void nlohmann::adl_serializer<Dovezode::WebcamResolution>::to_json(nlohmann::json& json,
                                                                   Dovezode::WebcamResolution resolution) {
    json = std::string(resolution.rawValue());
}
