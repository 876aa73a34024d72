#include "common/capture_timeline.h"

#include <algorithm>
#include <cmath>

namespace platform::linux_backend {

int64_t CaptureTimeline::nominal(int64_t frameIndex) const {
    return anchor_ + std::llround(double(frameIndex) * 1e9 / sampleRate_);
}

void CaptureTimeline::move(int64_t frameIndex, int64_t correction) {
    if (!settled_ || jumpNext_) {
        anchor_ += correction;
        jumpNext_ = false;
    } else {
        const int64_t most = std::llround(double(std::max<int64_t>(0, frameIndex - lastMovedAt_)) * 1e9 / sampleRate_ * kMostSlew);
        anchor_ += std::clamp(correction, -most, most);
    }
    lastMovedAt_ = std::max(lastMovedAt_, frameIndex);
}

void CaptureTimeline::observe(int64_t frameIndex, int64_t nanoseconds) {
    const int64_t error = nanoseconds - nominal(frameIndex);
    if (!anchored_) {
        anchor_ += error;
        anchored_ = true;
        lastMovedAt_ = frameIndex;
        return;
    }
    // Before the line settles a reading is taken whole: later ones know more of a backlog.
    move(frameIndex, settled_ && !jumpNext_ ? error / kSmoothing : error);
}

void CaptureTimeline::notAfter(int64_t frameIndex, int64_t nanoseconds) {
    if (!anchored_) return observe(frameIndex, nanoseconds);
    const int64_t excess = nominal(frameIndex) - nanoseconds;
    if (excess > 0) move(frameIndex, -excess);
}

int64_t CaptureTimeline::timeOf(int64_t frameIndex) {
    int64_t stamp = nominal(frameIndex);
    if (stamped_ && stamp <= lastStamp_) stamp = lastStamp_ + 1;
    stamped_ = true;
    lastStamp_ = stamp;
    return stamp;
}

} // namespace platform::linux_backend
