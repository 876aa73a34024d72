#pragma once
// Serves the platform's main queue on a thread of its own while the object lives,
// for tests whose code posts work to the main queue (preview windows, signal sources).

#include "platform/queues.h"

#include <functional>
#include <thread>
#include <utility>

namespace test_support {

class MainQueueThread {
public:
    // `beforeStop` runs when the object ends, before the queue stops (such as hiding a
    // window that lives on the main queue).
    explicit MainQueueThread(std::function<void()> beforeStop = {})
        : beforeStop_(std::move(beforeStop)), thread_([] { platform::runMainQueue(); }) {
        // Stopping before the thread serves would be undone by its start: wait until it serves.
        platform::mainQueue()->sync([] {});
    }
    ~MainQueueThread() {
        if (beforeStop_) beforeStop_();
        platform::mainQueue()->sync([] {});
        platform::stopMainQueue();
        thread_.join();
    }
    MainQueueThread(const MainQueueThread&) = delete;
    MainQueueThread& operator=(const MainQueueThread&) = delete;

private:
    std::function<void()> beforeStop_;
    std::thread thread_;
};

} // namespace test_support
