#pragma once
// The one JSON text writer of the program's output. Keeps the wire format the
// host reads: "/" escaped as "\/", whole floating-point values without a
// fraction part, non-ASCII characters as UTF-8. Values it cannot write
// (non-finite numbers, invalid UTF-8, binary) make the whole text fail.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace tavrik {

using Json = nlohmann::json;

struct JsonStyle {
    // Indented, one member or element per line. Keys are always written in sorted order.
    bool pretty = false;
};

std::optional<std::string> writeJson(const Json& value, JsonStyle style = {});

} // namespace tavrik
