#include "platform/linux/logind_power_management.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace platform::linux_backend {
namespace {

constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";
constexpr int kCallTimeoutMilliseconds = 2000;

// Holds logind's inhibitor descriptor: the inhibition lasts until it is closed.
class InhibitorToken final : public ActivityToken {
public:
    explicit InhibitorToken(int fd) : fd_(fd) {}
    ~InhibitorToken() override { ::close(fd_); }

private:
    int fd_;
};

class NoToken final : public ActivityToken {};

struct BusError {
    DBusError error;
    BusError() { dbus_error_init(&error); }
    ~BusError() { dbus_error_free(&error); }
};

// The descriptor of an "idle" inhibitor in "block" mode; -1 when logind cannot be asked.
int inhibitIdle(const std::string& reason) {
    const char* configured = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::string address = configured && *configured ? configured : kDefaultSystemBus;
    BusError error;
    DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error.error);
    if (!connection) return -1;
    int fd = -1;
    if (dbus_bus_register(connection, &error.error)) {
        DBusMessage* call = dbus_message_new_method_call("org.freedesktop.login1", "/org/freedesktop/login1",
                                                         "org.freedesktop.login1.Manager", "Inhibit");
        const char* what = "idle";
        const char* who = "kalvesta-recorder";
        const char* why = reason.c_str();
        const char* mode = "block";
        if (call && dbus_message_append_args(call, DBUS_TYPE_STRING, &what, DBUS_TYPE_STRING, &who, DBUS_TYPE_STRING,
                                             &why, DBUS_TYPE_STRING, &mode, DBUS_TYPE_INVALID)) {
            DBusMessage* reply =
                dbus_connection_send_with_reply_and_block(connection, call, kCallTimeoutMilliseconds, &error.error);
            if (reply) {
                int received = -1;
                if (dbus_message_get_args(reply, &error.error, DBUS_TYPE_UNIX_FD, &received, DBUS_TYPE_INVALID)) {
                    fd = received;  // ours: the library hands over a duplicate
                }
                dbus_message_unref(reply);
            }
        }
        if (call) dbus_message_unref(call);
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return fd;
}

class LogindPowerManagement final : public PowerManagement {
public:
    LogindPowerManagement() { dbus_threads_init_default(); }

    std::shared_ptr<ActivityToken> beginActivity(uint64_t options, const std::string& reason) override {
        if ((options & activity_options::idleSystemSleepDisabled) == 0) return std::make_shared<NoToken>();
        int fd = inhibitIdle(reason);
        if (fd < 0) return std::make_shared<NoToken>();
        return std::make_shared<InhibitorToken>(fd);
    }
};

} // namespace

std::shared_ptr<PowerManagement> makeLogindPowerManagement() { return std::make_shared<LogindPowerManagement>(); }

} // namespace platform::linux_backend
