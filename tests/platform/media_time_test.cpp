// Exact media-time arithmetic: comparison, addition and subtraction across
// timescales, the 64-bit limits, and the non-numeric times.

#include "platform/media_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using platform::MediaTime;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int32_t kNanos = 1'000'000'000;

MediaTime t(int64_t value, int32_t timescale) { return MediaTime::make(value, timescale); }

std::string show(const MediaTime& time) {
    if (!time.isValid()) return "invalid";
    if (time.isIndefinite()) return "indefinite";
    if (time.isPositiveInfinity()) return "+inf";
    if (time.isNegativeInfinity()) return "-inf";
    return std::to_string(time.value) + "/" + std::to_string(time.timescale) + (time.hasBeenRounded() ? " rounded" : "");
}

// Same kind, and for numeric times the same value at the same timescale.
void expectSame(const MediaTime& actual, const MediaTime& expected) {
    EXPECT_EQ(show(actual), show(expected));
}

TEST(MediaTimeCompare, MillisecondsAgainstNanosecondsWithoutFloatingPoint) {
    // 1/600 s lies strictly between 1666666 ns and 1666667 ns.
    EXPECT_LT(t(1, 600), t(1'666'667, kNanos));
    EXPECT_GT(t(1, 600), t(1'666'666, kNanos));
    EXPECT_EQ(t(3, 600), t(5'000'000, kNanos));  // 1/200 s in both
    // 9e9 s against 9e9 s + 1 ns: equal as doubles, ordered exactly.
    MediaTime coarse = t(5'400'000'000'000, 600);
    MediaTime fine = t(9'000'000'000'000'000'001, kNanos);
    EXPECT_EQ(coarse.seconds(), fine.seconds());
    EXPECT_LT(coarse, fine);
    EXPECT_GT(t(-1, 600), t(-1'666'667, kNanos));
}

TEST(MediaTimeCompare, TotalOrderOverEveryKind) {
    // Ascending: -inf < numeric < indefinite < +inf < invalid.
    const std::vector<MediaTime> ascending = {
        MediaTime::negativeInfinity(), t(kMin, 1), t(-5, 1),          t(0, 1),
        t(1, 600),                     t(kMax, 1), MediaTime::indefinite(), MediaTime::positiveInfinity(),
        MediaTime::invalid(),
    };
    for (size_t i = 0; i < ascending.size(); ++i) {
        for (size_t j = 0; j < ascending.size(); ++j) {
            SCOPED_TRACE(show(ascending[i]) + " vs " + show(ascending[j]));
            int expected = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(platform::compare(ascending[i], ascending[j]), expected);
        }
    }
    EXPECT_EQ(MediaTime::invalid(), MediaTime::invalid());
    EXPECT_EQ(t(0, 1), t(0, kNanos));
}

