#include "capture_support.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace test_support {

void Collector::streamDidOutputSampleBuffer(platform::Stream&, const platform::SampleBufferRef& sample,
                                            platform::StreamOutputType) {
    add(sample);
}

void Collector::add(const platform::SampleBufferRef& sample) {
    if (onSample) onSample(sample);
    std::lock_guard guard(mutex_);
    if (keepsSamples) samples_.push_back(sample);
    else ++countedOnly_;
    added_.notify_all();
}

std::vector<platform::SampleBufferRef> Collector::samples() const {
    std::lock_guard guard(mutex_);
    return samples_;
}

size_t Collector::count() const {
    std::lock_guard guard(mutex_);
    return samples_.size() + countedOnly_;
}

bool Collector::waitFor(const std::function<bool(const std::vector<platform::SampleBufferRef>&)>& condition) {
    std::unique_lock lock(mutex_);
    // Thirty seconds: a stream or capture session delivers slowly on a busy machine or under a sanitizer.
    return added_.wait_for(lock, std::chrono::seconds(30), [&] { return condition(samples_); });
}

platform::SampleBufferRef Collector::completeFrameAfter(int64_t since,
                                                        const std::function<bool(const platform::PixelBuffer&)>& check) {
    platform::SampleBufferRef found;
    waitFor([&](const auto& samples) {
        for (const auto& sample : samples) {
            if (sample->frameStatus() != platform::FrameStatus::complete || !sample->pixels()) continue;
            if (nanoseconds(sample->presentationTimeStamp()) <= since) continue;
            if (check && !check(*sample->pixels())) continue;
            found = sample;
            return true;
        }
        return false;
    });
    return found;
}

int64_t nowNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int64_t nanoseconds(const platform::MediaTime& time) { return time.convertScale(1'000'000'000).value; }

Colour pixelAt(const platform::PixelBuffer& frame, int32_t x, int32_t y) {
    const auto& plane = frame.planes.at(0);
    const uint8_t* pixel = plane.data + size_t(y) * plane.bytesPerRow + size_t(x) * 4;
    return {pixel[2], pixel[1], pixel[0]};
}

bool near(Colour a, Colour b, int tolerance) {
    return std::abs(a.red - b.red) <= tolerance && std::abs(a.green - b.green) <= tolerance &&
           std::abs(a.blue - b.blue) <= tolerance;
}

platform::Display wholeScreen() { return {1, 1920, 1080, {{0, 0}, {1920, 1080}}}; }

} // namespace test_support
