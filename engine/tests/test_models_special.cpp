#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "neurons/special.hpp"

using neurons::special::partial_exp_sum;

namespace {

// Every term of sum_{i<k} x^i / i!, however small or large.
double full_sum(double x, uint32_t k) {
    double t = 1.0;
    double s = 0.0;
    for (uint32_t i = 0; i < k; ++i) {
        if (i > 0) t = t * x / static_cast<double>(i);
        s = s + t;
    }
    return s;
}

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

}  // namespace

// The sum stops once a term is zero or no longer finite; the result must be the full loop's.
TEST(GammaRenewalSum, StoppingEarlyKeepsTheFullSum) {
    const double inf = std::numeric_limits<double>::infinity();
    const double xs[] = {1e-320, 1e-300, 1e-20, 1e-3, 0.5, 1.0, 3.7, 20.0, 150.0, 600.0, 700.0,
                         708.0, 709.5, 712.0, 720.0, 745.0, 800.0, 1e4, 1e8, 1e300, inf};
    const uint32_t ks[] = {0, 1, 2, 3, 5, 17, 100, 400, 1000, 2500, 6000};
    for (double x : xs)
        for (uint32_t k : ks) {
            const double got = partial_exp_sum(x, k);
            const double want = full_sum(x, k);
            EXPECT_EQ(bits(got), bits(want)) << "x=" << x << " k=" << k;
        }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(partial_exp_sum(nan, 5)));
    EXPECT_EQ(partial_exp_sum(nan, 1), 1.0);  // the first term is 1 whatever x is
}
