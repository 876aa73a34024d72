#pragma once
// Strict JSON reading of a string-backed enumeration: the value must be a JSON
// string equal to one of the type's raw values.

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace Dovezode {

// T has `static std::optional<T> fromRawValue(std::string_view)`.
template <typename T>
T readRawValue(const nlohmann::json& json, std::string_view typeName) {
    const auto& text = json.get_ref<const nlohmann::json::string_t&>();
    if (auto value = T::fromRawValue(text)) return *value;
    throw nlohmann::json::other_error::create(
        599, "no " + std::string(typeName) + " has the raw value \"" + text + "\"", &json);
}

} // namespace Dovezode
