#include "platform/sample_buffer.h"

#include <atomic>

namespace platform {

uint64_t nextPictureNumber() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::shared_ptr<PixelBuffer> PixelBuffer::allocate(FourCharCode pixelFormat, int32_t width,
                                                   int32_t height, size_t bytesPerPixel) {
    auto storage = std::make_shared<std::vector<uint8_t>>(
        static_cast<size_t>(width) * static_cast<size_t>(height) * bytesPerPixel);
    auto buffer = std::make_shared<PixelBuffer>();
    buffer->pixelFormat = pixelFormat;
    buffer->width = width;
    buffer->height = height;
    buffer->planes.push_back({storage->data(), static_cast<size_t>(width) * bytesPerPixel, width, height});
    buffer->owner = storage;
    return buffer;
}

MediaTime SampleBuffer::presentationTimeStamp() const {
    return contents_.timing.empty() ? MediaTime::invalid() : contents_.timing.front().presentationTimeStamp;
}

MediaTime SampleBuffer::decodeTimeStamp() const {
    return contents_.timing.empty() ? MediaTime::invalid() : contents_.timing.front().decodeTimeStamp;
}

MediaTime SampleBuffer::duration() const {
    const auto& timing = contents_.timing;
    if (timing.empty()) return MediaTime::invalid();
    if (timing.size() == 1) {
        const MediaTime& each = timing.front().duration;
        if (!each.isNumeric()) return each;
        MediaTime total = each;
        if (__builtin_mul_overflow(each.value, contents_.sampleCount, &total.value)) {
            bool negative = (each.value < 0) != (contents_.sampleCount < 0);
            return negative ? MediaTime::negativeInfinity() : MediaTime::positiveInfinity();
        }
        return total;
    }
    MediaTime total = MediaTime::zero();
    for (const auto& entry : timing) total = add(total, entry.duration);
    return total;
}

std::shared_ptr<const SampleBuffer> SampleBuffer::copyWithTiming(std::vector<SampleTimingInfo> timing) const {
    bool fits = timing.size() == 1 || static_cast<int64_t>(timing.size()) == contents_.sampleCount;
    if (!fits) return nullptr;
    Contents copy = contents_;
    copy.timing = std::move(timing);
    return std::make_shared<SampleBuffer>(std::move(copy));
}

} // namespace platform
