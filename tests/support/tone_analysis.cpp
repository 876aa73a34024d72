#include "tone_analysis.h"

#include "child_process.h"
#include "media_tools.h"

#include <cmath>
#include <cstring>
#include <fstream>

namespace test_support {

std::vector<float> decodeMono(const std::string& path) {
    auto result = runToCompletion(ffmpegPath(), {"-v", "error", "-i", path, "-map", "0:a:0", "-af", "pan=mono|c0=FL", "-ar",
                                                 std::to_string(kAnalysisRate), "-f", "f32le", "-"});
    std::vector<float> samples(result.standardOutput.size() / sizeof(float));
    std::memcpy(samples.data(), result.standardOutput.data(), samples.size() * sizeof(float));
    return samples;
}

std::vector<float> readRawStereo(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<float> firstChannel;
    float frame[2];
    while (file.read(reinterpret_cast<char*>(frame), sizeof frame)) firstChannel.push_back(frame[0]);
    return firstChannel;
}

double toneAmplitude(const std::vector<float>& samples, size_t begin, size_t count, double frequency) {
    double re = 0, im = 0;
    const size_t end = std::min(samples.size(), begin + count);
    if (end <= begin) return 0;
    for (size_t i = begin; i < end; ++i) {
        double phase = 2 * M_PI * frequency * double(i) / kAnalysisRate;
        re += samples[i] * std::cos(phase);
        im += samples[i] * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / double(end - begin);
}

ToneBreaks toneBreaks(const std::vector<float>& samples, size_t begin, double frequency, double amplitude) {
    ToneBreaks breaks;
    auto note = [&](size_t at) {
        if (breaks.quietWindows + breaks.jumps == 1) breaks.firstBreakAt = at;
    };
    constexpr size_t kWindow = kAnalysisRate / 100;
    // The file ends at the stop, inside the last buffer and the encoder's last frame (21 ms).
    const size_t end = samples.size() > 5 * kWindow ? samples.size() - 5 * kWindow : 0;
    for (size_t at = begin; at + kWindow <= end; at += kWindow) {
        double energy = 0;
        for (size_t i = at; i < at + kWindow; ++i) energy += double(samples[i]) * samples[i];
        // A sine of amplitude A has an RMS of A/sqrt(2).
        if (std::sqrt(energy / kWindow) < 0.5 * amplitude / std::sqrt(2.0)) {
            ++breaks.quietWindows;
            note(at);
        }
    }
    // A sine follows x[n] = 2 cos(w) x[n-1] - x[n-2]. The encoder's noise leaves a few
    // thousandths of the amplitude off it; a cut in the sound leaves a step of the order
    // of the amplitude.
    const double twoCos = 2 * std::cos(2 * M_PI * frequency / kAnalysisRate);
    for (size_t i = std::max<size_t>(begin, 2); i < end; ++i) {
        double off = samples[i] - (twoCos * samples[i - 1] - samples[i - 2]);
        if (std::abs(off) > 0.25 * amplitude) {
            ++breaks.jumps;
            note(i);
            i += kWindow;  // one break, not each of its samples
        }
    }
    return breaks;
}

} // namespace test_support
