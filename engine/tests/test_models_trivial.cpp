#include <gtest/gtest.h>

#include <cstring>

#include "neurons/simple_spiking.hpp"
#include "neurons/trivial.hpp"

using namespace neurons::trivial;
using neurons::simple_spiking::AlphaNeuron;
using neurons::simple_spiking::COBALIFNeuron;

namespace {

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

TEST(ModelsTrivialNonlinearLIF, StartingAbovePeakNeitherSpikesNorResets) {
    // Starting at or above v_peak: no spike, no reset.
    NonlinearLIFNeuron high;
    high.v = -20.0;
    EXPECT_EQ(high.step(50.0), 0);
    EXPECT_GT(high.v, -20.0);
    EXPECT_EQ(high.step(50.0), 0);
}

TEST(ModelsTrivialEnergyLIF, OutOfEnergyHoldsAtThresholdUntilTheBudgetRecovers) {
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

