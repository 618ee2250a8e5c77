#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "neurons/simple_spiking.hpp"
#include "neurons/trivial.hpp"

using namespace neurons::trivial;
using neurons::simple_spiking::AlphaNeuron;
using neurons::simple_spiking::COBALIFNeuron;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.141592653589793;

template <class M>
bool same_bits(const M& a, const M& b) {
    return std::memcmp(&a, &b, sizeof(M)) == 0;
}

// Drives a model until its state has moved away from the fresh record, resets
// it, and checks that the result is bit for bit the fresh record (every state
// field back to its start value, every parameter untouched).
template <class M>
void expect_reset_restores_fresh(double drive, const char* name) {
    SCOPED_TRACE(name);
    M m;
    int spikes = 0;
    for (int k = 0; k < 300; ++k) spikes += m.step(drive);
    m.step(drive * 0.37);  // leave the state off any reset value
    EXPECT_GT(spikes, 0);
    EXPECT_FALSE(same_bits(m, M{}));
    m.reset();
    EXPECT_TRUE(same_bits(m, M{}));
}

}  // namespace

TEST(ModelsTrivialReset, RestoresTheStartState) {
    expect_reset_restores_fresh<PerfectIntegratorNeuron>(1.0, "PerfectIntegrator");
    expect_reset_restores_fresh<QuadraticIFNeuron>(1.0, "QuadraticIF");
    expect_reset_restores_fresh<ThetaNeuron>(1.0, "Theta");
    expect_reset_restores_fresh<NonlinearLIFNeuron>(30.0, "NonlinearLIF");
    expect_reset_restores_fresh<SFANeuron>(40.0, "SFA");
    expect_reset_restores_fresh<MATNeuron>(40.0, "MAT");
    expect_reset_restores_fresh<NonResettingLIFNeuron>(40.0, "NonResettingLIF");
    expect_reset_restores_fresh<AdaptiveThresholdIFNeuron>(40.0, "AdaptiveThresholdIF");
    expect_reset_restores_fresh<EnergyLIFNeuron>(40.0, "EnergyLIF");
    expect_reset_restores_fresh<AlphaNeuron>(0.5, "Alpha");
    expect_reset_restores_fresh<COBALIFNeuron>(400.0, "COBALIF");
}

TEST(ModelsTrivialReset, ResetTargetsAreParameters) {
    // Reset reads the parameter, not the constant it was built with.
    EnergyLIFNeuron e;
    e.epsilon_target = 0.7;
    e.E_L = -60.0;
    e.step(5.0);
    e.reset();
    EXPECT_EQ(e.epsilon, 0.7);
    EXPECT_EQ(e.v, -60.0);
    ThetaNeuron t;
    t.step(3.0);
    t.reset();
    EXPECT_EQ(t.theta, 0.0);
}

TEST(ModelsTrivialPerfectIntegrator, ElevenCallsToReachOne) {
    PerfectIntegratorNeuron n;
    double v = 0.0;
    for (int k = 1; k <= 10; ++k) {
        v = (1.0 / 1.0) * 0.1 + v;
        ASSERT_EQ(n.step(1.0), 0) << k;
        ASSERT_EQ(n.v, v);
    }
    EXPECT_EQ(n.v, 1.0 - 0x1p-53);
    EXPECT_EQ(n.step(1.0), 1);
    EXPECT_EQ(n.v, 0.0);

    PerfectIntegratorNeuron idle;
    idle.v = 0.3;
    for (int k = 0; k < 100; ++k) idle.step(0.0);
    EXPECT_EQ(idle.v, 0.3);
}

TEST(ModelsTrivialQuadraticIF, RisesTowardZeroOrSpikesOnCall158) {
    QuadraticIFNeuron rest;
    double prev = rest.v;
    for (int k = 0; k < 20000; ++k) {
        ASSERT_EQ(rest.step(0.0), 0);
        ASSERT_GE(rest.v, prev);
        ASSERT_LT(rest.v, 0.0);
        prev = rest.v;
    }

    QuadraticIFNeuron n;
    double v = -1.0;
    int first = 0;
    for (int k = 1; k <= 1000 && first == 0; ++k) {
        v = (v * v + 1.0) * 0.01 + v;
        const int s = n.step(1.0);
        if (v >= 1.0) {
            ASSERT_EQ(s, 1);
            first = k;
        } else {
            ASSERT_EQ(s, 0);
            ASSERT_EQ(n.v, v);
        }
    }
    EXPECT_EQ(first, 158);
    EXPECT_EQ(n.v, -1.0);
}

