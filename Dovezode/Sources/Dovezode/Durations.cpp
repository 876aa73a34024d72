#include "Dovezode/Durations.h"

#include <cmath>
#include <limits>

namespace Dovezode {

std::optional<uint64_t> milliseconds(const platform::MediaTime& start, const platform::MediaTime& end,
                                     const platform::MediaTime& lastDuration) {
    if (!start.isValid() || !end.isValid()) return std::nullopt;
    platform::MediaTime finish = end;
    if (lastDuration.isValid() && lastDuration.value > 0) finish = platform::add(end, lastDuration);
    double seconds = platform::subtract(finish, start).seconds();
    if (!(seconds > 0)) return std::nullopt;
    double ms = seconds * 1000.0;
    // An infinite or absurdly long span has no whole-millisecond count.
    if (!std::isfinite(ms) || ms >= 1.8446744073709552e19) return std::nullopt;
    return static_cast<uint64_t>(ms);
}

} // namespace Dovezode
