#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "error.hpp"
#include "neuron.hpp"
#include "rng.hpp"

// Cases Python cannot reach: the wrap helper, a state set directly, and the network-only
// homeostatic LIF. The classes' own behaviour is tested from Python.
using neuron::AdExNeuron;
using neuron::HomeostaticLif;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

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
