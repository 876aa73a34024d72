#include "accessibility/accessibility_queue.h"

#include <utility>

namespace platform::linux_backend {
namespace {

void attachIdle(GMainContext* context, GSourceFunc function, gpointer data) {
    GSource* source = g_idle_source_new();
    g_source_set_callback(source, function, data, nullptr);
    g_source_attach(source, context);
    g_source_unref(source);
}

} // namespace

AccessibilityQueue::AccessibilityQueue()
    : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {}

AccessibilityQueue::~AccessibilityQueue() {
    end();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void AccessibilityQueue::startLocked() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
        std::lock_guard lock(mutex_);
        threadReturned_ = true;
        taskDone_.notify_all();
    });
    threadId_ = thread_.get_id();
}

bool AccessibilityQueue::onQueue() const { return std::this_thread::get_id() == threadId_; }

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
        if (!drainScheduled_) {
            drainScheduled_ = true;
            attachIdle(
                context_,
                [](gpointer self) {
                    static_cast<AccessibilityQueue*>(self)->drain();
                    return G_SOURCE_REMOVE;
                },
                this);
        }
        if (!taskDone_.wait(lock, stop, [&] { return task->done; })) {
            task->abandoned = true;
            return false;
        }
    }
    if (task->error) std::rethrow_exception(task->error);
    return task->ran;
}

void AccessibilityQueue::post(void (*work)(void*), void* data) {
    struct Posted {
        void (*work)(void*);
        void* data;
    };
    std::lock_guard lock(mutex_);
    if (ended_) return;
    startLocked();
    attachIdle(
        context_,
        [](gpointer posted) {
            auto* item = static_cast<Posted*>(posted);
            item->work(item->data);
            delete item;
            return G_SOURCE_REMOVE;
        },
        new Posted{work, data});
}

void AccessibilityQueue::drain() {
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::lock_guard lock(mutex_);
            for (;;) {
                if (pending_.empty()) {
                    drainScheduled_ = false;
                    return;
                }
                task = pending_.front();
                pending_.pop_front();
                if (!task->abandoned) break;
            }
        }
        try {
            task->work();
        } catch (...) {
            task->error = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        task->ran = true;
        task->done = true;
        taskDone_.notify_all();
    }
}

void AccessibilityQueue::end(std::chrono::milliseconds patience) {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        ended_ = true;
        thread = std::move(thread_);
    }
    if (thread.joinable()) {
        // Quit from inside the loop, so a quit cannot come before the loop runs.
        attachIdle(
            context_,
            [](gpointer loop) {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_);
        bool returned = false;
        if (thread.get_id() != std::this_thread::get_id()) {
            std::unique_lock lock(mutex_);
            returned = taskDone_.wait_for(lock, patience, [&] { return threadReturned_; });
        }
        if (returned) {
            thread.join();
        } else {
            thread.detach();
        }
    }
    std::lock_guard lock(mutex_);
    for (auto& task : pending_) task->done = true;
    pending_.clear();
    taskDone_.notify_all();
}

} // namespace platform::linux_backend
