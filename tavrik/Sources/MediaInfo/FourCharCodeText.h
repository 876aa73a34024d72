#pragma once
// The text of a four-character code: its bytes from the most significant on,
// zero bytes left out. "unknown" when a byte is not ASCII or no byte is left.

#include "platform/format_description.h"

#include <string>

namespace mediainfo {

std::string fourCharCodeText(platform::FourCharCode code);

} // namespace mediainfo
