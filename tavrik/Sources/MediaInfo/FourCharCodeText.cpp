#include "MediaInfo/FourCharCodeText.h"

namespace mediainfo {

std::string fourCharCodeText(platform::FourCharCode code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto byte = static_cast<unsigned char>((code >> shift) & 0xff);
        if (byte == 0) continue;
        if (byte > 0x7f) return "unknown";
        text += static_cast<char>(byte);
    }
    // A codec with no code at all has no name either.
    return text.empty() ? "unknown" : text;
}

} // namespace mediainfo
