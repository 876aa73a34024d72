#pragma once
// What the capture tests share: a test X client drawing coloured windows and moving
// the pointer, and a stream output that collects what a stream delivers.

#include "platform/screen_stream.h"

#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

struct Colour {
    uint8_t red = 0, green = 0, blue = 0;
    uint32_t pixel() const { return uint32_t(red) << 16 | uint32_t(green) << 8 | blue; }
};

class TestClient {
public:
    TestClient();
    ~TestClient();
    bool connected() const { return screen_ != nullptr; }

    // A mapped, borderless window filled with the colour.
    xcb_window_t window(int16_t x, int16_t y, uint16_t width, uint16_t height, Colour colour);
    void fill(xcb_window_t window, Colour colour);
    void raise(xcb_window_t window);
    void warpPointer(int16_t x, int16_t y);
    void sync();

private:
    xcb_connection_t* connection_;
    xcb_screen_t* screen_ = nullptr;
};

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
