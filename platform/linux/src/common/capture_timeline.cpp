#include "common/capture_timeline.h"

#include <cmath>
#include <cstdlib>

namespace platform::linux_backend {

int64_t CaptureTimeline::nominal(int64_t frameIndex) const {
    return anchor_ + std::llround(double(frameIndex) * 1e9 / sampleRate_);
}

void CaptureTimeline::observe(int64_t frameIndex, int64_t nanoseconds) {
    if (!anchored_) {
        anchor_ = nanoseconds - (nominal(frameIndex) - anchor_);
        anchored_ = true;
        return;
    }
    int64_t error = nanoseconds - nominal(frameIndex);
    anchor_ += std::llabs(error) > kJumpNanoseconds ? error : error / kSmoothing;
}

void CaptureTimeline::notAfter(int64_t frameIndex, int64_t nanoseconds) {
    if (!anchored_) return observe(frameIndex, nanoseconds);
    int64_t excess = nominal(frameIndex) - nanoseconds;
    if (excess > 0) anchor_ -= excess;
}

int64_t CaptureTimeline::timeOf(int64_t frameIndex) {
    int64_t stamp = nominal(frameIndex);
    if (stamped_ && stamp <= lastStamp_) stamp = lastStamp_ + 1;
    stamped_ = true;
    lastStamp_ = stamp;
    return stamp;
}

} // namespace platform::linux_backend
