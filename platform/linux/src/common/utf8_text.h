#pragma once
// Text that the window system, the sound server or a driver hands over is not
// always valid UTF-8; the platform contract promises it is.

#include <string>
#include <string_view>

namespace platform::linux_backend {

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view text);
// ISO 8859-1 bytes as UTF-8.
std::string latin1ToUtf8(std::string_view text);

} // namespace platform::linux_backend
