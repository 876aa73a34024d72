#include "common/utf8_text.h"

#include <cstdint>

namespace platform::linux_backend {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of the text, or 0.
size_t validSequenceLength(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t minimum = 0;
    uint32_t codePoint = 0;
    if ((lead & 0xE0) == 0xC0) { length = 2; minimum = 0x80; codePoint = lead & 0x1F; }
    else if ((lead & 0xF0) == 0xE0) { length = 3; minimum = 0x800; codePoint = lead & 0x0F; }
    else if ((lead & 0xF8) == 0xF0) { length = 4; minimum = 0x10000; codePoint = lead & 0x07; }
    else return 0;
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (codePoint < minimum || codePoint > 0x10FFFF || surrogate) return 0;
    return length;
}

} // namespace

std::string validUtf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        size_t length = validSequenceLength(text);
        if (length == 0) {
            result += kReplacement;
            length = 1;
        } else {
            result.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return result;
}

std::string latin1ToUtf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

} // namespace platform::linux_backend
