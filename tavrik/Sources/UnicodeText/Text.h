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
// Appends `text` as a JSON string in the wire format of every JSON the programs write:
// quotes, backslashes and "/" escaped, control characters as \b \f \n \r \t or \u00XX,
// everything else as UTF-8. False, with nothing appended, when `text` is not UTF-8.
bool appendJsonString(std::string& out, std::string_view text);

} // namespace text
