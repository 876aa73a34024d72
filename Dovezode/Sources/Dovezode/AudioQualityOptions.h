#pragma once
// Encoding of the microphone file. The values go to the encoder unchecked.

#include <cstdint>

namespace Dovezode {

class AudioQualityOptions {
public:
    AudioQualityOptions(int64_t sampleRate, int64_t bitRate) : sampleRate_(sampleRate), bitRate_(bitRate) {}

    // Sample rate in hertz.
    int64_t sampleRate() const { return sampleRate_; }
    // Encoder bit rate in bits per second; used only when the file is not lossless.
    int64_t bitRate() const { return bitRate_; }

private:
    int64_t sampleRate_;
    int64_t bitRate_;
};

} // namespace Dovezode
