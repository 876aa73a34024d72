#include "platform/format_description.h"

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

std::shared_ptr<const FormatDescription> FormatDescription::makeVideo(FourCharCode subtype, int32_t width,
                                                                    int32_t height) {
    auto format = std::make_shared<FormatDescription>();
    format->mediaType = MediaType::video;
    format->mediaSubtype = subtype;
    format->dimensions = VideoDimensions{width, height};
    return format;
}

std::shared_ptr<const FormatDescription> FormatDescription::makeAudio(const AudioStreamDescription& stream) {
    auto format = std::make_shared<FormatDescription>();
    format->mediaType = MediaType::audio;
    format->mediaSubtype = stream.formatID;
    format->audio = stream;
    return format;
}

} // namespace platform
