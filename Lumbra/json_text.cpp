#include "Lumbra/json_text.h"

#include <cstdint>

namespace Lumbra {
namespace {

bool isValidUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t codePoint = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2;
            codePoint = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            codePoint = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool appendString(std::string& out, const std::string& text) {
    if (!isValidUtf8(text)) return false;
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                static constexpr char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return true;
}

bool appendRecords(std::string& out, const std::vector<IdNameRecord>& records) {
    out += '[';
    for (size_t i = 0; i < records.size(); ++i) {
        if (i > 0) out += ',';
        out += "{\"id\":";
        if (!appendString(out, records[i].id)) return false;
        out += ",\"name\":";
        if (!appendString(out, records[i].name)) return false;
        out += '}';
    }
    out += ']';
    return true;
}

} // namespace

std::optional<std::string> allDevicesJson(const std::vector<IdNameRecord>& webcams,
                                          const std::vector<IdNameRecord>& audios) {
    std::string out = "{\"webcams\":";
    if (!appendRecords(out, webcams)) return std::nullopt;
    out += ",\"audios\":";
    if (!appendRecords(out, audios)) return std::nullopt;
    out += '}';
    return out;
}

} // namespace Lumbra
