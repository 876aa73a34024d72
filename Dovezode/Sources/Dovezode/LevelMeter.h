#pragma once
// The microphone level meter: one measurement per audio buffer and the "VOL:"
// line it gives on standard output.

#include "platform/sample_buffer.h"

#include <cstddef>
#include <cstdio>
#include <optional>

namespace Dovezode::level_meter {

// Root mean square of `count` consecutive floats, in one vectorised pass over the
// memory as it is (no copy, no alignment needed). 0 for no floats.
float rootMeanSquare(const float* samples, std::size_t count);

// The measurement of a buffer: the root mean square of all its 32-bit float samples,
// every channel pooled. None for a buffer without data or format, samples that are
// not 32-bit floats, or fewer than four bytes.
std::optional<float> measure(const platform::SampleBuffer& buffer);

// 100 × √measurement in 32-bit float, truncated, at most 100; none when that is not
// a finite number (samples that are not finite or whose squares overflow).
std::optional<int> level(float measurement);

// Writes "VOL:<level>" and a line feed as one write under the stream's lock, then
// flushes the stream.
void writeLevelLine(int level, std::FILE* stream = stdout);

} // namespace Dovezode::level_meter
