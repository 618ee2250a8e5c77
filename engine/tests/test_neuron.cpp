#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "error.hpp"
#include "neuron.hpp"
#include "rng.hpp"

using neuron::AdExNeuron;
using neuron::ExpIFNeuron;
using neuron::FixedPointLif;
using neuron::HomeostaticLif;
using neuron::Izhikevich;
using neuron::LapicqueNeuron;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sign-extending wrap written with modular arithmetic, independent of the shifts
// the engine uses.
int64_t ref_wrap(int64_t x, int k) {
    const int64_t m = int64_t{1} << k;
    int64_t r = ((x % m) + m) % m;
    if (r >= m / 2) r -= m;
    return r;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

struct RefLif {
    int64_t counter = 0, v = 0;
    int w, f;
    int64_t period, v_rest, v_reset, v_thr;

    std::pair<int64_t, int64_t> step(int64_t leak_k, int64_t gain_k, int64_t i_t, int64_t noise) {
        if (counter > 0) {
            counter -= 1;
            v = v_rest;
            return {0, ref_wrap(v_rest, w)};
        }
        const int64_t d = ref_wrap(ref_wrap(v_rest - v, 2 * w), 16);
        const int64_t scale = int64_t{1} << (f % 32);
        const int64_t leak = ref_wrap(floor_div(d * leak_k, scale), w);
        const int64_t input = ref_wrap(floor_div(i_t * gain_k, scale), w);
        const int64_t v_new = ref_wrap(v + noise + input + leak, w);
        if (v_new >= v_thr) {
            v = v_reset;
            counter = period;
            return {1, ref_wrap(v_reset, w)};
        }
        v = v_new;
        return {0, v_new};
    }
};

std::string panic_text(FixedPointLif& lif) {
    try {
        lif.step(1, 256, 1, 0);
    } catch (const engine::Panic& p) {
        return p.what();
    }
    return "<no panic>";
}

bool same_bits(const FixedPointLif& a, const FixedPointLif& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(NeuronFixedPointLif, CountsToThresholdThenRefractory) {
    FixedPointLif lif;  // 16 bits, fraction 8, threshold 256, refractory 2
    for (int k = 1; k < 256; ++k) {
        const auto [s, v] = lif.step(0, 256, 1);
        ASSERT_EQ(s, 0) << k;
        ASSERT_EQ(v, k) << k;
    }
    EXPECT_EQ(lif.step(0, 256, 1), std::make_pair(1, int16_t{0}));
    EXPECT_EQ(lif.refractory_counter, 2);
    EXPECT_EQ(lif.step(0, 256, 1), std::make_pair(0, int16_t{0}));
    EXPECT_EQ(lif.refractory_counter, 1);
    EXPECT_EQ(lif.step(0, 256, 1), std::make_pair(0, int16_t{0}));
    EXPECT_EQ(lif.refractory_counter, 0);
    EXPECT_EQ(lif.step(0, 256, 1), std::make_pair(0, int16_t{1}));
    EXPECT_EQ(lif.step(0, 256, 1), std::make_pair(0, int16_t{2}));
}

TEST(NeuronFixedPointLif, Width8WrapsAndNeverReaches256) {
    FixedPointLif lif(8, 8, 0, 0, 256, 2);
    for (int k = 1; k <= 600; ++k) {
        const auto [s, v] = lif.step(0, 256, 1);
        ASSERT_EQ(s, 0) << k;
        ASSERT_EQ(v, ref_wrap(k, 8)) << k;
    }
    // 127 + 1 wraps to -128.
    FixedPointLif at_top(8, 8, 0, 0, 256, 2);
    at_top.v = 127;
    EXPECT_EQ(at_top.step(0, 256, 1).second, -128);
}

TEST(NeuronFixedPointLif, NegativeProductsRoundTowardMinusInfinity) {
    FixedPointLif lif;  // fraction 8
    EXPECT_EQ(lif.step(0, 1, -1), std::make_pair(0, int16_t{-1}));
    // Leak with a negative difference: (0 - 100) * 1 >> 8 is -1, not 0.
    FixedPointLif leaky;
    leaky.v = 100;
    EXPECT_EQ(leaky.step(1, 0, 0), std::make_pair(0, int16_t{99}));
    // The shift count is the fraction mod 32: fraction 40 shifts by 8.
    FixedPointLif f40(16, 40, 0, 0, 256, 2);
    EXPECT_EQ(f40.step(0, 256, 1).second, 1);
}

TEST(NeuronFixedPointLif, ReturnedValueIsWrappedButStoredValueIsNot) {
    // Width 4: v_rest = v_reset = 9 reads back as -7, while the record keeps 9.
    FixedPointLif lif(4, 0, 9, 9, -8, 1);
    EXPECT_EQ(lif.step(0, 0, 0), std::make_pair(1, int16_t{-7}));
    EXPECT_EQ(lif.v, 9);
    EXPECT_EQ(lif.step(0, 0, 0), std::make_pair(0, int16_t{-7}));  // refractory
    EXPECT_EQ(lif.v, 9);
    EXPECT_EQ(lif.refractory_counter, 0);
}

TEST(NeuronFixedPointLif, NonPositiveRefractoryPeriodMeansNoRefractorySteps) {
    for (int32_t period : {0, -3}) {
        FixedPointLif lif(16, 8, 0, 0, 2, period);
        EXPECT_EQ(lif.step(0, 256, 1).first, 0);
        EXPECT_EQ(lif.step(0, 256, 1).first, 1);
        EXPECT_EQ(lif.refractory_counter, period);
        EXPECT_EQ(lif.step(0, 256, 1), std::make_pair(0, int16_t{1})) << period;
    }
}

class NeuronFixedPointLifWidth : public ::testing::TestWithParam<uint32_t> {};

TEST_P(NeuronFixedPointLifWidth, BadWidthPanicsWithDoubledWidthAndChangesNothing) {
    const uint32_t w = GetParam();
    FixedPointLif lif(w, 8, 5, 0, 256, 2);
    lif.v = 17;
    const FixedPointLif before = lif;
    const std::string want = "mask width must be 1..=32, got " + std::to_string(2 * uint64_t{w});
    EXPECT_EQ(panic_text(lif), want);
    EXPECT_TRUE(same_bits(lif, before));
    EXPECT_EQ(panic_text(lif), want);  // the same answer again, and still usable
    lif.reset();
    EXPECT_EQ(lif.v, 5);
}

INSTANTIATE_TEST_SUITE_P(Widths, NeuronFixedPointLifWidth,
                         ::testing::Values(0u, 17u, 31u, 0x80000000u, 0xFFFFFFFFu));

TEST(NeuronFixedPointLif, WrapHelperChecksItsWidth) {
    EXPECT_EQ(neuron::wrap_to_width(0x1FFFF, 17), -1);
    EXPECT_EQ(neuron::wrap_to_width(int64_t{1} << 31, 32), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(neuron::wrap_to_width(-129, 8), 127);
    EXPECT_EQ(neuron::wrap_to_width(3, 1), -1);
    for (uint64_t bad : {uint64_t{0}, uint64_t{33}, uint64_t{1} << 32}) {
        try {
            neuron::wrap_to_width(1, bad);
            ADD_FAILURE() << bad;
        } catch (const engine::Panic& p) {
            EXPECT_EQ(std::string(p.what()), "mask width must be 1..=32, got " + std::to_string(bad));
        }
    }
}

// Random widths, fractions, thresholds and inputs against a reference written
// with modular arithmetic and floor division.
TEST(NeuronFixedPointLif, MatchesModularReference) {
    rng::Xoshiro256pp g(7);
    auto i16 = [&] { return static_cast<int16_t>(g.next_u64()); };
    auto small = [&] { return static_cast<int16_t>(static_cast<int64_t>(g.next_u64() % 601) - 300); };
    long spikes = 0, refractory = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const uint32_t w = 1 + static_cast<uint32_t>(g.next_u64() % 16);
        const uint32_t f = static_cast<uint32_t>(g.next_u64() % 48);
        const int16_t v_rest = i16(), v_reset = i16();
        const int16_t v_thr = (trial % 2) ? i16() : small();
        const int32_t period = static_cast<int32_t>(g.next_u64() % 6) - 2;
        FixedPointLif lif(w, f, v_rest, v_reset, v_thr, period);
        RefLif ref{0, v_rest, int(w), int(f), period, v_rest, v_reset, v_thr};
        for (int k = 0; k < 40; ++k) {
            const bool wide = g.next_u64() & 1;
            const int16_t lk = wide ? i16() : small(), gk = wide ? i16() : small();
            const int16_t it = wide ? i16() : small(), nz = wide ? i16() : small();
            const auto got = lif.step(lk, gk, it, nz);
            refractory += ref.counter > 0;
            const auto want = ref.step(lk, gk, it, nz);
            spikes += want.first;
            ASSERT_EQ(got.first, want.first) << trial << " " << k;
            ASSERT_EQ(got.second, want.second) << trial << " " << k;
            ASSERT_EQ(lif.v, ref.v) << trial << " " << k;
            ASSERT_EQ(lif.refractory_counter, ref.counter) << trial << " " << k;
        }
    }
    // Both branches were exercised, not just the subthreshold path.
    EXPECT_GT(spikes, 1000);
    EXPECT_GT(refractory, 1000);
}

TEST(NeuronFixedPointLif, ResetRestoresVoltageAndCounterOnly) {
    FixedPointLif lif(12, 4, -3, 7, 20, 5);
    while (lif.step(0, 64, 3).first == 0) {
    }
    ASSERT_EQ(lif.refractory_counter, 5);
    lif.reset();
    EXPECT_TRUE(same_bits(lif, FixedPointLif(12, 4, -3, 7, 20, 5)));
}

TEST(NeuronIzhikevich, HandStepsAndFirstSpikeAtStep4) {
    Izhikevich n;  // a 0.02, b 0.2, c -65, d 8, dt 1
    EXPECT_EQ(n.v, -65.0);
    EXPECT_EQ(n.u, 0.2 * -65.0);
    double v = -65.0, u = 0.2 * -65.0;
    const double I = 10.0, h = 1.0 * 0.5;
    int first = 0;
    for (int k = 1; k <= 4; ++k) {
        for (int half = 0; half < 2; ++half) {
            const double f = (((5 * v + (0.04 * v) * v) + 140) - u) + I;
            const double gg = (0.2 * v - u) * 0.02;
            v = v + f * h;
            u = u + gg * h;
        }
        const int s = n.step(I);
        if (v >= 30.0) {
            ASSERT_EQ(s, 1);
            EXPECT_EQ(n.v, -65.0);
            EXPECT_EQ(n.u, u + 8.0);
            first = k;
            break;
        }
        ASSERT_EQ(s, 0) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.u, u) << k;
    }
    EXPECT_EQ(first, 4);
}

TEST(NeuronIzhikevich, ConstructorArgumentsAndReset) {
    Izhikevich n(Izhikevich::Args{0.1, 0.25, -60.0, 2.0, 0.5});
    EXPECT_EQ(n.v, -60.0);
    EXPECT_EQ(n.u, 0.25 * -60.0);
    EXPECT_EQ(n.dt, 0.5);
    for (int k = 0; k < 50; ++k) n.step(15.0);
    n.reset();
    EXPECT_EQ(n.v, -60.0);
    EXPECT_EQ(n.u, -60.0 * 0.25);
    EXPECT_EQ(n.a, 0.1);
    EXPECT_EQ(n.d, 2.0);
}

TEST(NeuronPointModels, NaNInputPropagatesAndNeverSpikes) {
    Izhikevich iz;
    AdExNeuron ad;
    ExpIFNeuron ei;
    LapicqueNeuron lq;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(iz.step(kNaN), 0);
        EXPECT_EQ(ad.step(kNaN), 0);
        EXPECT_EQ(ei.step(kNaN), 0);
        EXPECT_EQ(lq.step(kNaN), 0);
    }
    EXPECT_TRUE(std::isnan(iz.v) && std::isnan(iz.u));
    EXPECT_TRUE(std::isnan(ad.v) && std::isnan(ad.w));
    EXPECT_TRUE(std::isnan(ei.v));
    EXPECT_TRUE(std::isnan(lq.v));
}

