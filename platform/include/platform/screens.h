#pragma once
// Screens as the desktop shows them: a name for each display and the part of it
// that windows may use.

#include "platform/geometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct Screen {
    // The display number this screen shows (a Display's displayID); absent when unknown.
    std::optional<uint32_t> number;
    std::string localizedName;
    Rect frame;
    // The frame less what panels and docks reserve.
    Rect visibleFrame;
    bool operator==(const Screen&) const = default;
};

struct DisplayMode {
    int64_t pixelWidth = 0;
    int64_t width = 0;  // in points
};

class ScreenService {
public:
    virtual ~ScreenService() = default;
    // The current screens; empty when the display server cannot be reached. Never throws.
    virtual std::vector<Screen> screens() = 0;
    // The number of the main display; absent when there is no display.
    virtual std::optional<uint32_t> mainDisplayNumber() = 0;
    // The current mode of a display; absent when the display has none or is unknown.
    virtual std::optional<DisplayMode> currentMode(uint32_t displayNumber) = 0;
};

} // namespace platform
