#pragma once
// The X side of the accessibility queries: the pointer on the root window and the
// top-level windows at a point, in stacking order.

#include "platform/geometry.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform::linux_backend {

struct XTopLevel {
    Rect frame;                // root coordinates, border included
    std::optional<uint32_t> processID;  // _NET_WM_PID of the window or of its client
    xcb_window_t window = XCB_WINDOW_NONE;
};

// One connection to $DISPLAY shared by every thread (XCB is thread-safe), opened at
// the first use and opened again after it broke.
class XDisplayLink {
public:
    // The pointer on the root window in root coordinates; nullopt without an X server.
    std::optional<Point> pointer();
    // The viewable children of the root window that hold the point, topmost first,
    // down to the first that tells its process (the windows under it cannot be
    // seen there); nullopt without an X server. Usually one window: the X server
    // names the topmost child at the point, and only a window without a process id
    // (an override-redirect window, a frame without one) needs the whole stack.
    std::optional<std::vector<XTopLevel>> topLevelsAt(int x, int y);

private:
    struct Link {
        xcb_connection_t* connection = nullptr;
        xcb_window_t root = 0;
        xcb_atom_t pidAtom = 0;
        ~Link();
    };
    std::shared_ptr<Link> link();
    // The root's child under the pointer as the last pointer reading gave it, when
    // that reading is of this point and a few milliseconds old at most.
    std::optional<xcb_window_t> childUnderPointerAt(int x, int y);
    // The topmost child of the root at the point, when it tells its process; nullopt
    // otherwise (no child there gives an empty frame and no process).
    std::optional<XTopLevel> topmostWithProcess(const Link& current, int x, int y, bool& nothingThere);
    std::optional<std::vector<XTopLevel>> wholeStackAt(const Link& current, int x, int y);

    struct PointerReading {
        int x;
        int y;
        xcb_window_t child;
        std::chrono::steady_clock::time_point readAt;
    };
    static constexpr std::chrono::milliseconds kPointerReadingLifetime{20};

    std::mutex mutex_;  // guards link_ and lastPointer_
    std::shared_ptr<Link> link_;
    std::optional<PointerReading> lastPointer_;
};

} // namespace platform::linux_backend
