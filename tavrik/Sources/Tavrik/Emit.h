#pragma once
// Event lines: one compact JSON object per line with "event", "timestamp"
// (seconds since 1970) and the event's data. A data member named like a base
// member replaces it.

#include "Tavrik/JsonWriter.h"

#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

// Writes the event line and flushes it. Writes nothing when the line cannot be
// serialised (a non-finite number, invalid UTF-8); the caller is not told.
void emit(std::string_view event, const Json& data = Json::object());

// The text of an event line, as emit() writes it (without the line feed).
std::optional<std::string> eventLine(std::string_view event, const Json& data, double nowSeconds);

double secondsSince1970();

} // namespace tavrik
