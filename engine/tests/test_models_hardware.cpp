// What Python cannot reach of the chip models: the division and conversion rules at the
// edges no default parameter touches, and the Akida neuron's negative ranks, which only
// 2^31 calls would bring about.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "neurons/hardware.hpp"
#include "panic_text.hpp"

using namespace neurons::hardware;

namespace {

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(HardwareIntegerRules, WrapAndShift) {
    EXPECT_EQ(add32(INT32_MAX, 1), INT32_MIN);
    EXPECT_EQ(sub32(INT32_MIN, 1), INT32_MAX);
    EXPECT_EQ(mul32(-10000000, 243), 1864967296);
    EXPECT_EQ(mul32(INT32_MIN, -1), INT32_MIN);
    EXPECT_EQ(shr32(-243, 8), -1);
    EXPECT_EQ(shr32(-1 << 20, 50), -4);  // 50 shifts by 18
    EXPECT_EQ(shr32(INT32_MIN, -1), -1);  // -1 shifts by 31
    EXPECT_EQ(shr32(12345, 32), 12345);
}

TEST(HardwareIntegerRules, DivisionTruncatesAndStopsOnTheTwoBadQuotients) {
    EXPECT_EQ(div32(-7, 5), -1);
    EXPECT_EQ(div32(7, -5), -1);
    EXPECT_EQ(div32(INT32_MIN, 1), INT32_MIN);
    EXPECT_EQ(panic_text([] { div32(3, 0); }), "attempt to divide by zero");
    EXPECT_EQ(panic_text([] { div32(INT32_MIN, -1); }), "attempt to divide with overflow");
}

TEST(HardwareIntegerRules, FloatToIntSaturatesTruncatingAndNaNIsZero) {
    const struct {
        double x;
        int32_t want;
    } cases[] = {{2147483647.0, INT32_MAX}, {2147483647.9, INT32_MAX}, {2147483648.0, INT32_MAX},
                 {1e300, INT32_MAX},        {kInf, INT32_MAX},          {-2147483648.0, INT32_MIN},
                 {-2147483648.9, INT32_MIN}, {-2147483649.0, INT32_MIN}, {-kInf, INT32_MIN},
                 {kNaN, 0},                  {-0.9, 0},                  {2.9, 2},
                 {-2.9, -2}};
    for (const auto& c : cases) EXPECT_EQ(saturating_i32(c.x), c.want) << c.x;
}

TEST(HardwareAkidaPower, SquaresTheBaseBitByBit) {
    EXPECT_EQ(rank_power(0.75, 0), 1.0);
    EXPECT_EQ(rank_power(0.75, 1), 0.75);
    EXPECT_EQ(rank_power(0.75, 3), 0.75 * 0.5625);
    // 75 = 1 + 2 + 8 + 64: the base and its squares b^2, b^8 and b^64, multiplied in from
    // the lowest bit. The rounded squares make this one ulp below the correctly rounded 0.75^75.
    double sq[7] = {0.75};
    for (int i = 1; i < 7; ++i) sq[i] = sq[i - 1] * sq[i - 1];
    EXPECT_EQ(bits(rank_power(0.75, 75)), bits(((sq[0] * sq[1]) * sq[3]) * sq[6]));
    EXPECT_EQ(bits(rank_power(0.75, 75)), bits(0x1.d49778e1a1973p-32));
    EXPECT_NE(bits(rank_power(0.75, 75)), bits(0x1.d49778e1a1974p-32));
    EXPECT_EQ(rank_power(0.75, INT32_MAX), 0.0);
}

TEST(HardwareAkidaPower, NegativeRankGivesTheReciprocal) {
    EXPECT_EQ(bits(rank_power(0.75, -1)), bits(1.0 / 0.75));
    EXPECT_EQ(bits(rank_power(0.75, -3)), bits(1.0 / (0.75 * 0.5625)));
    EXPECT_EQ(bits(rank_power(0.75, -75)), bits(1.0 / 0x1.d49778e1a1973p-32));
    // |INT32_MIN| is 2^31; 0.75^(2^31) underflows to 0.
    EXPECT_EQ(rank_power(0.75, INT32_MIN), kInf);
}

// The rank wraps from INT32_MAX to INT32_MIN; from there decay^rank is infinite, and the
// weighted input saturates (or, for a zero weight, is NaN and counts as 0).
TEST(HardwareAkida, RankWrapsAndTheWeightSaturates) {
    AkidaNeuron n;
    n.rank = INT32_MAX;
    EXPECT_EQ(n.step(INT32_MAX), 0);  // 0.75^INT32_MAX is 0
    EXPECT_EQ(n.v, 0);
    EXPECT_EQ(n.rank, INT32_MIN);
    EXPECT_EQ(n.step(0), 0);  // inf * 0
    EXPECT_EQ(n.v, 0);
    EXPECT_EQ(n.step(-1), 0);
    EXPECT_EQ(n.v, INT32_MIN);
    EXPECT_EQ(n.rank, INT32_MIN + 2);
    // Further ranks stay huge: 1 / 0.75^(2^31 - 2) is infinite too.
    EXPECT_EQ(n.step(1), 0);
    EXPECT_EQ(n.v, -1);  // INT32_MIN + INT32_MAX
    EXPECT_EQ(n.step(1), 1);
    EXPECT_EQ(n.v, INT32_MAX - 1);
    EXPECT_TRUE(n.fired);
}
