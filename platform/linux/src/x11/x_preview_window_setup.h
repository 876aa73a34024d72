#pragma once
// How a preview window is made on the X server: its visual, the properties that
// tell a window manager how to treat it, and its shape.

#include "x11/x_connection.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace platform::linux_backend {

struct PreviewVisual {
    xcb_visualid_t id;
    uint8_t depth;
};

// The root window's visual, or a 32-bit TrueColor one (an ARGB window) when a
// compositing manager runs to blend it.
PreviewVisual choosePreviewVisual(const XConnection& connection);

// Title and class; no decorations, above normal windows, on every desktop, out of
// the task bar and pager; the process id.
void setPreviewWindowHints(const XConnection& connection, xcb_window_t window);

// The program chose the place (a window manager keeps it) and the size is fixed.
void setPreviewNormalHints(const XConnection& connection, xcb_window_t window, std::pair<int32_t, int32_t> origin,
                           int width, int height);

// Cuts the window to the pixels whose coverage (row by row) reaches `threshold`.
// False when the server has no Shape extension: the window stays rectangular.
bool shapePreviewWindow(const XConnection& connection, xcb_window_t window, const std::vector<uint8_t>& coverage,
                        int width, int height, uint8_t threshold);

} // namespace platform::linux_backend
