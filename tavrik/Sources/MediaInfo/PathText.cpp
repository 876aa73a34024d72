#include "MediaInfo/PathText.h"

#include "UnicodeText/Text.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <filesystem>

namespace mediainfo {
namespace {

icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

} // namespace

std::string trimmedPath(std::string_view path) { return text::trimmedSpaces(path); }

std::string pathExtension(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    auto slash = path.rfind('/');
    std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
    auto dot = component.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(component.substr(dot + 1));
}

std::string lowercasedText(std::string_view value) { return text::lowercased(value); }

std::string canonicalKey(std::string_view path) {
    // 0xFF never occurs in UTF-8, so raw keys cannot meet normalised ones.
    if (!text::isValidUtf8(path)) return "\xff" + std::string(path);
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
