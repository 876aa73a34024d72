// The Linux accessibility backend's bounds: a D-Bus peer that never answers costs
// no more than the deadline, and a caller asked to stop leaves its wait for the
// accessibility queue at once.

#include "accessibility/accessibility_queue.h"
#include "accessibility/bounded_dbus.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using platform::linux_backend::AccessibilityQueue;
using platform::linux_backend::DBusClock;

// A Unix socket that listens but never accepts: the kernel completes the
// connection, and nothing ever answers on it, as with a stopped bus daemon.
class SilentBus {
public:
    SilentBus() {
        char pattern[] = "/tmp/glintor-silent-XXXXXX";
        folder_ = mkdtemp(pattern);
        path_ = folder_ + "/bus";
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
    }
    ~SilentBus() {
        close(fd_);
        std::filesystem::remove_all(folder_);
    }
    std::string address() const { return "unix:path=" + path_; }

private:
    std::string folder_;
    std::string path_;
    int fd_ = -1;
};

double secondsSince(DBusClock::time_point start) {
    return std::chrono::duration<double>(DBusClock::now() - start).count();
}

TEST(BoundedDBus, ABusThatNeverAnswersGivesNoConnectionByTheDeadline) {
    SilentBus bus;
    for (auto limit : {50ms, 300ms}) {
        auto start = DBusClock::now();
        EXPECT_EQ(platform::linux_backend::connectToBusBefore(bus.address(), start + limit), nullptr);
        double took = secondsSince(start);
        // Never before the deadline; after it, only a loaded machine's wake-up delay,
        // far below the 5 s that separate it from a wait without a bound.
        EXPECT_GE(took, std::chrono::duration<double>(limit).count() * 0.9);
        EXPECT_LT(took, std::chrono::duration<double>(limit).count() + 5.0);
    }
}

TEST(BoundedDBus, NoAddressOrNoListenerFailsAtOnce) {
    auto start = DBusClock::now();
    EXPECT_EQ(platform::linux_backend::connectToBusBefore("", start + 10s), nullptr);
    EXPECT_EQ(platform::linux_backend::connectToBusBefore("unix:path=/nonexistent/glintor-bus", start + 10s), nullptr);
    // Nothing is waited for: well under the 10 s deadline even on a loaded machine.
    EXPECT_LT(secondsSince(start), 5.0);
}

TEST(AccessibilityQueue, AStopEndsTheWaitForRunningWorkWhichFinishesOnItsOwn) {
    AccessibilityQueue queue;
    std::atomic<bool> release{false};
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    std::stop_source stop;
    std::thread stopper([&] {
        while (!started) std::this_thread::sleep_for(1ms);
        stop.request_stop();
    });
    auto start = DBusClock::now();
    bool ran = queue.run(
        [&] {
            started = true;
            while (!release) std::this_thread::sleep_for(1ms);
            finished = true;
        },
        stop.get_token());
    stopper.join();
    EXPECT_FALSE(ran);
    EXPECT_FALSE(finished);
    // The work still holds the queue (and would for ever); the caller left at the
    // stop request, within a loaded machine's wake-up delay.
    EXPECT_LT(secondsSince(start), 5.0);
    release = true;
    // The queue goes on: the next work runs once the abandoned one has finished.
    EXPECT_TRUE(queue.run([] {}));
    EXPECT_TRUE(finished);
    queue.end();
}

TEST(AccessibilityQueue, AbandonedWorkThatHasNotStartedNeverRuns) {
    AccessibilityQueue queue;
    std::atomic<bool> release{false};
    std::atomic<bool> started{false};
    std::atomic<bool> droppedRan{false};
    std::thread holder([&] {
        queue.run([&] {
            started = true;
            while (!release) std::this_thread::sleep_for(1ms);
        });
    });
    while (!started) std::this_thread::sleep_for(1ms);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(queue.run([&] { droppedRan = true; }, stop.get_token()));
    release = true;
    holder.join();
    EXPECT_TRUE(queue.run([] {}));
    EXPECT_FALSE(droppedRan);
    queue.end();
}

} // namespace
