#include "Dovezode/PreviewShape.h"

#include "Dovezode/RawValueJson.h"

#include <array>
#include <string>

namespace {

constexpr std::array<std::string_view, 3> kRawValues = {"original", "square", "rounded"};

} // namespace

std::optional<PreviewShape> PreviewShape::fromRawValue(std::string_view rawValue) {
    for (std::size_t i = 0; i < kRawValues.size(); ++i) {
        if (kRawValues[i] == rawValue) return PreviewShape(static_cast<Case>(i));
    }
    return std::nullopt;
}

std::string_view PreviewShape::rawValue() const { return kRawValues.at(value_); }

PreviewShape nlohmann::adl_serializer<PreviewShape>::from_json(const nlohmann::json& json) {
    return Dovezode::readRawValue<PreviewShape>(json, "PreviewShape");
}

void nlohmann::adl_serializer<PreviewShape>::to_json(nlohmann::json& json, PreviewShape shape) {
    json = std::string(shape.rawValue());
}
