#pragma once
// Frames from the session attached to a preview window, handed to the main queue.

#include "platform/capture_session.h"
#include "platform/queues.h"

#include <functional>
#include <mutex>
#include <utility>

namespace platform::linux_backend {

// The newest frame waiting to be drawn: a frame that arrives before the last one was
// drawn replaces it, so frames never queue up.
class PreviewFrameSlot final : public CaptureSampleDelegate {
public:
    // `present` runs on the main queue once a frame waits, and takes it.
    explicit PreviewFrameSlot(std::function<void()> present) : present_(std::move(present)) {}

    void captureOutputDidOutput(CaptureOutput&, const SampleBufferRef& sample) override {
        bool schedule = false;
        {
            std::lock_guard guard(mutex_);
            latest_ = sample;
            schedule = !scheduled_;
            scheduled_ = true;
        }
        if (schedule) mainQueue()->async(present_);
    }

    SampleBufferRef take() {
        std::lock_guard guard(mutex_);
        scheduled_ = false;
        return std::move(latest_);
    }

private:
    const std::function<void()> present_;
    std::mutex mutex_;  // guards latest_ and scheduled_
    SampleBufferRef latest_;
    bool scheduled_ = false;
};

} // namespace platform::linux_backend
