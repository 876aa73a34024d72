#pragma once
// The one clock every capture source stamps its samples with: CLOCK_MONOTONIC in
// nanoseconds, so screen frames, system audio, microphone and camera line up.

#include "platform/media_time.h"

#include <cstdint>

namespace platform::linux_backend {

inline constexpr int32_t kNanosecondsTimescale = 1'000'000'000;

int64_t monotonicNanoseconds();
inline MediaTime monotonicMediaTime(int64_t nanoseconds) { return MediaTime::make(nanoseconds, kNanosecondsTimescale); }

} // namespace platform::linux_backend
