#pragma once
// What a recorded audio file holds, judged by its sound: the level of a tone in it
// (so that a file with the wrong source's tone fails), and whether a steady tone runs
// through it unbroken (no sound dropped, no silence put in).

#include <cstddef>
#include <string>
#include <vector>

namespace test_support {

inline constexpr int kAnalysisRate = 48000;

// The first channel of the file's first audio track as float samples at kAnalysisRate; empty when
// ffmpeg cannot read it.
std::vector<float> decodeMono(const std::string& path);

// The first channel of a raw float32 stereo file at kAnalysisRate (as parec writes it).
std::vector<float> readRawStereo(const std::string& path);

// The amplitude of the sine of `frequency` Hz in samples [begin, begin + count).
double toneAmplitude(const std::vector<float>& samples, size_t begin, size_t count, double frequency);

// Breaks in a steady tone of `frequency` Hz and amplitude near `amplitude`, looked for
// from `begin` on (after the file's first moments, where the sound may still rise) to
// 50 ms before the end:
struct ToneBreaks {
    size_t quietWindows = 0;  // 10 ms windows with less than half the tone's level: silence put in
    size_t jumps = 0;         // samples off the sine through their two predecessors: sound left out
    size_t firstBreakAt = 0;  // the first such sample, for the message
    size_t count() const { return quietWindows + jumps; }
};
ToneBreaks toneBreaks(const std::vector<float>& samples, size_t begin, double frequency, double amplitude);

} // namespace test_support