TEST(ModelsTrivialTheta, CrossingOfPiShiftsByTwoPiOnce) {
    ThetaNeuron n;
    double th = 0.0;
    int spikes = 0;
    for (int k = 0; k < 2000; ++k) {
        const double c = std::cos(th);
        const double next = ((c + 1.0) * 0.5 + (1.0 - c)) * 0.01 + th;
        int want = 0;
        if (th < kPi && next >= kPi) {
            th = next - 6.283185307179586;
            want = 1;
            EXPECT_GT(th, -kPi);
            EXPECT_LT(th, -kPi + 0.1);
        } else {
            th = next;
        }
        ASSERT_EQ(n.step(0.5), want) << k;
        ASSERT_EQ(n.theta, th) << k;
        spikes += want;
    }
    EXPECT_GT(spikes, 1);

    // One call from below pi to beyond 3 pi: a single spike, then the phase
    // stays above pi and never crosses again.
    ThetaNeuron big;
    big.theta = 0.0;
    const double c = std::cos(0.0);
    const double next = ((c + 1.0) * 1000.0 + (1.0 - c)) * 0.01 + 0.0;
    ASSERT_GE(next, 3 * kPi);
    EXPECT_EQ(big.step(1000.0), 1);
    EXPECT_EQ(big.theta, next - 6.283185307179586);
    for (int k = 0; k < 100; ++k) {
        const double before = big.theta;
        ASSERT_EQ(big.step(1.0), 0);
        ASSERT_GE(big.theta, before);
        ASSERT_GE(big.theta, kPi);
    }
}

TEST(ModelsTrivialNonlinearLIF, HandStepsUpwardCrossingOnly) {
    NonlinearLIFNeuron n;
    double v = -65.0, w = 0.0;
    int spikes = 0;
    for (int k = 0; k < 200; ++k) {
        const double I = 20.0;
        const double vn = ((v - -40.0) * (0.04 * (v - -65.0)) - w + I) / 1.0 * 0.1 + v;
        w = ((vn - -65.0) * 0.5 - w) / 100.0 * 0.1 + w;
        int want = 0;
        if (vn >= -20.0 && v < -20.0) {
            v = -65.0;
            want = 1;
        } else {
            v = vn;
        }
        ASSERT_EQ(n.step(I), want) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.w, w) << k;
        spikes += want;
    }
    EXPECT_GT(spikes, 0);

    // Starting at or above v_peak: no spike, no reset.
    NonlinearLIFNeuron high;
    high.v = -20.0;
    EXPECT_EQ(high.step(50.0), 0);
    EXPECT_GT(high.v, -20.0);
    EXPECT_EQ(high.step(50.0), 0);
}

TEST(ModelsTrivialSFA, HandStepsAndAdaptation) {
    SFANeuron n;
    double v = -70.0, g = 0.0;
    const double decay = std::exp(-1.0 / 200.0);
    int spikes = 0;
    for (int k = 0; k < 300; ++k) {
        const double I = 40.0;
        v = (I * 1.0 + (-(v - -70.0) - (v - -80.0) * g)) / 10.0 * 1.0 + v;
        g = decay * g;
        int want = 0;
        if (v >= -50.0) {
            v = -70.0;
            g = g + 0.5;
            want = 1;
        }
        ASSERT_EQ(n.step(I), want) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.g_sfa, g) << k;
        spikes += want;
    }
    EXPECT_GT(spikes, 2);
}

