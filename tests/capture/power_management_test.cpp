// The logind idle inhibitor of the Linux backend on a private D-Bus daemon: with a
// stand-in logind the token holds the inhibitor and closes it when released; with
// no logind, or no bus at all, the token does nothing and beginning never fails.

#include "child_process.h"
#include "eventually.h"
#include "temporary_directory.h"

#include "platform/linux/logind_power_management.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

using test_support::ChildProcess;
using test_support::TemporaryDirectory;

// A dbus-daemon of its own; DBUS_SYSTEM_BUS_ADDRESS points at it while it lives.
class PrivateBus {
public:
    PrivateBus() {
        address_ = "unix:path=" + folder_.path() + "/bus";
        std::ofstream(folder_.path() + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>system</type><listen>" << address_ << "</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
               "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        daemon_ = ChildProcess::background({"dbus-daemon", "--nofork", "--config-file=" + folder_.path() + "/bus.conf"});
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        started_ = test_support::eventually([&] { return access((folder_.path() + "/bus").c_str(), F_OK) == 0; });
    }
    ~PrivateBus() {
        daemon_.stop();
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    bool started() const { return started_; }
    const std::string& address() const { return address_; }

private:
    TemporaryDirectory folder_;
    std::string address_;
    ChildProcess daemon_;
    bool started_ = false;
};

// Answers Inhibit like logind: with the write end of a pipe whose read end it keeps.
class StandInLogind {
public:
    explicit StandInLogind(const std::string& address) {
        DBusError error;
        dbus_error_init(&error);
        connection_ = dbus_connection_open_private(address.c_str(), &error);
        if (connection_ && dbus_bus_register(connection_, &error)) {
            owned_ = dbus_bus_request_name(connection_, "org.freedesktop.login1", DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) ==
                     DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
        }
        dbus_error_free(&error);
        if (owned_) thread_ = std::thread([this] { serve(); });
    }
    ~StandInLogind() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (connection_) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
        }
        if (inhibitorReadEnd_ >= 0) close(inhibitorReadEnd_);
    }
    bool ready() const { return owned_; }

    std::vector<std::string> arguments() {
        std::lock_guard guard(mutex_);
        return arguments_;
    }
    // Whether every copy of the inhibitor descriptor handed out has been closed.
    bool inhibitorReleased() {
        int fd;
        {
            std::lock_guard guard(mutex_);
            fd = inhibitorReadEnd_;
        }
        if (fd < 0) return false;
        pollfd hangUp{fd, POLLIN, 0};
        return poll(&hangUp, 1, 0) == 1 && (hangUp.revents & POLLHUP);
    }

private:
    void serve() {
        while (!stopping_) {
            dbus_connection_read_write(connection_, 50);
            while (DBusMessage* message = dbus_connection_pop_message(connection_)) {
                if (dbus_message_is_method_call(message, "org.freedesktop.login1.Manager", "Inhibit")) answer(message);
                dbus_message_unref(message);
            }
        }
    }

    void answer(DBusMessage* call) {
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &what, DBUS_TYPE_STRING, &who, DBUS_TYPE_STRING, &why,
                              DBUS_TYPE_STRING, &mode, DBUS_TYPE_INVALID);
        int ends[2];
        if (pipe(ends) != 0) return;
        // Recorded before the reply goes out: the caller may read them back as soon as it has its answer.
        {
            std::lock_guard guard(mutex_);
            arguments_ = {what ? what : "", who ? who : "", why ? why : "", mode ? mode : ""};
            inhibitorReadEnd_ = ends[0];
        }
        DBusMessage* reply = dbus_message_new_method_return(call);
        dbus_message_append_args(reply, DBUS_TYPE_UNIX_FD, &ends[1], DBUS_TYPE_INVALID);
        dbus_connection_send(connection_, reply, nullptr);
        dbus_connection_flush(connection_);
        dbus_message_unref(reply);
        close(ends[1]);  // the message carried its own copy
    }

    DBusConnection* connection_ = nullptr;
    bool owned_ = false;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;  // guards arguments_ and inhibitorReadEnd_
    std::vector<std::string> arguments_;
    int inhibitorReadEnd_ = -1;
};

constexpr uint64_t kIdleSleepDisabled = platform::activity_options::idleSystemSleepDisabled;

TEST(LogindPowerManagement, TheTokenHoldsAnIdleInhibitorUntilItIsReleased) {
    PrivateBus bus;
    ASSERT_TRUE(bus.started());
    StandInLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    auto power = platform::linux_backend::makeLogindPowerManagement();
    auto token = power->beginActivity(kIdleSleepDisabled, "Recording screen");
    ASSERT_TRUE(token);
    EXPECT_EQ(logind.arguments(), (std::vector<std::string>{"idle", "kalvesta-recorder", "Recording screen", "block"}));
    EXPECT_FALSE(logind.inhibitorReleased()) << "the token holds the inhibitor";
    token.reset();
    EXPECT_TRUE(test_support::eventually([&] { return logind.inhibitorReleased(); })) << "released with the token";
}

TEST(LogindPowerManagement, WithoutLogindOrWithoutABusTheTokenDoesNothing) {
    auto power = platform::linux_backend::makeLogindPowerManagement();
    {
        PrivateBus bus;  // a bus on which nobody answers for logind
        ASSERT_TRUE(bus.started());
        auto token = power->beginActivity(kIdleSleepDisabled, "Recording screen");
        EXPECT_TRUE(token);
    }
    TemporaryDirectory nowhere;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + nowhere.path() + "/no-bus").c_str(), 1);
    auto token = power->beginActivity(kIdleSleepDisabled, "Recording screen");
    EXPECT_TRUE(token);
    token.reset();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace
