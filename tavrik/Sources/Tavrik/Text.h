#pragma once
// The Unicode text helpers, under the control program's names.

#include "UnicodeText/Text.h"

namespace tavrik {

using text::isValidUtf8;
using text::lowercased;
using text::trimmedSpaces;

} // namespace tavrik
