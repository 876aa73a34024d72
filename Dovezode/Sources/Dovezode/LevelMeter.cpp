#include "Dovezode/LevelMeter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Dovezode::level_meter {
namespace {

// Eight floats a register (two SSE halves on the baseline, one AVX register where
// the compiler may use it), read from any address: the buffer's bytes carry no
// alignment promise and are read in place.
using Float8 = float __attribute__((vector_size(32), aligned(1), may_alias));

// One float read from any address (a plain load once compiled).
inline float floatAt(const float* address) {
    float value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

} // namespace

float rootMeanSquare(const float* samples, std::size_t count) {
    if (count == 0) return 0;
    // Two accumulators keep two independent chains of additions in flight.
    Float8 sumA = {}, sumB = {};
    std::size_t index = 0;
    for (; index + 16 <= count; index += 16) {
        Float8 a = *reinterpret_cast<const Float8*>(samples + index);
        Float8 b = *reinterpret_cast<const Float8*>(samples + index + 8);
        sumA += a * a;
        sumB += b * b;
    }
    Float8 sum = sumA + sumB;
    float total = 0;
    for (int lane = 0; lane < 8; ++lane) total += sum[lane];
    for (; index < count; ++index) {
        const float sample = floatAt(samples + index);
        total += sample * sample;
    }
    return std::sqrt(total / static_cast<float>(count));
}

std::optional<float> measure(const platform::SampleBuffer& buffer) {
    const auto& data = buffer.audioData();
    if (!data) return std::nullopt;
    const auto& format = buffer.formatDescription();
    if (!format || !format->audio) return std::nullopt;
    const auto& stream = *format->audio;
    if (!(stream.formatFlags & platform::AudioStreamDescription::IsFloat)) return std::nullopt;
    // Only 32-bit floats are measured; 64-bit ones read four bytes at a time would be noise.
    if (stream.bitsPerChannel != 0 && stream.bitsPerChannel != 32) return std::nullopt;
    const std::size_t count = data->size() / sizeof(float);
    if (count == 0) return std::nullopt;
    return rootMeanSquare(reinterpret_cast<const float*>(data->data()), count);
}

std::optional<int> level(float measurement) {
    const float value = 100.0f * std::sqrt(measurement);
    if (!std::isfinite(value)) return std::nullopt;
    return std::min(100, static_cast<int>(value));
}

void writeLevelLine(int level, std::FILE* stream) {
    char line[16];
    int length = std::snprintf(line, sizeof line, "VOL:%d\n", level);
    flockfile(stream);
    fwrite_unlocked(line, 1, static_cast<std::size_t>(length), stream);
    fflush_unlocked(stream);
    funlockfile(stream);
}

} // namespace Dovezode::level_meter