TEST(ModelsTrivialMAT, HandStepsAndThresholdJumps) {
    MATNeuron n;
    double v = -70.0, t1 = 0.0, t2 = 0.0;
    const double d1 = std::exp(-1.0 / 10.0), d2 = std::exp(-1.0 / 200.0);
    int spikes = 0;
    for (int k = 0; k < 300; ++k) {
        const double I = 30.0;
        v = (I * 1.0 - (v - -70.0)) / 10.0 * 1.0 + v;
        t1 = d1 * t1;
        t2 = d2 * t2;
        int want = 0;
        if (v >= -50.0 + t1 + t2) {
            v = -70.0;
            t1 = t1 + 5.0;
            t2 = t2 + 3.0;
            want = 1;
        }
        ASSERT_EQ(n.step(I), want) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.theta1, t1) << k;
        ASSERT_EQ(n.theta2, t2) << k;
        spikes += want;
    }
    EXPECT_GT(spikes, 2);
}

TEST(ModelsTrivialNonResettingLIF, ConsecutiveSpikesRaiseThreshold) {
    // Start far above the threshold with a drive that holds v near 0.
    NonResettingLIFNeuron n;
    n.v = 0.0;
    double v = 0.0, th = -50.0;
    int spikes = 0, runs = 0;
    int prev = 0;
    for (int k = 0; k < 600; ++k) {
        const double I = k < 300 ? 65.0 : 30.0;
        const double vn = 0.1 * ((I * 1.0 - (v - -65.0)) / 10.0) + v;
        const double tn = 0.1 * (-(th - -50.0) / 50.0) + th;
        v = vn;
        th = tn;
        int want = 0;
        if (v >= th) {
            th = th + 5.0;
            want = 1;
        }
        const int s = n.step(I);
        ASSERT_EQ(s, want) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.theta, th) << k;
        spikes += s;
        runs += (s && prev);
        prev = s;
    }
    EXPECT_GT(spikes, 1);
    EXPECT_GE(runs, 5);  // spikes on consecutive calls, v kept each time
}

TEST(ModelsTrivialAdaptiveThresholdIF, HandSteps) {
    AdaptiveThresholdIFNeuron n;
    double v = -65.0, th = -50.0;
    int spikes = 0;
    for (int k = 0; k < 600; ++k) {
        const double I = 30.0;
        const double vn = 0.1 * ((I - (v - -65.0)) / 10.0) + v;
        const double tn = 0.1 * (-(th - -50.0) / 50.0) + th;
        v = vn;
        th = tn;
        int want = 0;
        if (v >= th) {
            v = -65.0;
            th = th + 5.0;
            want = 1;
        }
        ASSERT_EQ(n.step(I), want) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.theta, th) << k;
        spikes += want;
    }
    EXPECT_GT(spikes, 2);
}

TEST(ModelsTrivialEnergyLIF, BudgetRunsOutThenHoldsAtThreshold) {
    EnergyLIFNeuron n;
    double v = -70.0, eps = 1.0;
    int spikes = 0, held = 0;
    for (int k = 0; k < 400; ++k) {
        const double I = 1000.0;
        const double vn = 1.0 * ((eps * 1.0 * I - (v - -70.0)) / 10.0) + v;
        const double en = 1.0 * ((1.0 - eps) / 500.0) + eps;
        v = vn;
        eps = en;
        int want = 0;
        if (v >= -50.0 && eps > 0.1) {
            v = -70.0;
            eps = eps - 0.1;
            want = 1;
        } else if (v >= -50.0) {
            v = -50.0;
            ++held;
        }
        ASSERT_EQ(n.step(I), want) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.epsilon, eps) << k;
        spikes += want;
    }
    EXPECT_GT(spikes, 5);
    EXPECT_GT(held, 0);

    // Out of energy: held at -50 and silent until the budget recovers past 0.1.
    EnergyLIFNeuron tired;
    tired.epsilon = 0.05;
    tired.v = -50.0;
    int silent = 0;
    while (tired.epsilon + 1.0 * ((1.0 - tired.epsilon) / 500.0) <= 0.1) {
        ASSERT_EQ(tired.step(1000.0), 0);
        ASSERT_EQ(tired.v, -50.0);
        ++silent;
    }
    EXPECT_GT(silent, 10);
    EXPECT_EQ(tired.step(1000.0), 1);
}

