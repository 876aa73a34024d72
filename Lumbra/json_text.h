#pragma once
// The JSON text of the camera and microphone lists, written as the platform's
// JSON writer writes it: compact, "/" escaped as "\/", control characters
// escaped, other characters as UTF-8. Text that is not valid UTF-8 cannot be written.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Lumbra {

struct IdNameRecord {
    std::string id;
    std::string name;
};

// {"webcams":[{"id":..,"name":..},...],"audios":[...]}; none when a string is not valid UTF-8.
std::optional<std::string> allDevicesJson(const std::vector<IdNameRecord>& webcams,
                                          const std::vector<IdNameRecord>& audios);

inline constexpr const char* kEmptyAllDevicesJson = R"({"webcams":[],"audios":[]})";

} // namespace Lumbra
