#pragma once
// Sample injection for tests: puts a sample on a chosen queue for a chosen
// handler, as a capture backend delivers it, and lets the test wait until
// every sample it pushed has been handled.

#include "platform/fake/fake_capture_clock.h"
#include "platform/queues.h"
#include "platform/sample_buffer.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace platform::fake {

class SampleDelivery {
public:
    using Handler = std::function<void(const SampleBufferRef&)>;

    SampleDelivery();

    // Runs handler(sample) later on the queue. Safe from any thread. Moves the capture
    // clock past the sample's capture.
    void push(const std::shared_ptr<Queue>& queue, SampleBufferRef sample, Handler handler);
    // For a sample handed over on the calling thread instead: moves the capture clock.
    void delivering(const SampleBufferRef& sample);

    // The clock the samples are stamped with (the platform's captureClock).
    const std::shared_ptr<FakeCaptureClock>& clock() const { return clock_; }

    // Waits until every sample pushed so far has been handled, or the limit
    // has passed (false). Rethrows the first exception a handler threw.
    // A sample pushed onto the main queue is handled only while something
    // serves the main queue.
    bool waitUntilHandled(std::chrono::milliseconds limit = std::chrono::seconds(30));

    std::size_t handledCount() const;

private:
    // Shared with the queued tasks, which may outlive this object.
    struct State {
        mutable std::mutex mutex;  // guards the three fields below
        std::condition_variable allHandled;
        std::size_t pending = 0;
        std::size_t handled = 0;
        std::exception_ptr firstFailure;
    };
    std::shared_ptr<State> state_;
    std::shared_ptr<FakeCaptureClock> clock_ = std::make_shared<FakeCaptureClock>();
};

} // namespace platform::fake
