#include "accessibility/accessibility_bus.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace platform::linux_backend {
namespace {

using Clock = std::chrono::steady_clock;

struct ConnectionCloser {
    void operator()(DBusConnection* connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
using Connection = std::unique_ptr<DBusConnection, ConnectionCloser>;

struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

struct PendingUnref {
    void operator()(DBusPendingCall* pending) const {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
    }
};
using Pending = std::unique_ptr<DBusPendingCall, PendingUnref>;

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The session bus's address: $DBUS_SESSION_BUS_ADDRESS, else the user bus of
// $XDG_RUNTIME_DIR. Never libdbus's autolaunch, which would start a bus of its own.
std::string sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::string("unix:path=") + runtime + "/bus";
    }
    return {};
}

// Sends a method call and reads the connection until its reply comes or the
// deadline passes. libdbus's own blocking calls cannot be used: the bus
// registration waits without a bound, and a reply's time-out is not checked while
// the connection is still authenticating. Null on an error reply, a lost
// connection or the deadline.
Message call(DBusConnection* connection, DBusMessage* request, Clock::time_point deadline) {
    Message owned(request);
    if (!request) return nullptr;
    DBusPendingCall* rawPending = nullptr;
    if (!dbus_connection_send_with_reply(connection, request, &rawPending, DBUS_TIMEOUT_INFINITE) || !rawPending) {
        return nullptr;
    }
    Pending pending(rawPending);
    while (!dbus_pending_call_get_completed(pending.get())) {
        int left = millisecondsLeft(deadline);
        if (left == 0) return nullptr;
        if (!dbus_connection_read_write_dispatch(connection, left)) return nullptr;  // disconnected
    }
    Message reply(dbus_pending_call_steal_reply(pending.get()));
    if (!reply || dbus_message_get_type(reply.get()) != DBUS_MESSAGE_TYPE_METHOD_RETURN) return nullptr;
    return reply;
}

// A private connection to a message bus, registered with it (the bus's Hello)
// before the deadline; null on failure.
Connection connectToBus(const std::string& address, Clock::time_point deadline) {
    if (address.empty()) return nullptr;
    DBusError error;
    dbus_error_init(&error);
    Connection connection(dbus_connection_open_private(address.c_str(), &error));
    if (!connection) {
        dbus_error_free(&error);
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    Message hello = call(connection.get(),
                         dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello"),
                         deadline);
    if (!hello) return nullptr;
    return connection;
}

std::string accessibilityBusAddress(DBusConnection* session, Clock::time_point deadline) {
    Message reply = call(session,
                         dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"),
                         deadline);
    const char* address = nullptr;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &address, DBUS_TYPE_INVALID)) {
        return {};
    }
    return address ? address : "";
}

bool accessibilityEnabled(DBusConnection* session, Clock::time_point deadline) {
    DBusMessage* request = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                        "org.freedesktop.DBus.Properties", "Get");
    if (!request) return false;
    const char* interface = "org.a11y.Status";
    const char* property = "IsEnabled";
    if (!dbus_message_append_args(request, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                                  DBUS_TYPE_INVALID)) {
        dbus_message_unref(request);
        return false;
    }
    Message reply = call(session, request, deadline);
    if (!reply) return false;
    DBusMessageIter iterator;
    DBusMessageIter variant;
    if (!dbus_message_iter_init(reply.get(), &iterator) ||
        dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_VARIANT) {
        return false;
    }
    dbus_message_iter_recurse(&iterator, &variant);
    if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_BOOLEAN) return false;
    dbus_bool_t enabled = FALSE;
    dbus_message_iter_get_basic(&variant, &enabled);
    return enabled;
}

} // namespace

std::optional<std::string> enabledAccessibilityBusAddress(std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    Connection session = connectToBus(sessionBusAddress(), deadline);
    if (!session) return std::nullopt;
    std::string address = accessibilityBusAddress(session.get(), deadline);
    if (address.empty() || !connectToBus(address, deadline)) return std::nullopt;
    if (!accessibilityEnabled(session.get(), deadline)) return std::nullopt;
    return address;
}

} // namespace platform::linux_backend
