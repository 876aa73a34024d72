#include "MediaInfo/PathText.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <filesystem>

namespace mediainfo {
namespace {

bool isTrimmable(UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; }

bool isValidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int32_t length = static_cast<int32_t>(text.size());
    for (int32_t index = 0; index < length;) {
        UChar32 c;
        U8_NEXT(bytes, index, length, c);
        if (c < 0) return false;
    }
    return true;
}

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

} // namespace

std::string trimmedPath(std::string_view path) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(path.data());
    int32_t length = static_cast<int32_t>(path.size());
    int32_t begin = 0;
    while (begin < length) {
        int32_t next = begin;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !isTrimmable(c)) break;
        begin = next;
    }
    int32_t end = length;
    while (end > begin) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, begin, previous, c);
        if (c < 0 || !isTrimmable(c)) break;
        end = previous;
    }
    return std::string(path.substr(begin, end - begin));
}

std::string pathExtension(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = component.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(component.substr(dot + 1));
}

std::string lowercasedText(std::string_view text) {
    std::string result;
    unicode(text).toLower(icu::Locale::getRoot()).toUTF8String(result);
    return result;
}

std::string canonicalKey(std::string_view path) {
    // 0xFF never occurs in UTF-8, so raw keys cannot meet normalised ones.
    if (!isValidUtf8(path)) return "\xff" + std::string(path);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(path);
    icu::UnicodeString normalized = nfc->normalize(unicode(path), status);
    if (U_FAILURE(status)) return std::string(path);
    std::string key;
    normalized.toUTF8String(key);
    return key;
}

bool existsAtPath(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::exists(path, error);
}

} // namespace mediainfo
