#include "platform/fake/fake_capture_clock.h"

namespace platform::fake {

MediaTime FakeCaptureClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void FakeCaptureClock::advanceTo(const MediaTime& time) {
    std::lock_guard lock(mutex_);
    if (time.isNumeric() && compare(time, now_) > 0) now_ = time;
}

void FakeCaptureClock::sawDelivery(const MediaTime& presentationTime) {
    if (!presentationTime.isNumeric()) return;
    MediaTime latency;
    {
        std::lock_guard lock(mutex_);
        latency = latency_;
    }
    advanceTo(add(presentationTime, latency));
}

void FakeCaptureClock::setDeliveryLatency(const MediaTime& latency) {
    std::lock_guard lock(mutex_);
    if (latency.isNumeric()) latency_ = latency;
}

} // namespace platform::fake
