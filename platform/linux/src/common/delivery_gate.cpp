#include "common/delivery_gate.h"

namespace platform::linux_backend {
namespace {

// The gate whose callback the current thread is running, if any.
thread_local const DeliveryGate* runningGate = nullptr;

} // namespace

void DeliveryGate::open() {
    std::lock_guard guard(mutex_);
    open_ = true;
    ++generation_;
}

bool DeliveryGate::post(Queue& queue, std::function<void()> callback) {
    uint64_t generation;
    {
        std::lock_guard guard(mutex_);
        if (!open_ || inFlight_ >= limit_) return false;
        ++inFlight_;
        generation = generation_;
        if (inOrder_) {
            posted_.push_back({generation, std::move(callback)});
            if (draining_) return true;
            draining_ = true;
        }
    }
    if (inOrder_) {
        queue.async([self = shared_from_this()] { self->drain(); });
        return true;
    }
    queue.async([self = shared_from_this(), generation, callback = std::move(callback)] {
        self->run(generation, callback);
    });
    return true;
}

void DeliveryGate::drain() {
    for (;;) {
        Posted next;
        {
            std::lock_guard guard(mutex_);
            if (posted_.empty()) {
                draining_ = false;
                return;
            }
            next = std::move(posted_.front());
            posted_.pop_front();
        }
        run(next.generation, next.callback);
    }
}

void DeliveryGate::run(uint64_t generation, const std::function<void()>& callback) {
    {
        std::lock_guard guard(mutex_);
        if (!open_ || generation != generation_) {
            --inFlight_;
            idle_.notify_all();
            return;
        }
        ++running_;
    }
    struct Finish {
        DeliveryGate& gate;
        const DeliveryGate* outer = runningGate;
        ~Finish() {
            runningGate = outer;
            std::lock_guard guard(gate.mutex_);
            --gate.running_;
            --gate.inFlight_;
            gate.idle_.notify_all();
        }
    } finish{*this};
    runningGate = this;
    callback();
}

void DeliveryGate::close() {
    std::unique_lock lock(mutex_);
    open_ = false;
    size_t own = runningGate == this ? 1 : 0;
    idle_.wait(lock, [&] { return running_ <= own; });
}

bool DeliveryGate::waitUntilDelivered(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (runningGate != nullptr) return inFlight_ == 0;
    return idle_.wait_for(lock, limit, [&] { return inFlight_ == 0; });
}

size_t DeliveryGate::inFlight() const {
    std::lock_guard guard(mutex_);
    return inFlight_;
}

} // namespace platform::linux_backend
