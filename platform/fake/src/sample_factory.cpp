#include "platform/fake/sample_factory.h"

#include <cstring>

namespace platform::fake {

SampleBufferRef makeVideoSample(int32_t width, int32_t height, MediaTime presentationTime,
                                const VideoSampleOptions& options) {
    auto pixels = PixelBuffer::allocate(pixel_format::bgra, width, height, 4);
    const PixelPlane& plane = pixels->planes.front();
    std::memset(pixels->mutablePlane(0), options.fill, plane.bytesPerRow * static_cast<size_t>(height));

    SampleBuffer::Contents contents;
    contents.timing = {{options.duration, presentationTime, options.decodeTimeStamp}};
    contents.format = FormatDescription::makeVideo(pixel_format::bgra, width, height);
    contents.frameStatus = options.frameStatus;
    contents.pixels = std::move(pixels);
    return std::make_shared<SampleBuffer>(std::move(contents));
}

SampleBufferRef makeAudioSample(int64_t frames, int32_t sampleRate, MediaTime presentationTime,
                                const AudioSampleOptions& options) {
    auto stream = AudioStreamDescription::float32Interleaved(sampleRate, options.channels);
    auto samples = static_cast<size_t>(frames) * options.channels;
    auto bytes = std::make_shared<std::vector<uint8_t>>(samples * sizeof(float));
    for (size_t i = 0; i < samples; ++i) std::memcpy(bytes->data() + i * sizeof(float), &options.value, sizeof(float));

    SampleBuffer::Contents contents;
    contents.timing = {{MediaTime::make(1, sampleRate), presentationTime, options.decodeTimeStamp}};
    contents.sampleCount = frames;
    contents.format = FormatDescription::makeAudio(stream);
    contents.audioData = std::move(bytes);
    return std::make_shared<SampleBuffer>(std::move(contents));
}

} // namespace platform::fake
