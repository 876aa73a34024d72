// Signal sources of the platform: arrivals handled on the main queue, the
// disposition a released source gives back, and the delivery a program makes
// before it leaves the main queue.

#include "eventually.h"
#include "main_queue_thread.h"

#include "platform/queues.h"
#include "platform/signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

namespace {

// SIGUSR1 stands for the handled signals: no other part of the test process uses it.
constexpr int kSignal = SIGUSR1;

void (*currentDisposition(int number))(int) {
    struct sigaction current {};
    sigaction(number, nullptr, &current);
    return current.sa_handler;
}

} // namespace

TEST(SignalSources, ArrivalsRunOnTheMainQueueAndAReleasedSourceGivesBackTheDispositionItFound) {
    test_support::MainQueueThread mainQueue;
    for (auto found : {SIG_IGN, SIG_DFL}) {
        SCOPED_TRACE(found == SIG_IGN ? "ignored before" : "default before");
        std::signal(kSignal, found);
        std::atomic<int> handled{0};
        std::atomic<bool> onMain{true};
        auto source = platform::makeSignalSource(kSignal, [&] {
            onMain = onMain && platform::isMainThread();
            ++handled;
        });
        source->resume();
        std::raise(kSignal);
        EXPECT_TRUE(test_support::eventually([&] { return handled == 1; }));
        std::raise(kSignal);
        EXPECT_TRUE(test_support::eventually([&] { return handled == 2; }));
        EXPECT_TRUE(onMain);
        source.reset();
        EXPECT_EQ(currentDisposition(kSignal), found);
    }
    // Ignored again, and a source released: an arrival now changes nothing.
    std::signal(kSignal, SIG_IGN);
    std::raise(kSignal);
    platform::mainQueue()->sync([] {});
}

TEST(SignalSources, DeliveringArrivedSignalsRunsTheirHandlersAtOnceAndOnlyOnce) {
    test_support::MainQueueThread mainQueue;
    std::signal(kSignal, SIG_IGN);
    std::atomic<int> handled{0};
    auto source = platform::makeSignalSource(kSignal, [&] { ++handled; });
    source->resume();
    int handledInTask = -1;
    // In one task of the main queue, as a program's exit is: the signal arrives (raise
    // runs the process-level handler before it returns), and the delivery handles it
    // there, before anything queued after it.
    platform::mainQueue()->sync([&] {
        std::raise(kSignal);
        platform::deliverArrivedSignals();
        handledInTask = handled;
    });
    EXPECT_EQ(handledInTask, 1);
    // The main queue's own wake-up for that arrival finds it handled.
    platform::mainQueue()->sync([] {});
    platform::mainQueue()->sync([] {});
    EXPECT_EQ(handled, 1);
}

TEST(SignalSources, SeveralSourcesOfOneSignalEachRunAndTheLastGivesBackWhatTheFirstFound) {
    test_support::MainQueueThread mainQueue;
    std::signal(kSignal, SIG_DFL);
    std::atomic<int> first{0}, second{0};
    auto one = platform::makeSignalSource(kSignal, [&] { ++first; });
    one->resume();
    // As a second owner does before it makes its source: the signal ignored meanwhile.
    std::signal(kSignal, SIG_IGN);
    auto other = platform::makeSignalSource(kSignal, [&] { ++second; });
    other->resume();
    std::raise(kSignal);
    EXPECT_TRUE(test_support::eventually([&] { return first == 1 && second == 1; }));
    one.reset();
    std::raise(kSignal);
    EXPECT_TRUE(test_support::eventually([&] { return second == 2; }));
    EXPECT_EQ(first, 1);
    other.reset();
    EXPECT_EQ(currentDisposition(kSignal), SIG_DFL);
}
