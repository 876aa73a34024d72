#include "accessibility/accessibility_bus.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace platform::linux_backend {
namespace {

// The first call may start the bus launcher through D-Bus activation.
constexpr int kCallTimeoutMilliseconds = 3000;

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

// The session bus's address: $DBUS_SESSION_BUS_ADDRESS, else the user bus of
// $XDG_RUNTIME_DIR. Never libdbus's autolaunch, which would start a bus of its own.
std::string sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::string("unix:path=") + runtime + "/bus";
    }
    return {};
}

// A private connection to a message bus, registered with it; null on failure.
Connection connectToBus(const std::string& address) {
    if (address.empty()) return nullptr;
    DBusError error;
    dbus_error_init(&error);
    Connection connection(dbus_connection_open_private(address.c_str(), &error));
    if (!connection) {
        dbus_error_free(&error);
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    if (!dbus_bus_register(connection.get(), &error)) {
        dbus_error_free(&error);
        return nullptr;
    }
    return connection;
}

Message call(DBusConnection* connection, DBusMessage* request) {
    Message owned(request);
    if (!request) return nullptr;
    DBusError error;
    dbus_error_init(&error);
    Message reply(dbus_connection_send_with_reply_and_block(connection, request, kCallTimeoutMilliseconds, &error));
    if (!reply) dbus_error_free(&error);
    return reply;
}

std::string accessibilityBusAddress(DBusConnection* session) {
    Message reply = call(session, dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                               "GetAddress"));
    const char* address = nullptr;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &address, DBUS_TYPE_INVALID)) {
        return {};
    }
    return address ? address : "";
}

bool accessibilityEnabled(DBusConnection* session) {
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
    Message reply = call(session, request);
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

bool accessibilityBusEnabled() {
    Connection session = connectToBus(sessionBusAddress());
    if (!session) return false;
    std::string address = accessibilityBusAddress(session.get());
    if (address.empty() || !connectToBus(address)) return false;
    return accessibilityEnabled(session.get());
}

} // namespace platform::linux_backend
