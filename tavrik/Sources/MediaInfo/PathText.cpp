#include "MediaInfo/PathText.h"

#include "UnicodeText/Text.h"

#include <unicode/utf8.h>

#include <filesystem>

namespace mediainfo {

std::string trimmedPath(std::string_view path) { return std::string(trimmedPathView(path)); }

std::string_view trimmedPathView(std::string_view path) {
    // Trimming only removes characters at the ends, so the trimmed text is a
    // part of the path: its first byte is the first byte not trimmed.
    std::string trimmed = text::trimmedSpaces(path);
    if (trimmed.empty()) return path.substr(0, 0);
    return path.substr(path.find(trimmed), trimmed.size());
}

std::string pathExtension(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = component.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(component.substr(dot + 1));
}

std::string lowercasedText(std::string_view value) { return text::lowercased(value); }

std::string validUtf8Text(std::string_view text) {
    if (text::isValidUtf8(text)) return std::string(text);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    auto length = static_cast<int32_t>(text.size());
    std::string valid;
    valid.reserve(text.size() + 16);
    for (int32_t index = 0; index < length;) {
        int32_t start = index;
        UChar32 c;
        U8_NEXT(bytes, index, length, c);
        if (c < 0) {
            // One replacement for the first byte only; the next byte starts afresh.
            valid += "\xEF\xBF\xBD";
            index = start + 1;
        } else {
            valid.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(index - start)));
        }
    }
    return valid;
}

bool existsAtPath(const std::string& path) {
    // No Linux file name holds a NUL: the system would read the name only up to
    // it, and so look at another file.
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    std::error_code error;
    return std::filesystem::exists(path, error);
}

} // namespace mediainfo
