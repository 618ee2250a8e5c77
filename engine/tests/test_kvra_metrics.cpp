#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "error.hpp"
#include "kvra/metrics.hpp"

using kvra::metrics::KVRAMetrics;
using W7 = std::array<double, 7>;
using G6 = std::array<double, 6>;

namespace {

struct CoherenceCase {
    const char* name;
    W7 weights, metrics;
    double expect;  // NaN: the result must be NaN
};

class KvraGlobalCoherence : public ::testing::TestWithParam<CoherenceCase> {};

TEST_P(KvraGlobalCoherence, ClampsAndNanRules) {
    const CoherenceCase& c = GetParam();
    const double got = KVRAMetrics::global_coherence(c.weights, c.metrics);
    if (std::isnan(c.expect))
        EXPECT_TRUE(std::isnan(got)) << got;
    else
        EXPECT_DOUBLE_EQ(got, c.expect);
}

const double nan = NAN;

INSTANTIATE_TEST_SUITE_P(
    KvraCases, KvraGlobalCoherence,
    ::testing::Values(
        CoherenceCase{"equal", {1, 1, 1, 1, 1, 1, 1}, {.5, .5, .5, .5, .5, .5, .5}, 0.5},
        CoherenceCase{"clamped_metrics", {1, 1, 1, 1, 0, 0, 0}, {2, -1, 1, 0, 9, 9, 9}, 0.5},
        CoherenceCase{"all_zero_weights", {0, 0, 0, 0, 0, 0, 0}, {nan, nan, 1, 1, 1, 1, 1}, 0.0},
        CoherenceCase{"negative_and_nan_weights", {-1, nan, -5, nan, -0.0, -2, -3},
                      {1, 1, 1, 1, 1, 1, 1}, 0.0},
        CoherenceCase{"single_weight", {0, 0, 3.5, 0, 0, 0, 0}, {0, 0, 2.0, 0, 0, 0, 0}, 1.0},
        CoherenceCase{"weighted", {1, 3, 0, -4, nan, 0, 0}, {0.2, 0.6, 1, 1, 1, 1, 1},
                      (1 * 0.2 + 3 * 0.6) / 4.0},
        CoherenceCase{"nan_metric", {1, 1, 1, 1, 1, 1, 1}, {.5, .5, nan, .5, .5, .5, .5}, nan},
        // A weight of 0 still multiplies its metric, so a NaN there reaches the sum.
        CoherenceCase{"nan_metric_zero_weight", {1, 0, 0, 0, 0, 0, 0}, {.5, nan, 0, 0, 0, 0, 0},
                      nan}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KvraConsciousnessIndex, CoherenceAndGlyphMix) {
    const std::vector<double> none, same(5, 0.7), opposite = {0.0, std::numbers::pi};
    EXPECT_EQ(KVRAMetrics::consciousness_index(none, G6{}), 0.0);
    EXPECT_NEAR(KVRAMetrics::consciousness_index(same, G6{1, 1, 1, 1, 1, 1}), 1.0, 1e-15);
    EXPECT_NEAR(KVRAMetrics::consciousness_index(opposite, G6{}), 0.0, 1e-15);
    // A glyph far above unit magnitude is capped at 1 before weighting.
    EXPECT_NEAR(KVRAMetrics::consciousness_index(none, G6{100, 0, 0, 0, 0, 0}), 0.3, 1e-15);

    // A mixed case by the formula: R of three phases, the glyph's norm over sqrt(6).
    const std::vector<double> p = {0.1, 0.9, 2.0};
    const G6 g = {0.5, -0.25, 0.0, 1.0, 0.125, 0.0};
    double c = -0.0, s = -0.0;
    for (double x : p) c += std::cos(x);
    for (double x : p) s += std::sin(x);
    const double inv = 1.0 / 3.0;
    const double r = std::sqrt((inv * c) * (inv * c) + (inv * s) * (inv * s));
    double g2 = 0.0;
    for (double v : g) g2 += v * v;
    const double expect = 0.3 * (std::sqrt(g2) / 2.449489742783178) + 0.7 * r;
    EXPECT_EQ(KVRAMetrics::consciousness_index(p, g), expect);

    EXPECT_TRUE(std::isnan(KVRAMetrics::consciousness_index(std::vector<double>{0.0, NAN}, G6{})));
    EXPECT_TRUE(std::isnan(KVRAMetrics::consciousness_index(none, G6{NAN, 0, 0, 0, 0, 0})));
}

TEST(KvraConsciousnessIndex, StaysInUnitInterval) {
    for (double phase : {0.0, 1.0, -50.0, 1e10})
        for (double gv : {0.0, 0.3, 1.0, 1e300, -1e300}) {
            const std::vector<double> p(4, phase);
            const double v = KVRAMetrics::consciousness_index(p, G6{gv, gv, gv, gv, gv, gv});
            EXPECT_GE(v, 0.0);
            EXPECT_LE(v, 1.0);
        }
}

TEST(KvraLength, MessagesNameBothLengths) {
    EXPECT_NO_THROW(kvra::metrics::check_length(7, 7));
    try {
        kvra::metrics::check_length(7, 6);
        ADD_FAILURE();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "expected a sequence of length 7 (got 6)");
    }
    try {
        kvra::metrics::check_length(6, 0);
        ADD_FAILURE();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "expected a sequence of length 6 (got 0)");
    }
}

}  // namespace
