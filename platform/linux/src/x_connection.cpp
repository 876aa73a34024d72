#include "x_connection.h"

#include "platform/error.h"
#include "platform/shareable_content.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
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

} // namespace

XConnection XConnection::open(const std::string& failure, int64_t code) {
    std::string display = environment("DISPLAY");
    if (display.empty()) failToReachX(display, failure, code);
    int screenNumber = 0;
    // Every query opens a connection of its own and closes it at once. An X server
    // retires closed clients only when its main loop gets to them, and until then it
    // refuses new ones (the connect fails with EAGAIN, or the server resets it): a
    // burst of queries, like a host listing the screens again and again, meets such
    // refusals now and then although the server is fine. A refused connect is
    // therefore tried again a few times, a little later each time (under a tenth
    // of a second in all), before the server counts as unreachable.
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
