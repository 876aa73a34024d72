#pragma once
// Moving a preview window by dragging anywhere in it with the first button.

#include "x11/x_connection.h"

#include "platform/geometry.h"

#include <cstdint>
#include <optional>
#include <utility>

namespace platform::linux_backend {

class XPreviewDrag {
public:
    // A press of the first button on the window: a window manager that supports
    // _NET_WM_MOVERESIZE moves the window from here; without one the window
    // follows the pointer while the button is held.
    void press(const XConnection& connection, xcb_window_t window, const xcb_button_press_event_t& press);
    // Where the window's origin goes while it follows the pointer; nothing otherwise.
    std::optional<Point> originAt(const xcb_motion_notify_event_t& motion) const;
    // The first button was released.
    void release() { following_ = false; }

private:
    bool following_ = false;
    std::pair<int16_t, int16_t> grabOffset_{0, 0};  // the pointer within the window at the press
};

} // namespace platform::linux_backend
