#pragma once
// D-Bus calls with a deadline. libdbus's own blocking calls cannot be used for a
// bus or a peer that may not answer: the bus registration waits without a bound,
// and a reply's time-out is not checked while the connection still authenticates.
// Here every step of a call reads the connection only until its deadline.

#include <dbus/dbus.h>

#include <chrono>
#include <memory>
#include <string>

namespace platform::linux_backend {

using DBusClock = std::chrono::steady_clock;

struct DBusConnectionCloser {
    void operator()(DBusConnection* connection) const;
};
using DBusConnectionPointer = std::unique_ptr<DBusConnection, DBusConnectionCloser>;

struct DBusMessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using DBusMessagePointer = std::unique_ptr<DBusMessage, DBusMessageUnref>;

// A private connection to a message bus, registered with it (the bus's Hello)
// before the deadline; null on failure. It never ends the process on a disconnect.
DBusConnectionPointer connectToBusBefore(const std::string& address, DBusClock::time_point deadline);

// Sends a method call (taking it) and reads the connection until its reply comes
// or the deadline passes. The reply when it is a method return; null on an error
// reply, a lost connection, the deadline, or a null request.
DBusMessagePointer callBefore(DBusConnection* connection, DBusMessage* request, DBusClock::time_point deadline);

} // namespace platform::linux_backend
