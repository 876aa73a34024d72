#include "accessibility/accessibility_queue.h"

#include <utility>

namespace platform::linux_backend {

AccessibilityQueue::~AccessibilityQueue() { end(); }

void AccessibilityQueue::startLocked() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { serve(); });
    threadId_ = thread_.get_id();
}

bool AccessibilityQueue::onQueue() const { return std::this_thread::get_id() == threadId_; }

void AccessibilityQueue::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return ended_ || !pending_.empty(); });
        if (ended_) break;
        std::shared_ptr<Task> task = pending_.front();
        pending_.pop_front();
        if (task->abandoned) continue;
        lock.unlock();
        try {
            task->work();
        } catch (...) {
            task->error = std::current_exception();
        }
        lock.lock();
        task->ran = true;
        task->done = true;
        changed_.notify_all();
    }
    threadReturned_ = true;
    changed_.notify_all();
}

bool AccessibilityQueue::run(const std::function<void()>& work, std::stop_token stop) {
    if (onQueue()) {
        work();
        return true;
    }
    auto task = std::make_shared<Task>();
    task->work = work;
    {
        std::unique_lock lock(mutex_);
        if (ended_) return false;
        startLocked();
        pending_.push_back(task);
        changed_.notify_all();
        if (!changed_.wait(lock, stop, [&] { return task->done; })) {
            task->abandoned = true;
            return false;
        }
    }
    if (task->error) std::rethrow_exception(task->error);
    return task->ran;
}

void AccessibilityQueue::end(std::chrono::milliseconds patience) {
    std::thread thread;
    {
        std::unique_lock lock(mutex_);
        if (ended_) return;
        ended_ = true;
        for (auto& task : pending_) task->done = true;
        pending_.clear();
        changed_.notify_all();
        thread = std::move(thread_);
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
            if (!changed_.wait_for(lock, patience, [&] { return threadReturned_; })) {
                // Inside work that does not end: the process's end takes the thread.
                thread.detach();
                return;
            }
        }
    }
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}

} // namespace platform::linux_backend
