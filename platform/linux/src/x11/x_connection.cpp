#include "x11/x_connection.h"

#include "platform/error.h"
#include "platform/shareable_content.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform::linux_backend {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool isWaylandSession() {
    return !environment("WAYLAND_DISPLAY").empty() || environment("XDG_SESSION_TYPE") == "wayland";
}

[[noreturn]] void failToReachX(const std::string& display, const std::string& failure, int64_t code) {
    std::string reason;
    if (display.empty()) {
        reason = isWaylandSession()
                     ? "this is a Wayland session without an X server: XWayland is not running (DISPLAY is not set)"
                     : "no X display is set (DISPLAY is not set)";
    } else {
        reason = "cannot connect to the X display \"" + display + "\"";
        if (isWaylandSession()) reason += " of this Wayland session: XWayland is not running there";
    }
    throw PlatformError(kStreamErrorDomain, code, failure + ": " + reason + ".");
}

// An X server resets when its last client leaves: it frees everything and refuses
// connections while it starts afresh. Where the program is the server's only client
// (a virtual server without a desktop), each query's connection would be the last,
// and the server would reset between the queries. One connection to the display is
// therefore held for the life of the process; it is made again when the display
// changes or the server it reached went away.
void holdServer(const std::string& display) {
    static std::mutex mutex;  // guards the two below
    static std::string heldDisplay;
    static xcb_connection_t* held = nullptr;
    std::lock_guard guard(mutex);
    if (held && heldDisplay == display) {
        // Nothing is asked on it; reading what the server sends all clients notices a broken connection.
        while (xcb_generic_event_t* event = xcb_poll_for_event(held)) std::free(event);
        if (!xcb_connection_has_error(held)) return;
    }
    if (held) xcb_disconnect(held);
    held = xcb_connect(display.c_str(), nullptr);
    heldDisplay = display;
    if (xcb_connection_has_error(held)) {
        xcb_disconnect(held);
        held = nullptr;
    }
}

} // namespace

XConnection XConnection::open(const std::string& failure, int64_t code) {
    std::string display = environment("DISPLAY");
    if (display.empty()) failToReachX(display, failure, code);
    int screenNumber = 0;
    // Every query opens a connection of its own and closes it at once. A server that
    // is resetting (its last client left, before the held connection below exists)
    // refuses connections for a moment: the connect fails with EAGAIN, or the server
    // resets it. A refused connect is therefore tried again a few times, a little
    // later each time (under a tenth of a second in all), before the server counts
    // as unreachable.
    constexpr int kConnectAttempts = 7;
    xcb_connection_t* connection = nullptr;
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1 << (attempt - 1)));
        connection = xcb_connect(display.c_str(), &screenNumber);
        if (!xcb_connection_has_error(connection)) break;
        xcb_disconnect(connection);
        connection = nullptr;
    }
    if (!connection) failToReachX(display, failure, code);
    holdServer(display);
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && roots.rem; ++i) xcb_screen_next(&roots);
    if (!roots.rem) {
        xcb_disconnect(connection);
        failToReachX(display, failure, code);
    }
    return XConnection(connection, roots.data);
}

void XConnection::checkAlive(int64_t code) const {
    if (xcb_connection_has_error(get())) {
        throw PlatformError(kStreamErrorDomain, code, "The connection to the X server was lost during the query.");
    }
}

xcb_atom_t internAtom(const XConnection& connection, const std::string& name) {
    auto cookie = xcb_intern_atom(connection.get(), 0, static_cast<uint16_t>(name.size()), name.c_str());
    auto reply = takeReply(xcb_intern_atom_reply(connection.get(), cookie, nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::string atomName(const XConnection& connection, xcb_atom_t atom) {
    auto reply = takeReply(xcb_get_atom_name_reply(connection.get(), xcb_get_atom_name(connection.get(), atom), nullptr));
    if (!reply) return {};
    return std::string(xcb_get_atom_name_name(reply.get()), static_cast<size_t>(xcb_get_atom_name_name_length(reply.get())));
}

} // namespace platform::linux_backend
