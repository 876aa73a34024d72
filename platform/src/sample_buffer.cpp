#include "platform/sample_buffer.h"

namespace platform {

std::string fourCharCodeString(FourCharCode code) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xff);
    return text;
}

AudioStreamDescription AudioStreamDescription::float32Interleaved(double sampleRate, uint32_t channels) {
    AudioStreamDescription d;
    d.sampleRate = sampleRate;
    d.formatID = fourCharCode("lpcm");
    d.formatFlags = IsFloat | IsPacked;
    d.channelsPerFrame = channels;
    d.bitsPerChannel = 32;
    d.bytesPerFrame = 4 * channels;
    d.bytesPerPacket = d.bytesPerFrame;
    d.framesPerPacket = 1;
    return d;
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
        total.value = each.value * contents_.sampleCount;
        return total;
    }
    MediaTime total = MediaTime::zero();
    for (const auto& entry : timing) total = add(total, entry.duration);
    return total;
}

std::shared_ptr<const SampleBuffer> SampleBuffer::copyWithTiming(std::vector<SampleTimingInfo> timing) const {
    Contents copy = contents_;
    copy.timing = std::move(timing);
    return std::make_shared<SampleBuffer>(std::move(copy));
}

} // namespace platform