TEST(NeuronAdEx, HandStepsSpikeAndReset) {
    AdExNeuron n;
    double v = -65.0, w = 0.0;
    const double I = 500.0;
    int spikes = 0;
    for (int k = 0; k < 40; ++k) {
        double x = (v - -55.0) / 2.0;
        x = x < -20.0 ? -20.0 : (x > 20.0 ? 20.0 : x);
        const double e = std::exp(x);
        const double dv = (((e * 2.0 - (v - -65.0)) - w) + I) / 20.0;
        const double dw = (0.5 * (v - -65.0) - w) / 100.0;
        v = v + 0.1 * dv;
        w = w + 0.1 * dw;
        int want = 0;
        if (v >= -50.0) {
            v = -68.0;
            w = w + 7.0;
            want = 1;
        }
        ASSERT_EQ(n.step(I), want) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.w, w) << k;
        spikes += want;
    }
    ASSERT_GT(spikes, 0);
    n.reset();
    EXPECT_EQ(n.v, -65.0);
    EXPECT_EQ(n.w, 0.0);
    EXPECT_EQ(n.v_reset, -68.0);
}

TEST(NeuronAdEx, ExponentArgumentIsClamped) {
    // From v = -40 the exponent would be 7.5; from -200 it would be -72.5 (clamped to -20).
    for (double v0 : {-40.0, -200.0}) {
        AdExNeuron n;
        n.v = v0;
        n.v_peak = 1e300;  // watch the raw update
        n.step(0.0);
        const double x = std::fmin(std::fmax((v0 + 55.0) / 2.0, -20.0), 20.0);
        EXPECT_EQ(n.v, v0 + 0.1 * ((((std::exp(x) * 2.0 - (v0 + 65.0)) - 0.0) + 0.0) / 20.0));
    }
    AdExNeuron hot;
    hot.v = 0.0;  // (0 + 55) / 2 = 27.5 -> 20
    hot.v_peak = 1e300;
    hot.step(0.0);
    EXPECT_EQ(hot.v, 0.0 + 0.1 * ((std::exp(20.0) * 2.0 - 65.0) / 20.0));
}

