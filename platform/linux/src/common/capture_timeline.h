#pragma once
// Capture times of audio frames on the monotonic clock. The sound server tells,
// now and then, when a given frame was captured (from its latency report); the
// timeline turns those noisy reports into a steady line of one frame every
// 1/rate seconds that follows them, so consecutive buffers join exactly while
// the line still tracks the sound card's clock over long recordings.
//
// Until the first frame is handed out (settle()) every reading moves the line at
// once: a source may hand over a backlog whose age only the later readings tell.
// From then on the line only slews, by at most kMostSlew of the time that passed,
// so the stamps stay as far apart as the sample counts say and a writer that lays
// buffers end to end never has to cut or pad them for the reports' jitter. Only where
// the server lost audio (an overrun it tells) does the line move at once again, by
// what was lost.

#include <cstdint>

namespace platform::linux_backend {

class CaptureTimeline {
public:
    explicit CaptureTimeline(double sampleRate) : sampleRate_(sampleRate) {}

    // The frame with this index was captured at this time (nanoseconds).
    void observe(int64_t frameIndex, int64_t nanoseconds);
    // The frame with this index was captured by this time at the latest (it has
    // been read): a line that puts it later moves back, at once before settle().
    void notAfter(int64_t frameIndex, int64_t nanoseconds);
    // Frames have been handed out: from now on the line slews.
    void settle() { settled_ = true; }
    // The server lost frames: the next reading moves the line at once.
    void lostFrames() { jumpNext_ = true; }
    // When the frame with this index was captured; strictly later than any time given before.
    int64_t timeOf(int64_t frameIndex);
    // The same on the current line, without taking part in the ordering of times given.
    int64_t estimate(int64_t frameIndex) const { return nominal(frameIndex); }

    // Each report moves the line by this fraction of its error: smooths the latency jitter.
    static constexpr int64_t kSmoothing = 16;
    // How fast a settled line may move against the sample count: 2 ms a second, ten times
    // what a sound card's clock drifts, a fraction of a sample between two buffers.
    static constexpr double kMostSlew = 0.002;

private:
    int64_t nominal(int64_t frameIndex) const;
    // Moves the line by `correction`, within what a settled line may move by frame `frameIndex`.
    void move(int64_t frameIndex, int64_t correction);

    double sampleRate_;
    bool anchored_ = false;
    bool settled_ = false;
    bool jumpNext_ = false;
    int64_t anchor_ = 0;  // capture time of frame 0 on the current line
    int64_t lastMovedAt_ = 0;  // frame index of the last move
    bool stamped_ = false;
    int64_t lastStamp_ = 0;
};

} // namespace platform::linux_backend