TEST(MediaTimeArithmetic, UnlikeTimescales) {
    struct Case {
        const char* label;
        MediaTime result;
        MediaTime expected;
    };
    MediaTime rounded1666668 = t(1'666'668, kNanos);
    rounded1666668.flags |= MediaTime::HasBeenRounded;
    MediaTime rounded1666666 = t(1'666'666, kNanos);
    rounded1666666.flags |= MediaTime::HasBeenRounded;
    MediaTime roundedPrime = t(2'149'631'131, 2'147'483'647);  // 1.001 s, from ...130.647
    roundedPrime.flags |= MediaTime::HasBeenRounded;
    const std::vector<Case> cases = {
        // Exact at the least common timescale.
        {"1/600 + 1/1000", t(1, 600) + t(1, 1000), t(8, 3000)},
        {"1/600 - 1/1000", t(1, 600) - t(1, 1000), t(2, 3000)},
        {"1/1000 - 1/600", t(1, 1000) - t(1, 600), t(-2, 3000)},
        {"30 fps frame + 48 kHz block", t(1, 30) + t(1024, 48000), t(2624, 48000)},
        // lcm(600, 1e9) = 3e9 does not fit 32 bits: rounded to nanoseconds.
        {"1/600 + 1 ns", t(1, 600) + t(1, kNanos), rounded1666668},
        {"1/600 - 1 ns", t(1, 600) - t(1, kNanos), rounded1666666},
        // No common timescale, but the sum is exact at the larger one: not rounded.
        {"1 s + 1 ns", t(600, 600) + t(1, kNanos), t(1'000'000'001, kNanos)},
        {"1 s at a prime timescale + 1 ms", t(2'147'483'647, 2'147'483'647) + t(1, 1000), roundedPrime},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expectSame(c.result, c.expected);
    }
}

TEST(MediaTimeArithmetic, RoundedFlagOfAnOperandCarriesOver) {
    MediaTime rounded = t(1, 600);
    rounded.flags |= MediaTime::HasBeenRounded;
    EXPECT_TRUE((rounded + t(1, 600)).hasBeenRounded());
    EXPECT_TRUE((t(1, 1000) - rounded).hasBeenRounded());
    EXPECT_FALSE((t(1, 1000) - t(1, 600)).hasBeenRounded());
}

TEST(MediaTimeArithmetic, SixtyFourBitLimits) {
    struct Case {
        const char* label;
        MediaTime result;
        MediaTime expected;
    };
    MediaTime halfPlusOne = t(kMax / 2 + 1, 1000);
    halfPlusOne.flags |= MediaTime::HasBeenRounded;
    const std::vector<Case> cases = {
        {"max - 1 + 1 fits", t(kMax - 1, 1) + t(1, 1), t(kMax, 1)},
        {"max + 1 overflows", t(kMax, 1) + t(1, 1), MediaTime::positiveInfinity()},
        {"min - 1 overflows", t(kMin, 1) - t(1, 1), MediaTime::negativeInfinity()},
        {"min + min overflows", t(kMin, 1) + t(kMin, 1), MediaTime::negativeInfinity()},
        {"0 - min overflows", t(0, 1) - t(kMin, 1), MediaTime::positiveInfinity()},
        {"max - max", t(kMax, 1000) - t(kMax, 1000), t(0, 1000)},
        {"min + max", t(kMin, 1) + t(kMax, 1), t(-1, 1)},
        // The intermediate 2 * max exceeds 64 bits; the sum does not.
        {"min/2 s + max s", t(kMin, 2) + t(kMax, 1), t(kMax - 1, 2)},
        // Too large at the common timescale 999000, representable at 1000.
        {"finite sum beyond the common timescale", t(kMax / 2, 1000) + t(1, 999), halfPlusOne},
        {"nanoseconds past the limit", t(kMax, kNanos) + t(1, 1), MediaTime::positiveInfinity()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expectSame(c.result, c.expected);
    }
}

TEST(MediaTimeArithmetic, NonNumericOperands) {
    const MediaTime invalid = MediaTime::invalid();
    const MediaTime indefinite = MediaTime::indefinite();
    const MediaTime plus = MediaTime::positiveInfinity();
    const MediaTime minus = MediaTime::negativeInfinity();
    MediaTime otherEpoch = t(1, 600);
    otherEpoch.epoch = 1;
    MediaTime zeroTimescale = t(1, 600);
    zeroTimescale.timescale = 0;  // claims to be valid, has no timescale
    MediaTime negativeTimescale = t(1, 600);
    negativeTimescale.timescale = -600;
    struct Case {
        const char* label;
        MediaTime result;
        MediaTime expected;
    };
    const std::vector<Case> cases = {
        {"invalid + numeric", invalid + t(1, 1), invalid},
        {"numeric - invalid", t(1, 1) - invalid, invalid},
        {"invalid + indefinite", invalid + indefinite, invalid},
        {"indefinite + numeric", indefinite + t(1, 1), indefinite},
        {"numeric - indefinite", t(1, 1) - indefinite, indefinite},
        {"indefinite + +inf", indefinite + plus, indefinite},
        {"+inf + numeric", plus + t(kMin, 1), plus},
        {"numeric - +inf", t(1, 1) - plus, minus},
        {"numeric - -inf", t(1, 1) - minus, plus},
        {"+inf + -inf", plus + minus, invalid},
        {"+inf - +inf", plus - plus, invalid},
        {"-inf - -inf", minus - minus, invalid},
        {"+inf - -inf", plus - minus, plus},
        {"-inf + -inf", minus + minus, minus},
        {"different epochs", t(1, 600) + otherEpoch, invalid},
        {"zero timescale", zeroTimescale + t(1, 600), invalid},
        {"negative timescale", t(1, 1000) - negativeTimescale, invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        expectSame(c.result, c.expected);
    }
    EXPECT_EQ(platform::compare(zeroTimescale, invalid), 0);
}

TEST(MediaTimeSeconds, NaNForInvalidAndIndefinite) {
    EXPECT_TRUE(std::isnan(MediaTime::invalid().seconds()));
    EXPECT_TRUE(std::isnan(MediaTime::indefinite().seconds()));
    EXPECT_EQ(MediaTime::positiveInfinity().seconds(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(MediaTime::negativeInfinity().seconds(), -std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(t(1, 600).seconds(), 1.0 / 600);
    EXPECT_DOUBLE_EQ(t(-1, 2).seconds(), -0.5);
    EXPECT_DOUBLE_EQ(t(kMax, kNanos).seconds(), 9223372036.854775807);
}

} // namespace