TEST(NeuronExpIf, HandStepsSpikeAndReset) {
    ExpIFNeuron n;
    double v = -65.0;
    const double I = 300.0;
    int spikes = 0;
    for (int k = 0; k < 60; ++k) {
        const double x = std::fmin(std::fmax((v - -55.0) / 2.0, -20.0), 20.0);
        v = v + (((std::exp(x) * 2.0 - (v - -65.0)) + I) / 20.0) * 0.1;
        int want = 0;
        if (v >= -50.0) {
            v = -68.0;
            want = 1;
        }
        ASSERT_EQ(n.step(I), want) << k;
        ASSERT_EQ(n.v, v) << k;
        spikes += want;
    }
    ASSERT_GT(spikes, 0);
    n.reset();
    EXPECT_EQ(n.v, -65.0);
    n.v = 0.0;  // exponent 27.5, clamped to 20
    n.v_peak = 1e300;
    n.step(0.0);
    EXPECT_EQ(n.v, 0.0 + (((std::exp(20.0) * 2.0 - 65.0) + 0.0) / 20.0) * 0.1);
}

TEST(NeuronLapicque, SubthresholdApproachAndSpikeRestart) {
    LapicqueNeuron low;
    for (int k = 0; k < 2000; ++k) ASSERT_EQ(low.step(0.5), 0);
    EXPECT_LE(low.v, 0.5);
    EXPECT_GT(low.v, 0.5 - 1e-12);

    LapicqueNeuron n;  // tau 20, resistance 1, threshold 1, dt 1
    double v = 0.0;
    std::vector<double> first_cycle;
    int k = 0;
    for (;; ++k) {
        v = v + ((2.0 * 1.0 - (v - 0.0)) / 20.0) * 1.0;
        const int s = n.step(2.0);
        if (v >= 1.0) {
            ASSERT_EQ(s, 1);
            EXPECT_EQ(n.v, 0.0);
            break;
        }
        ASSERT_EQ(s, 0);
        ASSERT_EQ(n.v, v);
        first_cycle.push_back(v);
        ASSERT_LT(k, 100);
    }
    EXPECT_EQ(k, 13);  // 2 - 2 * 0.95^k first reaches 1 at k = 14
    for (double want : first_cycle) {
        ASSERT_EQ(n.step(2.0), 0);
        ASSERT_EQ(n.v, want);
    }
    EXPECT_EQ(n.step(2.0), 1);
}

