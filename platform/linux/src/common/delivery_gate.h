#pragma once
// Hands samples of one producer to consumers' queues without ever queueing
// without bound: a sample is dropped while `limit` earlier ones are still
// waiting or running on their queues. Closing the gate waits for the callbacks
// that are running; those that had not started yet are skipped, so nothing is
// delivered once close() has returned.

#include "platform/queues.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace platform::linux_backend {

// How long a stop waits for the samples captured before it to reach their consumers
// (see waitUntilDelivered); a consumer slower than that loses them.
inline constexpr std::chrono::milliseconds kStopDeliveryLimit{1000};

// Audio buffers (10 ms each) that may wait on a consumer's queue before new ones are
// dropped: three seconds, as some sources hand over seconds of audio at once.
inline constexpr size_t kAudioBuffersInFlight = 300;

class DeliveryGate : public std::enable_shared_from_this<DeliveryGate> {
public:
    // With `inOrder`, callbacks run one at a time in the order they were posted, also on
    // a concurrent queue: audio buffers handled side by side would reach their file out of
    // order, cutting the sound where they swap.
    explicit DeliveryGate(size_t limit, bool inOrder = false) : limit_(limit == 0 ? 1 : limit), inOrder_(inOrder) {}

    // Lets deliveries through (again).
    void open();
    // Posts the callback to the queue unless the gate is closed or full; false when dropped.
    bool post(Queue& queue, std::function<void()> callback);
    // After close() no callback runs any more; waits for those running, unless it is
    // called from one of them (a consumer stopping its own producer).
    void close();
    // Waits until every callback posted so far has run, for at most `limit`: at a stop,
    // what the producer captured before it and handed over still reaches the consumer.
    // Does not wait when called from a callback of any gate, whose queue may be the one
    // the waiting callbacks need. False when callbacks are still waiting.
    bool waitUntilDelivered(std::chrono::milliseconds limit);

    size_t inFlight() const;

private:
    struct Posted {
        uint64_t generation;
        std::function<void()> callback;
    };

    void run(uint64_t generation, const std::function<void()>& callback);
    // Runs the posted callbacks in order until none is left.
    void drain();

    const size_t limit_;
    const bool inOrder_;
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable idle_;
    bool open_ = false;
    uint64_t generation_ = 0;  // bumped at each open, so a task of an earlier run never runs
    size_t inFlight_ = 0;      // posted and not yet finished (or skipped)
    size_t running_ = 0;       // callbacks executing now
    std::deque<Posted> posted_;  // in order: waiting for the drain
    bool draining_ = false;      // in order: a drain is queued or running
};

} // namespace platform::linux_backend
