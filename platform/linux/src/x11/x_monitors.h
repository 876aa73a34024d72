#pragma once
// The X server's monitors (RandR 1.5), the source of both the displays of the
// shareable content and the screens.

#include "x11/x_connection.h"

#include "platform/geometry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_backend {

struct XMonitor {
    // The first output's identifier; a monitor without outputs (a virtual one, set
    // up by a client) is numbered by its name atom, which the server keeps unique.
    uint32_t number = 0;
    Rect frame;  // in root-window coordinates
    bool primary = false;
    std::string monitorName;
    std::string outputName;  // empty for a monitor without outputs
    std::optional<std::string> productName;  // from the first output's EDID
};

// The monitors in the server's order. Without RandR 1.5 the whole X screen is one
// monitor numbered by its root window. Names are read only when asked for.
std::vector<XMonitor> listMonitors(const XConnection& connection, bool withNames);

} // namespace platform::linux_backend
