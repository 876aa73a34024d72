#pragma once
// Lengths of output files from the media times of their samples.

#include "platform/media_time.h"

#include <cstdint>
#include <optional>

namespace Dovezode {

// Whole milliseconds from `start` to `end` (plus `lastDuration` when it is
// positive), truncated toward zero; absent when either time is invalid or the
// length is not positive.
std::optional<uint64_t> milliseconds(const platform::MediaTime& start, const platform::MediaTime& end,
                                     const platform::MediaTime& lastDuration);

} // namespace Dovezode