TEST(ModelsTrivialNaN, StateBecomesNaNAndNothingFires) {
    PerfectIntegratorNeuron pi;
    QuadraticIFNeuron qif;
    ThetaNeuron th;
    NonlinearLIFNeuron nl;
    SFANeuron sfa;
    MATNeuron mat;
    NonResettingLIFNeuron nr;
    AdaptiveThresholdIFNeuron at;
    EnergyLIFNeuron en;
    AlphaNeuron al;
    COBALIFNeuron co;
    for (int k = 0; k < 3; ++k) {
        const int sum = pi.step(kNaN) + qif.step(kNaN) + th.step(kNaN) + nl.step(kNaN) +
                        sfa.step(kNaN) + mat.step(kNaN) + nr.step(kNaN) + at.step(kNaN) +
                        en.step(kNaN) + al.step(kNaN, kNaN) + co.step(kNaN, kNaN, kNaN);
        ASSERT_EQ(sum, 0);
    }
    for (double x : {pi.v, qif.v, th.theta, nl.v, nl.w, sfa.v, mat.v, nr.v, at.v, en.v, al.v,
                     al.i_exc, co.v, co.g_e})
        EXPECT_TRUE(std::isnan(x));
    // Energy model: no clamping to the threshold with a NaN membrane.
    EXPECT_EQ(en.epsilon, 1.0);
}

TEST(ModelsSimpleSpikingAlpha, HandStepsAndInhibitionPullsBelowRest) {
    AlphaNeuron n;
    double v = 0.0, ie = 0.0, ii = 0.0;
    int spikes = 0;
    for (int k = 0; k < 100; ++k) {
        const double E = 0.5, In = (k % 3) * 0.05;
        ie = 1.0 * (E - ie / 5.0) + ie;
        ii = 1.0 * (In - ii / 10.0) + ii;
        v = (ie - (v - 0.0) - ii) / 20.0 * 1.0 + v;
        int want = 0;
        if (v >= 1.0) {
            v = 0.0;
            want = 1;
        }
        ASSERT_EQ(n.step(E, In), want) << k;
        ASSERT_EQ(n.v, v) << k;
        ASSERT_EQ(n.i_exc, ie) << k;
        ASSERT_EQ(n.i_inh, ii) << k;
        spikes += want;
    }
    EXPECT_GT(spikes, 0);

    AlphaNeuron inh;
    for (int k = 0; k < 20; ++k) ASSERT_EQ(inh.step(0.0, 0.5), 0);
    EXPECT_LT(inh.v, 0.0);
    EXPECT_EQ(inh.i_exc, 0.0);
}

TEST(ModelsSimpleSpikingCOBALIF, IncrementActsNowThenDecays) {
    COBALIFNeuron n;
    EXPECT_EQ(n.step(0.0, 1.0), 0);
    // The conductance of 1 acts on this call's update of v = -65.
    const double v1 = (0.0 + (-10.0 * (-65.0 - -65.0) - (1.0 * (-65.0 - 0.0) + 0.0 * (-65.0 - -80.0)))) /
                          200.0 * 0.1 +
                      -65.0;
    EXPECT_EQ(n.v, v1);
    EXPECT_EQ(n.g_e, std::exp(-0.1 / 5.0) * 1.0);
    EXPECT_EQ(n.g_e, std::exp(-0.02));
    EXPECT_EQ(n.g_i, 0.0);

    // Hand steps with both conductances and a drive that fires.
    COBALIFNeuron m;
    double v = -65.0, ge = 0.0, gi = 0.0;
    int spikes = 0;
    for (int k = 0; k < 400; ++k) {
        const double I = 300.0, dge = (k % 10 == 0) ? 0.5 : 0.0, dgi = (k % 15 == 0) ? 0.3 : 0.0;
        const double ge1 = ge + dge, gi1 = gi + dgi;
        v = (I + (-10.0 * (v - -65.0) - (ge1 * (v - 0.0) + gi1 * (v - -80.0)))) / 200.0 * 0.1 + v;
        ge = std::exp(-0.1 / 5.0) * ge1;
        gi = std::exp(-0.1 / 10.0) * gi1;
        int want = 0;
        if (v >= -50.0) {
            v = -65.0;
            want = 1;
        }
        ASSERT_EQ(m.step(I, dge, dgi), want) << k;
        ASSERT_EQ(m.v, v) << k;
        ASSERT_EQ(m.g_e, ge) << k;
        ASSERT_EQ(m.g_i, gi) << k;
        spikes += want;
    }
    EXPECT_GT(spikes, 0);
}
