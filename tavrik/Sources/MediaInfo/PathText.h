#pragma once
// Path texts as the prober compares and splits them.

#include <string>
#include <string_view>

namespace mediainfo {

// Removes horizontal tabs and Unicode space separators (category Zs) at both
// ends; line breaks stay.
std::string trimmedPath(std::string_view path);
// The part of the last path component after its last dot, as written; empty
// when the component has no dot. Trailing slashes do not count as a component.
std::string pathExtension(std::string_view path);
// Full Unicode lower-casing.
std::string lowercasedText(std::string_view text);
// Equal for canonically equivalent paths (NFC); a path that is not valid UTF-8
// is its own key and equals only itself byte for byte.
std::string canonicalKey(std::string_view path);
// Whether anything, a file or a directory, exists at the path (links followed).
bool existsAtPath(const std::string& path);

} // namespace mediainfo
