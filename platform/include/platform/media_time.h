#pragma once
// Rational media time: value / timescale seconds, with validity and the
// infinities and indefinite flags. Compared, added and subtracted exactly
// (128-bit intermediates), never through floating point.

#include <compare>
#include <cstdint>

namespace platform {

struct MediaTime {
    enum Flags : uint32_t {
        Valid = 1u << 0,
        HasBeenRounded = 1u << 1,
        PositiveInfinity = 1u << 2,
        NegativeInfinity = 1u << 3,
        Indefinite = 1u << 4,
    };

    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;
    int64_t epoch = 0;

    static constexpr int32_t kMaxTimescale = 0x7fffffff;

    static MediaTime make(int64_t value, int32_t timescale);
    static MediaTime invalid() { return {}; }
    static MediaTime zero() { return {0, 1, Valid, 0}; }
    static MediaTime indefinite() { return {0, 0, Valid | Indefinite, 0}; }
    static MediaTime positiveInfinity() { return {0, 0, Valid | PositiveInfinity, 0}; }
    static MediaTime negativeInfinity() { return {0, 0, Valid | NegativeInfinity, 0}; }
    // Nearest time to the given seconds at the given timescale (invalid for NaN).
    static MediaTime fromSeconds(double seconds, int32_t timescale);

    // The valid flag is set, and a numeric time has a positive timescale
    // (a malformed time with a zero or negative timescale counts as invalid).
    bool isValid() const {
        if ((flags & Valid) == 0) return false;
        return timescale > 0 || (flags & (Indefinite | PositiveInfinity | NegativeInfinity)) != 0;
    }
    bool isIndefinite() const { return isValid() && (flags & Indefinite) != 0; }
    bool isPositiveInfinity() const { return isValid() && (flags & PositiveInfinity) != 0; }
    bool isNegativeInfinity() const { return isValid() && (flags & NegativeInfinity) != 0; }
    // Valid and neither infinite nor indefinite.
    bool isNumeric() const {
        return isValid() && (flags & (Indefinite | PositiveInfinity | NegativeInfinity)) == 0;
    }
    bool hasBeenRounded() const { return (flags & HasBeenRounded) != 0; }

    // value / timescale; NaN when invalid or indefinite, +-infinity for the infinities.
    double seconds() const;
    // The same time at another timescale, rounded half away from zero
    // (rounded flag set when the value changed). Non-numeric times are returned as they are.
    MediaTime convertScale(int32_t newTimescale) const;
};

// Total order: -inf < numeric < indefinite < +inf < invalid; invalid equals invalid.
// Numeric times of different epochs order by epoch first.
int compare(const MediaTime& a, const MediaTime& b);
// Sum and difference, exact at the least common timescale when that fits 32 bits
// and the value fits 64 bits; otherwise at the larger of the two timescales,
// rounded half away from zero, with the rounded flag set when rounding changed
// the result. A result beyond the 64-bit range is +infinity or -infinity.
// Invalid if either operand is invalid, their epochs differ, or opposite
// infinities meet; indefinite if either operand is indefinite.
MediaTime add(const MediaTime& a, const MediaTime& b);
MediaTime subtract(const MediaTime& a, const MediaTime& b);

inline std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
    return compare(a, b) <=> 0;
}
inline bool operator==(const MediaTime& a, const MediaTime& b) { return compare(a, b) == 0; }
inline MediaTime operator+(const MediaTime& a, const MediaTime& b) { return add(a, b); }
inline MediaTime operator-(const MediaTime& a, const MediaTime& b) { return subtract(a, b); }

// A start and a duration.
struct MediaTimeRange {
    MediaTime start;
    MediaTime duration;
};

} // namespace platform
