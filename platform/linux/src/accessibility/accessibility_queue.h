#pragma once
// The accessibility queue: one thread iterating a GMainContext of its own, which
// libatspi dispatches its D-Bus traffic on. Work submitted from other threads runs
// there one item at a time while the submitter waits.

#include <glib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace platform::linux_backend {

class AccessibilityQueue {
public:
    AccessibilityQueue();
    // The queue lives as long as the process; end() stops its thread first.
    ~AccessibilityQueue();
    AccessibilityQueue(const AccessibilityQueue&) = delete;
    AccessibilityQueue& operator=(const AccessibilityQueue&) = delete;

    // Runs work on the queue thread and waits for it; on the queue thread itself it
    // runs at once. False, without running it, once the queue has ended.
    // Exceptions of the work are rethrown here.
    bool run(const std::function<void()>& work);
    // Runs work on the queue later without waiting; dropped once the queue has ended.
    void post(void (*work)(void*), void* data);
    bool onQueue() const;
    // Stops the thread: work not yet started is answered with false. Idempotent.
    void end();

    GMainContext* context() const { return context_; }

private:
    struct Task {
        const std::function<void()>* work = nullptr;
        std::exception_ptr error;
        bool done = false;
        bool ran = false;
    };

    void startLocked();
    void drain();

    GMainContext* context_;
    GMainLoop* loop_;
    std::mutex mutex_;  // guards everything below
    std::condition_variable taskDone_;
    std::deque<Task*> pending_;
    std::thread thread_;
    std::thread::id threadId_;
    bool drainScheduled_ = false;
    bool ended_ = false;
};

} // namespace platform::linux_backend
