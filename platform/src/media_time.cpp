#include "platform/media_time.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace platform {
namespace {

using Wide = __int128;

constexpr Wide kInt64Max = std::numeric_limits<int64_t>::max();
constexpr Wide kInt64Min = std::numeric_limits<int64_t>::min();

// numerator / denominator rounded half away from zero; denominator > 0.
Wide divideRounded(Wide numerator, Wide denominator) {
    Wide quotient = numerator / denominator;
    Wide remainder = numerator % denominator;
    Wide twice = (remainder < 0 ? -remainder : remainder) * 2;
    if (twice >= denominator) quotient += numerator < 0 ? -1 : 1;
    return quotient;
}

// Rank of the non-numeric kinds in the total order.
int rank(const MediaTime& t) {
    if (!t.isValid()) return 4;
    if (t.isPositiveInfinity()) return 3;
    if (t.isIndefinite()) return 2;
    if (t.isNegativeInfinity()) return 0;
    return 1;
}

MediaTime fromWide(Wide value, int32_t timescale, uint32_t extraFlags, int64_t epoch) {
    if (value > kInt64Max) return MediaTime::positiveInfinity();
    if (value < kInt64Min) return MediaTime::negativeInfinity();
    return {static_cast<int64_t>(value), timescale, MediaTime::Valid | extraFlags, epoch};
}

// Sum of two numeric times of one epoch; `sign` is +1 to add, -1 to subtract.
MediaTime combineNumeric(const MediaTime& a, const MediaTime& b, int sign) {
    uint32_t rounded = (a.flags | b.flags) & MediaTime::HasBeenRounded;
    Wide bValue = static_cast<Wide>(b.value) * sign;
    if (a.timescale == b.timescale) {
        return fromWide(static_cast<Wide>(a.value) + bValue, a.timescale, rounded, a.epoch);
    }
    Wide lcm = std::lcm(static_cast<int64_t>(a.timescale), static_cast<int64_t>(b.timescale));
    if (lcm <= MediaTime::kMaxTimescale) {
        Wide sum = static_cast<Wide>(a.value) * (lcm / a.timescale) + bValue * (lcm / b.timescale);
        if (sum >= kInt64Min && sum <= kInt64Max) {
            return fromWide(sum, static_cast<int32_t>(lcm), rounded, a.epoch);
        }
        // The exact value does not fit at the common timescale; the larger
        // timescale of the two may still hold it, rounded.
    }
    // No common timescale holds the exact sum: round it once to the larger timescale.
    // |numerator| < 2^95 and target < 2^31, so the scaled product stays below 2^126.
    int32_t target = std::max(a.timescale, b.timescale);
    Wide numerator = static_cast<Wide>(a.value) * b.timescale + bValue * a.timescale;
    Wide denominator = static_cast<Wide>(a.timescale) * b.timescale;
    Wide scaled = numerator * target;
    Wide value = divideRounded(scaled, denominator);
    bool exact = value * denominator == scaled;
    return fromWide(value, target, rounded | (exact ? 0u : static_cast<uint32_t>(MediaTime::HasBeenRounded)),
                    a.epoch);
}

MediaTime combine(const MediaTime& a, const MediaTime& b, int sign) {
    if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
    if (a.isIndefinite() || b.isIndefinite()) return MediaTime::indefinite();
    bool aPos = a.isPositiveInfinity(), aNeg = a.isNegativeInfinity();
    bool bPos = b.isPositiveInfinity(), bNeg = b.isNegativeInfinity();
    if (sign < 0) std::swap(bPos, bNeg);
    if ((aPos && bNeg) || (aNeg && bPos)) return MediaTime::invalid();
    if (aPos || bPos) return MediaTime::positiveInfinity();
    if (aNeg || bNeg) return MediaTime::negativeInfinity();
    if (a.epoch != b.epoch) return MediaTime::invalid();
    return combineNumeric(a, b, sign);
}

} // namespace

MediaTime MediaTime::make(int64_t value, int32_t timescale) {
    if (timescale <= 0) return invalid();
    return {value, timescale, Valid, 0};
}

MediaTime MediaTime::fromSeconds(double seconds, int32_t timescale) {
    if (std::isnan(seconds) || timescale <= 0) return invalid();
    if (std::isinf(seconds)) return seconds > 0 ? positiveInfinity() : negativeInfinity();
    double scaled = std::round(seconds * timescale);
    if (scaled >= 9.2233720368547758e18) return positiveInfinity();
    if (scaled <= -9.2233720368547758e18) return negativeInfinity();
    MediaTime t = make(static_cast<int64_t>(scaled), timescale);
    if (scaled != seconds * timescale) t.flags |= HasBeenRounded;
    return t;
}

double MediaTime::seconds() const {
    if (!isValid() || isIndefinite()) return std::numeric_limits<double>::quiet_NaN();
    if (isPositiveInfinity()) return std::numeric_limits<double>::infinity();
    if (isNegativeInfinity()) return -std::numeric_limits<double>::infinity();
    // Split into whole seconds and remainder to keep precision for large values.
    int64_t whole = value / timescale;
    int64_t rest = value % timescale;
    return static_cast<double>(whole) + static_cast<double>(rest) / timescale;
}

MediaTime MediaTime::convertScale(int32_t newTimescale) const {
    if (!isNumeric() || newTimescale <= 0 || newTimescale == timescale) return *this;
    Wide scaled = static_cast<Wide>(value) * newTimescale;
    Wide converted = divideRounded(scaled, timescale);
    bool exact = converted * timescale == scaled;
    return fromWide(converted, newTimescale,
                    (flags & HasBeenRounded) | (exact ? 0u : static_cast<uint32_t>(HasBeenRounded)), epoch);
}

int compare(const MediaTime& a, const MediaTime& b) {
    int ra = rank(a), rb = rank(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    if (ra != 1) return 0;
    if (a.epoch != b.epoch) return a.epoch < b.epoch ? -1 : 1;
    Wide left = static_cast<Wide>(a.value) * b.timescale;
    Wide right = static_cast<Wide>(b.value) * a.timescale;
    return left < right ? -1 : (left > right ? 1 : 0);
}

MediaTime add(const MediaTime& a, const MediaTime& b) { return combine(a, b, +1); }
MediaTime subtract(const MediaTime& a, const MediaTime& b) { return combine(a, b, -1); }

} // namespace platform
