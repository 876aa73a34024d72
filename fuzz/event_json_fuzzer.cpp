// The JSON writer behind every event line: whatever value it writes must read back
// as the same value with nlohmann's own parser, and it must refuse exactly the
// values that have no JSON text (non-finite numbers, invalid UTF-8, binary).
//
// Input: a selector byte, then the value. Even selector: JSON text. Odd selector:
// CBOR, which also carries non-finite numbers, byte strings and invalid UTF-8.

#include "Tavrik/Emit.h"
#include "Tavrik/JsonWriter.h"
#include "Tavrik/Text.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using tavrik::Json;

void check(bool condition) {
    if (!condition) std::abort();
}

// An upper bound of the nesting, so that no input overflows the stack of the
// parsers (the program's own values are shallow).
constexpr size_t kDeepest = 200;

bool tooDeepText(const std::string& text) {
    size_t opened = 0;
    for (char c : text) opened += c == '[' || c == '{';
    return opened > kDeepest;
}

bool tooDeepCbor(const std::vector<uint8_t>& bytes) {
    size_t containers = 0;
    for (uint8_t b : bytes) containers += (b >= 0x80 && b <= 0xbf) || b == 0xd8 || b == 0xd9;
    return containers > kDeepest;
}

// Whether the value holds something JSON text cannot carry.
bool unwritable(const Json& value) {
    switch (value.type()) {
    case Json::value_t::number_float: return !std::isfinite(value.get<double>());
    case Json::value_t::string: return !tavrik::isValidUtf8(value.get_ref<const std::string&>());
    case Json::value_t::binary: return true;
    case Json::value_t::discarded: return true;
    case Json::value_t::array:
        for (const auto& element : value) {
            if (unwritable(element)) return true;
        }
        return false;
    case Json::value_t::object:
        for (const auto& [key, element] : value.items()) {
            if (!tavrik::isValidUtf8(key) || unwritable(element)) return true;
        }
        return false;
    default: return false;
    }
}

void roundTrip(const Json& value, tavrik::JsonStyle style) {
    auto text = tavrik::writeJson(value, style);
    check(text.has_value() != unwritable(value));
    if (!text) return;
    check(tavrik::isValidUtf8(*text));
    if (!style.pretty) check(text->find('\n') == std::string::npos);  // one event, one line
    Json back = Json::parse(*text, nullptr, false);
    check(!back.is_discarded());
    check(back == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Json value;
    if (data[0] % 2 == 0) {
        std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        if (tooDeepText(text)) return 0;
        value = Json::parse(text, nullptr, false);
    } else {
        std::vector<uint8_t> bytes(data + 1, data + size);
        if (tooDeepCbor(bytes)) return 0;
        // Even without exceptions the CBOR reader throws for a container size it cannot hold.
        try {
            value = Json::from_cbor(bytes, true, false);
        } catch (const Json::exception&) {
            return 0;
        }
    }
    if (value.is_discarded()) return 0;
    roundTrip(value, {});
    roundTrip(value, {.pretty = true});
    // An event line carries the value's members beside "event" and "timestamp".
    if (value.is_object()) {
        auto line = tavrik::eventLine("fuzz", value, 1.5);
        check(line.has_value() != unwritable(value));
        if (line) {
            Json event = Json::parse(*line, nullptr, false);
            check(event.is_object());
            check(event.contains("event") && event.contains("timestamp"));
            if (!value.contains("event")) check(event["event"] == "fuzz");
        }
    }
    return 0;
}
