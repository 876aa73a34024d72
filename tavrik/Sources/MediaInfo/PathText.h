#pragma once
// Path texts as the prober compares and splits them.

#include <string>
#include <string_view>

namespace mediainfo {

// Removes horizontal tabs and Unicode space separators (category Zs) at both
// ends; line breaks stay.
std::string trimmedPath(std::string_view path);
// The same trimmed text, as a view into `path`.
std::string_view trimmedPathView(std::string_view path);
// The part of the last path component after its last dot, as written; empty
// when the component has no dot. Trailing slashes do not count as a component.
std::string pathExtension(std::string_view path);
// Full Unicode lower-casing.
std::string lowercasedText(std::string_view text);
// The text as valid UTF-8: each byte that does not belong to a well-formed
// sequence becomes U+FFFD. Linux file names are bytes, replies are UTF-8.
std::string validUtf8Text(std::string_view text);
// Whether anything, a file or a directory, exists at the path (links followed).
// A path holding a NUL names nothing.
bool existsAtPath(const std::string& path);

} // namespace mediainfo
