#pragma once
// Top-level windows, front to back. With an EWMH window manager: its client list
// in stacking order; without one: the mapped children of the root window.

#include "x11/x_connection.h"

#include "platform/shareable_content.h"

#include <vector>

namespace platform::linux_backend {

std::vector<Window> listWindows(const XConnection& connection, const ShareableContentOptions& options);

} // namespace platform::linux_backend
