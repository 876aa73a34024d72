#pragma once
// The capture clock of the fake backend, read by the engine as the platform's
// captureClock. As on a real machine, a sample is stamped when it is captured and
// reaches its handler later: every sample the fake delivers moves the clock to at
// least its presentation time plus the delivery latency. A test may also move the
// clock on by itself (time passing while nothing is delivered). It never goes back.

#include "platform/media_time.h"

#include <mutex>

namespace platform::fake {

class FakeCaptureClock {
public:
    MediaTime now() const;
    // Moves the clock to `time` unless it is already later.
    void advanceTo(const MediaTime& time);
    // A sample stamped `presentationTime` is being delivered now.
    void sawDelivery(const MediaTime& presentationTime);
    // How long after its capture a sample reaches delivery; 1 ms unless set.
    void setDeliveryLatency(const MediaTime& latency);

private:
    mutable std::mutex mutex_;  // guards the fields below
    MediaTime now_ = MediaTime::zero();
    MediaTime latency_ = MediaTime::make(1, 1000);
};

} // namespace platform::fake
