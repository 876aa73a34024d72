#include "Dovezode/Durations.h"

#include <cmath>
#include <limits>

namespace Dovezode {

std::optional<uint64_t> milliseconds(const platform::MediaTime& start, const platform::MediaTime& end,
                                     const platform::MediaTime& lastDuration) {
    if (!start.isValid() || !end.isValid()) return std::nullopt;
    platform::MediaTime finish = end;
    if (lastDuration.isValid() && lastDuration.value > 0) finish = platform::add(end, lastDuration);
    const platform::MediaTime length = platform::subtract(finish, start);
    if (length.isNumeric() && length.timescale > 0) {
        // Exact: 2.97 s is 2970 ms, where the seconds as a double would give 2969.
        if (length.value <= 0) return std::nullopt;
        const __int128 ms = static_cast<__int128>(length.value) * 1000 / length.timescale;
        if (ms > static_cast<__int128>(std::numeric_limits<uint64_t>::max())) return std::nullopt;
        return static_cast<uint64_t>(ms);
    }
    double seconds = length.seconds();
    if (!(seconds > 0)) return std::nullopt;
    double ms = seconds * 1000.0;
    // An infinite or absurdly long span has no whole-millisecond count.
    if (!std::isfinite(ms) || ms >= 1.8446744073709552e19) return std::nullopt;
    return static_cast<uint64_t>(ms);
}

} // namespace Dovezode
