#include "accessibility/accessibility_bus.h"

#include "accessibility/bounded_dbus.h"

#include <cstdlib>
#include <memory>
#include <string>

namespace platform::linux_backend {
namespace {

using Clock = DBusClock;
using Connection = DBusConnectionPointer;
using Message = DBusMessagePointer;

// The session bus's address: $DBUS_SESSION_BUS_ADDRESS, else the user bus of
// $XDG_RUNTIME_DIR. Never libdbus's autolaunch, which would start a bus of its own.
std::string sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        return std::string("unix:path=") + runtime + "/bus";
    }
    return {};
}

Message call(DBusConnection* connection, DBusMessage* request, Clock::time_point deadline) {
    return callBefore(connection, request, deadline);
}

Connection connectToBus(const std::string& address, Clock::time_point deadline) {
    return connectToBusBefore(address, deadline);
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
