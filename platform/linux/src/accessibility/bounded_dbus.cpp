#include "accessibility/bounded_dbus.h"

namespace platform::linux_backend {
namespace {

struct PendingUnref {
    void operator()(DBusPendingCall* pending) const {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
    }
};
using Pending = std::unique_ptr<DBusPendingCall, PendingUnref>;

int millisecondsLeft(DBusClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - DBusClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

void DBusConnectionCloser::operator()(DBusConnection* connection) const {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

DBusMessagePointer callBefore(DBusConnection* connection, DBusMessage* request, DBusClock::time_point deadline) {
    DBusMessagePointer owned(request);
    if (!request || !connection) return nullptr;
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
    DBusMessagePointer reply(dbus_pending_call_steal_reply(pending.get()));
    if (!reply || dbus_message_get_type(reply.get()) != DBUS_MESSAGE_TYPE_METHOD_RETURN) return nullptr;
    return reply;
}

DBusConnectionPointer connectToBusBefore(const std::string& address, DBusClock::time_point deadline) {
    if (address.empty()) return nullptr;
    DBusError error;
    dbus_error_init(&error);
    DBusConnectionPointer connection(dbus_connection_open_private(address.c_str(), &error));
    if (!connection) {
        dbus_error_free(&error);
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    DBusMessagePointer hello =
        callBefore(connection.get(),
                   dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello"),
                   deadline);
    if (!hello) return nullptr;
    return connection;
}

} // namespace platform::linux_backend
