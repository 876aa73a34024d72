#pragma once
// One connection to the X server for one query. Opening it explains, in the
// error's localized description, what is missing when no X server can be reached.

#include "platform/shareable_content.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace platform::linux_backend {

class XConnection {
public:
    // Connects to $DISPLAY. Throws PlatformError (kStreamErrorNoDisplayList) when no X
    // server can be reached, saying whether DISPLAY is unset, the server refused or
    // the session is a Wayland one without XWayland. The description starts with
    // `failure` followed by the reason; `code` is the error's code.
    static XConnection open(const std::string& failure = "Screens and windows cannot be listed",
                            int64_t code = kStreamErrorNoDisplayList);

    xcb_connection_t* get() const { return connection_.get(); }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }

    // Throws PlatformError (code) when the server connection broke during a query.
    void checkAlive(int64_t code) const;

private:
    struct Disconnect {
        void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
    };
    XConnection(xcb_connection_t* connection, xcb_screen_t* screen) : connection_(connection), screen_(screen) {}

    std::unique_ptr<xcb_connection_t, Disconnect> connection_;
    xcb_screen_t* screen_;
};

// A reply pointer that frees itself.
template <class Reply>
using XReply = std::unique_ptr<Reply, decltype(&std::free)>;

template <class Reply>
XReply<Reply> takeReply(Reply* reply) {
    return XReply<Reply>(reply, &std::free);
}

// The atom of a name (interned when missing); XCB_ATOM_NONE when the server refuses.
xcb_atom_t internAtom(const XConnection& connection, const std::string& name);
std::string atomName(const XConnection& connection, xcb_atom_t atom);

} // namespace platform::linux_backend
