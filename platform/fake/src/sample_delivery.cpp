#include "platform/fake/sample_delivery.h"

#include <utility>

namespace platform::fake {

SampleDelivery::SampleDelivery() : state_(std::make_shared<State>()) {}

void SampleDelivery::delivering(const SampleBufferRef& sample) {
    if (sample && sample->isValid()) clock_->sawDelivery(sample->presentationTimeStamp());
}

void SampleDelivery::push(const std::shared_ptr<Queue>& queue, SampleBufferRef sample, Handler handler) {
    delivering(sample);
    {
        std::lock_guard lock(state_->mutex);
        ++state_->pending;
    }
    queue->async([state = state_, sample = std::move(sample), handler = std::move(handler)] {
        std::exception_ptr failure;
        try {
            handler(sample);
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(state->mutex);
        if (failure && !state->firstFailure) state->firstFailure = failure;
        ++state->handled;
        if (--state->pending == 0) state->allHandled.notify_all();
    });
}

bool SampleDelivery::waitUntilHandled(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    bool done = state_->allHandled.wait_for(lock, limit, [&] { return state_->pending == 0; });
    if (state_->firstFailure) std::rethrow_exception(std::exchange(state_->firstFailure, nullptr));
    return done;
}

std::size_t SampleDelivery::handledCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->handled;
}

} // namespace platform::fake
