#pragma once
// Floating-point to signed 64-bit conversions that cannot go wrong: a value
// that is not finite or lies outside the integer range gives 0.

#include <cmath>
#include <cstdint>

namespace mediainfo {

inline bool fitsInt64(double value) {
    // [-2^63, 2^63): the upper bound itself is not representable.
    return std::isfinite(value) && value >= -9.2233720368547758e18 && value < 9.2233720368547758e18;
}

// Truncation toward zero.
inline int64_t truncatedToInt64(double value) {
    double whole = std::trunc(value);
    return fitsInt64(whole) ? static_cast<int64_t>(whole) : 0;
}

// Nearest integer, halves away from zero.
inline int64_t roundedToInt64(double value) {
    double whole = std::round(value);
    return fitsInt64(whole) ? static_cast<int64_t>(whole) : 0;
}

} // namespace mediainfo
