#pragma once
// The accessibility queue: one thread that owns the accessibility bus connection.
// Work submitted from other threads runs there one item at a time while the
// submitter waits, or until the submitter is asked to stop.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace platform::linux_backend {

class AccessibilityQueue {
public:
    AccessibilityQueue() = default;
    // The queue lives as long as the process; end() stops its thread first.
    ~AccessibilityQueue();
    AccessibilityQueue(const AccessibilityQueue&) = delete;
    AccessibilityQueue& operator=(const AccessibilityQueue&) = delete;

    // Runs work on the queue thread and waits for it; on the queue thread itself it
    // runs at once. False, without running it, once the queue has ended. A stop
    // requested on `stop` ends the wait with false: work not yet started is dropped,
    // work already running finishes unobserved. Exceptions of the work are rethrown
    // here.
    bool run(const std::function<void()>& work, std::stop_token stop = {});
    bool onQueue() const;
    // Stops the thread: work not yet started is answered with false. A thread still
    // inside work (a call that hangs) after `patience` is left to the process's end.
    // Idempotent.
    void end(std::chrono::milliseconds patience = std::chrono::milliseconds(1000));

private:
    struct Task {
        std::function<void()> work;
        std::exception_ptr error;
        bool done = false;
        bool ran = false;
        bool abandoned = false;
    };

    void startLocked();
    void serve();

    std::mutex mutex_;  // guards everything below
    std::condition_variable_any changed_;
    std::deque<std::shared_ptr<Task>> pending_;
    std::thread thread_;
    std::thread::id threadId_;
    bool ended_ = false;
    bool threadReturned_ = false;
};

} // namespace platform::linux_backend
