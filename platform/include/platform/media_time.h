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

    bool isValid() const { return (flags & Valid) != 0; }
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
