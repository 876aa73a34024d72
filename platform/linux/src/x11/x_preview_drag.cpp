#include "x11/x_preview_drag.h"

#include <algorithm>

namespace platform::linux_backend {
namespace {

// _NET_WM_MOVERESIZE_MOVE, and the source indication of a normal application.
constexpr uint32_t kMoveResizeMove = 8;
constexpr uint32_t kSourceApplication = 1;

// A window manager is running (it names its check window) and supports _NET_WM_MOVERESIZE.
bool windowManagerMoves(const XConnection& connection) {
    auto* c = connection.get();
    auto check = takeReply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, connection.root(), internAtom(connection, "_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW,
                            0, 1),
        nullptr));
    if (!check || xcb_get_property_value_length(check.get()) < 4) return false;
    auto supported = takeReply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, connection.root(), internAtom(connection, "_NET_SUPPORTED"), XCB_ATOM_ATOM, 0, 4096),
        nullptr));
    if (!supported) return false;
    const xcb_atom_t moveResize = internAtom(connection, "_NET_WM_MOVERESIZE");
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(supported.get()));
    const int count = xcb_get_property_value_length(supported.get()) / 4;
    return std::find(atoms, atoms + count, moveResize) != atoms + count;
}

} // namespace

void XPreviewDrag::press(const XConnection& connection, xcb_window_t window, const xcb_button_press_event_t& press) {
    auto* c = connection.get();
    if (windowManagerMoves(connection)) {
        // The window manager takes the pointer over from the press's implicit grab.
        xcb_ungrab_pointer(c, press.time);
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = internAtom(connection, "_NET_WM_MOVERESIZE");
        message.data.data32[0] = uint32_t(press.root_x);
        message.data.data32[1] = uint32_t(press.root_y);
        message.data.data32[2] = kMoveResizeMove;
        message.data.data32[3] = XCB_BUTTON_INDEX_1;
        message.data.data32[4] = kSourceApplication;
        xcb_send_event(c, 0, connection.root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(c);
        return;
    }
    following_ = true;
    grabOffset_ = {press.event_x, press.event_y};
}

std::optional<Point> XPreviewDrag::originAt(const xcb_motion_notify_event_t& motion) const {
    if (!following_) return std::nullopt;
    return Point{double(motion.root_x - grabOffset_.first), double(motion.root_y - grabOffset_.second)};
}

} // namespace platform::linux_backend
