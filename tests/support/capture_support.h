#pragma once
// What the capture tests share: a stream output that collects what a stream
// delivers, capture-clock times and the colours of frames.

#include "x_test_client.h"

#include "platform/screen_stream.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// Collects the samples of a stream; optionally runs `onSample` in each callback.
class Collector final : public platform::StreamOutput {
public:
    void streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBufferRef& sample,
                                     platform::StreamOutputType type) override;
    // Takes one sample, as a delivery does.
    void add(const platform::SampleBufferRef& sample);

    std::vector<platform::SampleBufferRef> samples() const;
    size_t count() const;
    // Waits (up to a generous limit) until the predicate holds for the samples so far.
    bool waitFor(const std::function<bool(const std::vector<platform::SampleBufferRef>&)>& condition);
    // Waits for a complete frame delivered after `since` (monotonic nanoseconds) that satisfies the check.
    platform::SampleBufferRef completeFrameAfter(int64_t since,
                                                 const std::function<bool(const platform::PixelBuffer&)>& check = {});

    std::function<void(const platform::SampleBufferRef&)> onSample;
    // False: counts the samples without keeping them.
    bool keepsSamples = true;

private:
    mutable std::mutex mutex_;  // guards samples_
    std::condition_variable added_;
    std::vector<platform::SampleBufferRef> samples_;
    size_t countedOnly_ = 0;  // counted, not kept
};

int64_t nowNanoseconds();
int64_t nanoseconds(const platform::MediaTime& time);

// The pixel of a BGRA frame.
Colour pixelAt(const platform::PixelBuffer& frame, int32_t x, int32_t y);
bool near(Colour a, Colour b, int tolerance = 6);

// The whole screen as a display of the shareable content.
platform::Display wholeScreen();

} // namespace test_support
