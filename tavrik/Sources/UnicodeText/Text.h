#pragma once
// Text helpers with Unicode semantics (ICU).

#include <string>
#include <string_view>

namespace text {

// Full Unicode lower-casing (root locale). Invalid UTF-8 sequences become U+FFFD.
std::string lowercased(std::string_view text);
// Removes horizontal tabs and Unicode space separators (category Zs) at both ends.
// Line breaks and other control characters stay.
std::string trimmedSpaces(std::string_view text);
bool isValidUtf8(std::string_view text);

} // namespace text
