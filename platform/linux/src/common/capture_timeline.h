#pragma once
// Capture times of audio frames on the monotonic clock. The sound server tells,
// now and then, when a given frame was captured (from its latency report); the
// timeline turns those noisy reports into a steady line of one frame every
// 1/rate seconds that follows them, so consecutive buffers join exactly while
// the line still tracks the sound card's clock over long recordings.

#include <cstdint>

namespace platform::linux_backend {

class CaptureTimeline {
public:
    explicit CaptureTimeline(double sampleRate) : sampleRate_(sampleRate) {}

    // The frame with this index was captured at this time (nanoseconds).
    void observe(int64_t frameIndex, int64_t nanoseconds);
    // The frame with this index was captured by this time at the latest (it has
    // been read): a line that puts it later moves back.
    void notAfter(int64_t frameIndex, int64_t nanoseconds);
    // When the frame with this index was captured; strictly later than any time given before.
    int64_t timeOf(int64_t frameIndex);
    // The same on the current line, without taking part in the ordering of times given.
    int64_t estimate(int64_t frameIndex) const { return nominal(frameIndex); }

    // Reports further off than this are a jump (lost data, a clock step), not jitter: taken at once.
    static constexpr int64_t kJumpNanoseconds = 20'000'000;
    // Each report moves the line by this fraction of its error: smooths the latency jitter.
    static constexpr int64_t kSmoothing = 16;

private:
    int64_t nominal(int64_t frameIndex) const;

    double sampleRate_;
    bool anchored_ = false;
    int64_t anchor_ = 0;  // capture time of frame 0 on the current line
    bool stamped_ = false;
    int64_t lastStamp_ = 0;
};

} // namespace platform::linux_backend
