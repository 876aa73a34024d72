#include "platform/queues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

TEST(Queues, SerialQueueRunsTasksOneAtATimeInOrder) {
    auto queue = platform::makeSerialQueue("test.serial");
    EXPECT_EQ(queue->label(), "test.serial");
    EXPECT_TRUE(queue->isSerial());
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 1000; ++i) {
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue->sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(order[i], i);
}

TEST(Queues, GlobalQueueRunsTasksInParallel) {
    auto queue = platform::globalQueue();
    EXPECT_FALSE(queue->isSerial());
    std::promise<void> bothRunning;
    std::atomic<int> arrived{0};
    std::promise<void> release;
    auto released = release.get_future().share();
    std::vector<std::future<void>> done;
    for (int i = 0; i < 2; ++i) {
        auto finished = std::make_shared<std::promise<void>>();
        done.push_back(finished->get_future());
        queue->async([&, finished, released] {
            if (arrived.fetch_add(1) == 1) bothRunning.set_value();
            released.wait();
            finished->set_value();
        });
    }
    // Both tasks must be inside at once, or this never resolves (thirty seconds: generous
    // for a busy machine; the wait ends as soon as they are).
    EXPECT_EQ(bothRunning.get_future().wait_for(30s), std::future_status::ready);
    release.set_value();
    for (auto& f : done) f.wait();
}

TEST(Queues, MainQueueRunsOnTheThreadServingIt) {
    std::thread::id servingThread;
    std::promise<void> served;
    std::thread mainThread([&] {
        servingThread = std::this_thread::get_id();
        platform::runMainQueue();
    });
    std::atomic<bool> ranOnMain{false};
    platform::mainQueue()->asyncAfter(10ms, [&] {
        ranOnMain = platform::isMainThread() && std::this_thread::get_id() == servingThread;
        served.set_value();
    });
    EXPECT_EQ(served.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(ranOnMain);
    EXPECT_FALSE(platform::isMainThread());
    platform::stopMainQueue();
    mainThread.join();
}
