#pragma once
// The work area that the window manager publishes (_NET_WORKAREA of the current desktop).

#include "x11/x_connection.h"

#include "platform/geometry.h"

#include <optional>

namespace platform::linux_backend {

std::optional<Rect> currentWorkArea(const XConnection& connection);

} // namespace platform::linux_backend