TEST(NeuronLapicque, ConstructorOrderAndReset) {
    LapicqueNeuron n(LapicqueNeuron::Args{10.0, 2.0, 0.5, 0.1});
    EXPECT_EQ(n.tau, 10.0);
    EXPECT_EQ(n.resistance, 2.0);
    EXPECT_EQ(n.threshold, 0.5);
    EXPECT_EQ(n.dt, 0.1);
    n.step(1.0);
    EXPECT_EQ(n.v, 0.0 + ((1.0 * 2.0 - 0.0) / 10.0) * 0.1);
    n.reset();
    EXPECT_EQ(n.v, 0.0);
}

TEST(NeuronHomeostaticLif, HandStepsAdaptTheThreshold) {
    HomeostaticLif n;
    double v = 0.0, theta = 1.0, rate = 0.0;
    for (int k = 0; k < 200; ++k) {
        const double I = (k % 7) * 1.5;
        v = v + (I - (v - 0.0)) / 20.0;
        double s = 0.0;
        if (v >= theta) {
            s = 1.0;
            v = 0.0;
        }
        rate = (1.0 - 0.95) * s + rate * 0.95;
        theta = theta + (rate - 0.1) * 0.01;
        if (theta < 0.1) theta = 0.1;
        if (theta > 10.0 * 1.0) theta = 10.0;
        ASSERT_EQ(n.step(I), int(s)) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.theta, theta) << k;
        ASSERT_EQ(n.rate, rate) << k;
    }
}

TEST(NeuronHomeostaticLif, ThresholdIsClampedAndNaNStaysNaN) {
    HomeostaticLif quiet;  // no spikes: rate stays 0 and theta sinks to the floor
    for (int k = 0; k < 20000; ++k) quiet.step(0.0);
    EXPECT_EQ(quiet.theta, 0.1);

    // Cap at 10 * theta0: a large rate error pushes theta up in one step.
    HomeostaticLif capped(0.0, 0.5, 0.0, 0.0, 0.0, -1000.0, 1.0, 0.95, 0.05);
    capped.step(0.0);
    EXPECT_EQ(capped.theta, 10.0 * 0.05);

    // The spike is decided on the threshold before adaptation.
    HomeostaticLif edge(0.0, 0.05, 0.0, 0.0, 0.0, 0.1, 0.01, 0.95, 1.0);
    EXPECT_EQ(edge.step(1.0), 1);  // v = 0.05 reaches theta = 0.05

    HomeostaticLif nan_theta(0.0, kNaN);
    EXPECT_EQ(nan_theta.step(100.0), 0);
    EXPECT_TRUE(std::isnan(nan_theta.theta));
    EXPECT_EQ(nan_theta.v, 5.0);  // never reset
}
