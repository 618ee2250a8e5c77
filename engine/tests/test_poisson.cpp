#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ei_network.hpp"
#include "error.hpp"
#include "poisson.hpp"
#include "rng.hpp"

namespace {

struct Moments {
    double mean, variance;
};

// Moments taken about lambda, so that large means keep their digits.
Moments sample(double lambda, int n, uint64_t seed) {
    poisson::Knuth k(lambda, rng::Xoshiro256pp(seed));
    double sum = 0, sq = 0;
    for (int i = 0; i < n; ++i) {
        const double d = static_cast<double>(k.draw()) - lambda;
        sum += d;
        sq += d * d;
    }
    const double mean = sum / n;
    return {lambda + mean, sq / n - mean * mean};
}

class PoissonMoments : public ::testing::TestWithParam<double> {};

// Mean and variance both equal lambda; five standard errors of the mean as tolerance. Means
// up to 700 take the product of uniforms, larger ones the rejection method.
TEST_P(PoissonMoments, MeanAndVarianceMatchTheMean) {
    const double lambda = GetParam();
    const int n = 4000;
    const Moments m = sample(lambda, n, 11);
    EXPECT_NEAR(m.mean, lambda, 5 * std::sqrt(lambda / n));
    EXPECT_NEAR(m.variance / lambda, 1.0, 0.12);
}

INSTANTIATE_TEST_SUITE_P(Means, PoissonMoments,
                         ::testing::Values(0.5, 3.0, 700.0, 700.5, 760.0, 2000.0, 9000.0, 1e6, 1e12, 1e16));

// The rejection method's histogram against the Poisson probabilities at a mean just above the
// product method's range: a chi-square over the central bins (df ~ 80, far below 200).
TEST(Poisson, RejectionFollowsThePoissonLaw) {
    const double mu = 800.0;
    poisson::Knuth k(mu, rng::Xoshiro256pp(5));
    ASSERT_TRUE(k.rejection());
    const int n = 200000, lo = 760, hi = 840;
    std::vector<int> hist(hi - lo + 1, 0);
    for (int i = 0; i < n; ++i) {
        const uint64_t x = k.draw();
        if (x >= static_cast<uint64_t>(lo) && x <= static_cast<uint64_t>(hi)) ++hist[x - lo];
    }
    double chi2 = 0.0;
    for (int x = lo; x <= hi; ++x) {
        const double p = std::exp(-mu + x * std::log(mu) - std::lgamma(x + 1.0));
        const double want = n * p;
        chi2 += (hist[x - lo] - want) * (hist[x - lo] - want) / want;
    }
    EXPECT_LT(chi2, 200.0);
}

// Means whose counts cannot be represented saturate, in a bounded number of draws.
TEST(Poisson, HugeMeansSaturate) {
    for (const double mu : {1e20, 1e100, 1e308, std::numeric_limits<double>::max()}) {
        poisson::Knuth k(mu, rng::Xoshiro256pp(3));
        for (int i = 0; i < 1000; ++i) ASSERT_EQ(k.draw(), UINT64_MAX) << mu;
    }
    // Just above 2^63 the counts still fit and spread around the mean.
    poisson::Knuth k(9.3e18, rng::Xoshiro256pp(3));
    const uint64_t x = k.draw();
    EXPECT_NEAR(static_cast<double>(x), 9.3e18, 1e11);
}

// One uniform at a time, as the method is written.
uint64_t plain_knuth(double limit, rng::Xoshiro256pp& g) {
    int64_t k = -1;
    double p = 1.0;
    do {
        p = p * g.next_f64();
        k += 1;
    } while (!(p <= limit));
    return static_cast<uint64_t>(k);
}

class PoissonStream : public ::testing::TestWithParam<double> {};

// The buffered draws equal one-at-a-time draws count for count, across many block refills
// and across runs longer than the four products worked out ahead.
TEST_P(PoissonStream, EqualsOneUniformAtATime) {
    const double lambda = GetParam();
    poisson::Knuth k(lambda, rng::Xoshiro256pp(99));
    rng::Xoshiro256pp g(99);
    const double limit = std::exp(-lambda);
    for (int i = 0; i < 20000; ++i) ASSERT_EQ(k.draw(), plain_knuth(limit, g)) << i;
}

INSTANTIATE_TEST_SUITE_P(Means, PoissonStream, ::testing::Values(0.0, 0.05, 2.0, 3.5, 9.0, 120.0, 700.0));

// Beyond 2^53 the counts keep their low digits (a count formed in doubles would fall on the
// doubles' grid: all even at 1e16, multiples of 2048 at 1e19).
TEST(Poisson, LargeMeansKeepTheirLowDigits) {
    for (const double mu : {1e16, 1e17, 1e19}) {
        poisson::Knuth k(mu, rng::Xoshiro256pp(8));
        int odd = 0;
        for (int i = 0; i < 200; ++i) odd += static_cast<int>(k.draw() & 1u);
        EXPECT_GT(odd, 60) << mu;
        EXPECT_LT(odd, 140) << mu;
    }
}

TEST(Poisson, MethodPerMean) {
    EXPECT_FALSE(poisson::Knuth(700.0, rng::Xoshiro256pp(1)).rejection());
    EXPECT_TRUE(poisson::Knuth(700.5, rng::Xoshiro256pp(1)).rejection());
    EXPECT_TRUE(poisson::Knuth(1e300, rng::Xoshiro256pp(1)).rejection());
    // An infinite mean keeps the product run, which ends when the product underflows.
    poisson::Knuth inf(std::numeric_limits<double>::infinity(), rng::Xoshiro256pp(1));
    EXPECT_FALSE(inf.rejection());
    EXPECT_EQ(inf.limit(), 0.0);
    EXPECT_GT(inf.draw(), 600u);
}

TEST(SaturatingU64, TruncatesClampsAndSaturates) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double x;
        uint64_t want;
    } cases[] = {
        {nan, 0},
        {-inf, 0},
        {-1.5, 0},
        {-0.0, 0},
        {0.99, 0},
        {2.7, 2},
        {9007199254740993.0, 9007199254740992u},
        {18446744073709549568.0, 18446744073709549568u},  // the largest double below 2^64
        {18446744073709551616.0, UINT64_MAX},
        {1e300, UINT64_MAX},
        {inf, UINT64_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(engine::saturating_u64(c.x), c.want) << c.x;
    EXPECT_EQ(ei_network::step_count(1e30, 1.0), ei_network::kMaxSteps);
    EXPECT_EQ(ei_network::step_count(10.0, 0.1), 100u);
}

}  // namespace
