#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "neurons/biophysical.hpp"

using namespace neurons::biophysical;
using namespace neurons;

namespace {

template <class M>
bool same_bits(const M& a, const M& b) {
    return std::memcmp(&a, &b, sizeof(M)) == 0;
}

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

// Rate of change of a field over one call of `steps` sub-steps of a tiny dt: the call's
// forward-Euler increments all come from (nearly) the start state, so this is the right-hand
// side there.
double slope(double after, double before, int steps, double dt) { return (after - before) / (steps * dt); }

// Relative to `scale`, by default |want|; a difference of two near terms is measured against
// their size, since the call's voltage drift moves each of them a little.
void expect_rel(double got, double want, double rel, const char* what, double scale = -1.0) {
    EXPECT_NEAR(got, want, rel * (scale < 0.0 ? std::fabs(want) : scale) + 1e-12) << what;
}

}  // namespace

// The pinned value within 1e-7 of the singular point, the quotient outside it; no 0/0.
TEST(BiophysicalRates, GuardedQuotients) {
    EXPECT_EQ(guarded_rate(0.32, 0.0, -4.0, 8.0), 8.0);
    EXPECT_EQ(guarded_rate(0.32, 9.9e-8, -4.0, 8.0), 8.0);
    EXPECT_EQ(guarded_rate(0.32, -9.9e-8, -4.0, 8.0), 8.0);
    // Just outside, the quotient is near its limit 0.32 * 4, not the guard.
    EXPECT_NEAR(guarded_rate(0.32, 1e-7, -4.0, 8.0), 1.28, 1e-6);
    EXPECT_NEAR(guarded_rate(0.32, -2e-7, -4.0, 8.0), 1.28, 1e-6);
    EXPECT_TRUE(std::isnan(guarded_rate(0.32, std::nan(""), -4.0, 8.0)));

    // The shared set at its own singular points (exact sums of the shifts).
    const Rates hh = h_rates(-40.0, 40.0, 65.0, 65.0, 35.0, 55.0, 65.0);
    EXPECT_EQ(hh.am, 1.0);
    EXPECT_EQ(h_rates(-55.0, 40.0, 65.0, 65.0, 35.0, 55.0, 65.0).an, 0.1);
    EXPECT_EQ(h_rates(-35.0, 35.0, 60.0, 58.0, 28.0, 34.0, 44.0).am, 1.0);
    EXPECT_EQ(h_rates(-34.0, 35.0, 60.0, 58.0, 28.0, 34.0, 44.0).an, 0.1);
    EXPECT_EQ(h_rates(-29.7, 29.7, 54.7, 48.0, 18.0, 45.7, 55.7).am, 1.0);
    EXPECT_EQ(h_rates(-45.7, 29.7, 54.7, 48.0, 18.0, 45.7, 55.7).an, 0.1);
    EXPECT_EQ(bits(hh.bm), bits(4.0 * std::exp(-25.0 / 18.0)));
}

TEST(BiophysicalRates, PoolClipAndBounds) {
    EXPECT_EQ(bits(clip_pool(-1e-300)), bits(0.0));
    EXPECT_EQ(bits(clip_pool(-0.0)), bits(0.0));
    EXPECT_EQ(bits(clip_pool(std::nan(""))), bits(0.0));
    EXPECT_EQ(clip_pool(1e-300), 1e-300);
    EXPECT_EQ(at_least(std::nan(""), 0.1), 0.1);
    EXPECT_EQ(at_least(0.05, 0.1), 0.1);
    EXPECT_EQ(at_least(3.0, 0.1), 3.0);
}

// The count is trunc(1/dt), saturating: a negative, NaN or sub-unit quotient takes no
// sub-step, and then nothing changes and no spike is reported.
TEST(BiophysicalHodgkinHuxley, SubStepCount) {
    for (double dt : {-0.01, std::nan(""), 2.0, -std::numeric_limits<double>::infinity()}) {
        HodgkinHuxleyNeuron m;
        m.dt = dt;
        m.v = -1.0;  // below the level, so a sub-step that ran could cross
        const HodgkinHuxleyNeuron before = m;
        EXPECT_EQ(m.step(1e6), 0) << dt;
        EXPECT_TRUE(same_bits(m, before)) << dt;
    }
    // dt = 1: exactly one sub-step, at v = -40 where alpha_m is its guard 1.0.
    HodgkinHuxleyNeuron m;
    m.dt = 1.0;
    m.v = -40.0;
    m.step(0.0);
    const double bm = 4.0 * std::exp(-25.0 / 18.0);
    EXPECT_EQ(bits(m.m), bits(0.05 + 1.0 * (1.0 * (1.0 - 0.05) - bm * 0.05)));
    EXPECT_TRUE(std::isfinite(m.v));
    // dt = 0.5: two sub-steps.
    HodgkinHuxleyNeuron two;
    two.dt = 0.5;
    HodgkinHuxleyNeuron ref;
    ref.dt = 0.5;
    two.step(3.0);
    for (int k = 0; k < 2; ++k) {
        const Rates r = h_rates(ref.v, 40.0, 65.0, 65.0, 35.0, 55.0, 65.0);
        ref.m = gate_ab(ref.m, r.am, r.bm, 0.5);
        ref.h = gate_ab(ref.h, r.ah, r.bh, 0.5);
        ref.n = gate_ab(ref.n, r.an, r.bn, 0.5);
        ref.v = ref.v + 0.5 *
                            (3.0 - 120.0 * (ref.m * ref.m * ref.m) * ref.h * (ref.v - 50.0) -
                             36.0 * (ref.n * ref.n * ref.n * ref.n) * (ref.v + 77.0) - 0.3 * (ref.v + 54.4)) /
                            1.0;
    }
    EXPECT_TRUE(same_bits(two, ref));
}

// Each pinned guard at its model's singular voltage. dt is so small that the voltage stays
// within 1e-7 of it over the whole call, so the gate moves at guard * (1 - x) - beta * x.
TEST(BiophysicalRates, PinnedGuardsAtTheCallSites) {
    const double dt = 1e-11;
    {
        TraubMilesNeuron t;
        t.dt = dt;
        t.v = -54.0;
        const TraubMilesNeuron s = t;
        t.step(0.0);
        const double bm = -0.28 * -27.0 / (1.0 - std::exp(-27.0 / 5.0));
        expect_rel(slope(t.m, s.m, 10, dt), 8.0 * 0.95 - bm * 0.05, 1e-4, "traub alpha_m");
    }
    {
        TraubMilesNeuron t;
        t.dt = dt;
        t.v = -27.0;
        const TraubMilesNeuron s = t;
        t.step(0.0);
        const double am = 0.32 * 27.0 / (1.0 - std::exp(-27.0 / 4.0));
        expect_rel(slope(t.m, s.m, 10, dt), am * 0.95 - 5.6 * 0.05, 1e-4, "traub beta_m");
    }
    {
        TraubMilesNeuron t;
        t.dt = dt;
        t.v = -52.0;
        const TraubMilesNeuron s = t;
        t.step(0.0);
        const double bn = 0.5 * std::exp(-5.0 / 40.0);
        expect_rel(slope(t.n, s.n, 10, dt), 0.32 * 0.7 - bn * 0.3, 1e-4, "traub alpha_n");
    }
    // Pospischil: d - 13, d - 40 and d - 15 vanish at v = -43.2, -16.2 and -41.2 (d = v + 56.2).
    {
        PospischilNeuron p;
        p.dt = dt;
        p.v = -43.2;
        const PospischilNeuron s = p;
        p.step(0.0);
        const double bm = 0.28 * -27.0 / (1.0 - std::exp(27.0 / 5.0));
        expect_rel(slope(p.m, s.m, 4, dt), 8.0 * 0.95 - bm * 0.05, 1e-4, "pospischil alpha_m");
    }
    {
        PospischilNeuron p;
        p.dt = dt;
        p.v = -16.2;
        const PospischilNeuron s = p;
        p.step(0.0);
        const double am = -0.32 * 27.0 / (1.0 - std::exp(27.0 / 4.0));
        expect_rel(slope(p.m, s.m, 4, dt), am * 0.95 - 5.6 * 0.05, 1e-4, "pospischil beta_m");
    }
    {
        PospischilNeuron p;
        p.dt = dt;
        p.v = -41.2;
        const PospischilNeuron s = p;
        p.step(0.0);
        const double bn = 0.5 * std::exp(-5.0 / 40.0);
        expect_rel(slope(p.n, s.n, 4, dt), 0.32 * 0.7 - bn * 0.3, 1e-4, "pospischil alpha_n");
    }
}

// The right-hand sides at the default state, worked out by hand with the defaults put in;
// dt is shrunk so that one call measures them.
TEST(BiophysicalSubStepped, RightHandSidesAtTheDefaults) {
    const double dt = 1e-9;
    const double tol = 1e-4;
    const double I = 2.0;
    {
        WangBuzsakiNeuron m;
        m.dt = dt;
        const WangBuzsakiNeuron s = m;
        m.step(I);
        const double am = 0.1 * -30.0 / (1.0 - std::exp(3.0)), bm = 4.0 * std::exp(5.0 / 18.0);
        const double ah = 0.07 * std::exp(0.35), bh = 1.0 / (1.0 + std::exp(3.7));
        const double an = 0.01 * -31.0 / (1.0 - std::exp(3.1)), bn = 0.125 * std::exp(21.0 / 80.0);
        const double mi = am / (am + bm);
        expect_rel(slope(m.h, s.h, 10, dt), 5.0 * (ah * 0.2 - bh * 0.8), tol, "wb h");
        expect_rel(slope(m.n, s.n, 10, dt), 5.0 * (an * 0.9 - bn * 0.1), tol, "wb n");
        expect_rel(slope(m.v, s.v, 10, dt), I + 35.0 * mi * mi * mi * 0.8 * 120.0 - 9.0 * 1e-4 * 25.0, tol, "wb v");
    }
    {
        ConnorStevensNeuron m;
        m.dt = dt;
        const ConnorStevensNeuron s = m;
        m.step(I);
        const double am = 0.1 * -38.3 / (1.0 - std::exp(3.83)), bm = 4.0 * std::exp(13.3 / 18.0);
        const double ah = 0.07 * std::exp(1.0), bh = 1.0 / (1.0 + std::exp(5.0));
        const double an = 0.01 * -22.3 / (1.0 - std::exp(2.23)), bn = 0.125 * std::exp(12.3 / 80.0);
        const double a_inf = std::cbrt(0.0761 * std::exp(26.22 / 31.84) / (1.0 + std::exp(-66.83 / 28.93)));
        const double tau_a = 0.3632 + 1.158 / (1.0 + std::exp(-12.04 / 20.12));
        const double b_inf = std::pow(1.0 + std::exp(-14.7 / 14.54), -4.0);
        const double tau_b = 1.24 + 2.678 / (1.0 + std::exp(-18.0 / 16.027));
        expect_rel(slope(m.m, s.m, 10, dt), am * 0.99 - bm * 0.01, tol, "cs m");
        expect_rel(slope(m.h, s.h, 10, dt), ah * 0.01 - bh * 0.99, tol, "cs h");
        expect_rel(slope(m.n, s.n, 10, dt), an * 0.9 - bn * 0.1, tol, "cs n");
        expect_rel(slope(m.a, s.a, 10, dt), (a_inf - 0.5) / tau_a, tol, "cs a");
        expect_rel(slope(m.b, s.b, 10, dt), (b_inf - 0.1) / tau_b, tol, "cs b");
        expect_rel(slope(m.v, s.v, 10, dt),
                   I + 120.0 * 1e-6 * 0.99 * 123.0 - 20.0 * 1e-4 * 4.0 - 47.7 * 0.125 * 0.1 * 7.0 + 0.3 * 51.0, tol,
                   "cs v");
    }
    {
        DestexheThalamicNeuron m;
        m.dt = dt;
        const DestexheThalamicNeuron s = m;
        m.step(I);
        const double mi = 1.0 / (1.0 + std::exp(4.0));
        expect_rel(slope(m.h_na, s.h_na, 5, dt), 1.0 / (1.0 + std::exp(-6.0)) - 0.6, tol, "dt h_na");
        expect_rel(slope(m.n_k, s.n_k, 5, dt), (1.0 / (1.0 + std::exp(40.0 / 12.0)) - 0.3) / 5.0, tol, "dt n_k");
        expect_rel(slope(m.m_t, s.m_t, 5, dt), 1.0 / (1.0 + std::exp(8.0 / 6.2)), tol, "dt m_t");
        expect_rel(slope(m.h_t, s.h_t, 5, dt), (1.0 / (1.0 + std::exp(4.0)) - 1.0) / 20.0, tol, "dt h_t");
        expect_rel(slope(m.v, s.v, 5, dt), I + 100.0 * mi * mi * mi * 0.6 * 115.0 - 10.0 * 0.0081 * 35.0 - 0.05 * 5.0,
                   tol, "dt v");
    }
    {
        GolombFSNeuron m;
        m.dt = dt;
        const GolombFSNeuron s = m;
        m.step(I);
        const double mi = 1.0 / (1.0 + std::exp(41.0 / 11.5));
        expect_rel(slope(m.h, s.h, 10, dt), 2.0 * (1.0 / (1.0 + std::exp(-1.0)) - 0.9), tol, "golomb h");
        expect_rel(slope(m.n, s.n, 10, dt), 0.5 * (1.0 / (1.0 + std::exp(52.6 / 6.8)) - 0.1), tol, "golomb n");
        expect_rel(slope(m.p, s.p, 10, dt), 1.0 / (1.0 + std::exp(6.2)), tol, "golomb p");
        expect_rel(slope(m.v, s.v, 10, dt), I + 112.5 * mi * mi * mi * 0.9 * 115.0 - 225.0 * 0.01 * 25.0 - 0.25 * 5.0,
                   tol, "golomb v");
    }
    {
        PospischilNeuron m;
        m.dt = dt;
        const PospischilNeuron s = m;
        m.step(I);
        // d = -13.8; the exponents carry the model's own signs.
        const double am = -0.32 * -26.8 / (1.0 - std::exp(-26.8 / 4.0));
        const double bm = 0.28 * -53.8 / (1.0 - std::exp(53.8 / 5.0));
        const double ah = 0.128 * std::exp(30.8 / 18.0), bh = 4.0 / (1.0 + std::exp(53.8 / 5.0));
        const double an = -0.032 * -28.8 / (1.0 - std::exp(-28.8 / 5.0)), bn = 0.5 * std::exp(23.8 / 40.0);
        expect_rel(slope(m.m, s.m, 4, dt), am * 0.95 - bm * 0.05, tol, "pospischil m");
        expect_rel(slope(m.h, s.h, 4, dt), ah * 0.4 - bh * 0.6, tol, "pospischil h");
        expect_rel(slope(m.n, s.n, 4, dt), an * 0.7 - bn * 0.3, tol, "pospischil n");
        expect_rel(slope(m.p, s.p, 4, dt), 1.0 / (1.0 + std::exp(3.5)) / 100.0, tol, "pospischil p");
        expect_rel(slope(m.v, s.v, 4, dt), I + 50.0 * 1.25e-4 * 0.6 * 120.0 - 5.0 * 0.0081 * 20.0, tol, "pospischil v");
    }
    {
        MainenSejnowskiNeuron m;
        m.dt = dt;
        const MainenSejnowskiNeuron s = m;
        m.step(I);
        const double am = 0.1 * -25.0 / (1.0 - std::exp(2.5));
        const double an = 0.01 * -10.0 / (1.0 - std::exp(1.0));
        expect_rel(slope(m.m, s.m, 20, dt), am * 0.95 - 4.0 * 0.05, tol, "ms m");
        const double bh = 1.0 / (1.0 + std::exp(3.0));
        expect_rel(slope(m.h, s.h, 20, dt), 0.07 * 0.4 - bh * 0.6, tol, "ms h", 0.07 * 0.4 + bh * 0.6);
        expect_rel(slope(m.n, s.n, 20, dt), an * 0.7 - 0.125 * 0.3, tol, "ms n");
        expect_rel(slope(m.vs, s.vs, 20, dt), (0.0 - 5.0 + I) / 1.0, tol, "ms vs");
        expect_rel(slope(m.va, s.va, 20, dt), (3000.0 * 1.25e-4 * 0.6 * 115.0 - 1500.0 * 0.0081 * 25.0) / 0.1, tol,
                   "ms va");
    }
    {
        DeSchutterPurkinjeNeuron m;
        m.dt = dt;
        const DeSchutterPurkinjeNeuron s = m;
        m.step(I);
        const double mi = 1.0 / (1.0 + std::exp(38.0 / 9.0));
        expect_rel(slope(m.h_na, s.h_na, 5, dt), 1.0 / (1.0 + std::exp(-23.0 / 7.0)) - 0.8, tol, "ds h_na");
        expect_rel(slope(m.n_k, s.n_k, 5, dt), (1.0 / (1.0 + std::exp(43.0 / 12.0)) - 0.1) / 3.0, tol, "ds n_k");
        expect_rel(slope(m.m_cap, s.m_cap, 5, dt), 1.0 / (1.0 + std::exp(4.9)), tol, "ds m_cap");
        expect_rel(slope(m.h_cap, s.h_cap, 5, dt), (1.0 / (1.0 + std::exp(-29.0 / 7.0)) - 0.9) / 15.0, tol, "ds h_cap");
        expect_rel(slope(m.q_kca, s.q_kca, 5, dt), 1e-4 / 1.1e-3 / 5.0, tol, "ds q_kca");
        expect_rel(slope(m.v, s.v, 5, dt), I + 125.0 * mi * mi * mi * 0.8 * 113.0 - 10.0 * 1e-4 * 17.0, tol, "ds v");
        expect_rel(slope(m.ca, s.ca, 5, dt), -0.02 * 1e-4, tol, "ds ca");
    }
    {
        PlantR15Neuron m;
        m.dt = dt;
        const PlantR15Neuron s = m;
        m.step(I);
        const double am = 0.1 * -10.0 / (1.0 - std::exp(1.0)), bm = 4.0 * std::exp(-15.0 / 18.0);
        const double ah = 0.07 * std::exp(-0.75), bh = 1.0 / (1.0 + std::exp(1.5));
        const double an = 0.01 * 5.0 / (1.0 - std::exp(-0.5)), bn = 0.125 * std::exp(-15.0 / 80.0);
        const double i_ca = 0.004 / (1.0 + std::exp(5.0)) * -190.0;
        const double f = 0.1 / 0.6;
        expect_rel(slope(m.m, s.m, 5, dt), am * 0.95 - bm * 0.05, tol, "plant m");
        expect_rel(slope(m.h, s.h, 5, dt), ah * 0.4 - bh * 0.6, tol, "plant h");
        expect_rel(slope(m.n, s.n, 5, dt), an * 0.7 - bn * 0.3, tol, "plant n");
        expect_rel(slope(m.v, s.v, 5, dt),
                   I + 4.0 * 1.25e-4 * 0.6 * 80.0 - 0.3 * 0.0081 * 25.0 - i_ca - 0.03 * f * 25.0 + 0.003 * 10.0, tol,
                   "plant v");
        expect_rel(slope(m.ca, s.ca, 5, dt), -0.0085 * i_ca - 0.1 / 500.0, tol, "plant ca");
    }
    {
        // Hodgkin-Huxley takes 1/dt sub-steps, so it is measured over one sub-step of dt = 1,
        // which is exact.
        HodgkinHuxleyNeuron m;
        m.dt = 1.0;
        m.step(I);
        const double am = 0.1 * -25.0 / (1.0 - std::exp(2.5));
        const double an = 0.01 * -10.0 / (1.0 - std::exp(1.0));
        const double mm = 0.05 + (am * 0.95 - 4.0 * 0.05);
        const double hh = 0.6 + (0.07 * 0.4 - 1.0 / (1.0 + std::exp(3.0)) * 0.6);
        const double nn = 0.32 + (an * 0.68 - 0.125 * 0.32);
        expect_rel(m.m, mm, 1e-12, "hh m");
        expect_rel(m.h, hh, 1e-12, "hh h");
        expect_rel(m.n, nn, 1e-12, "hh n");
        expect_rel(m.v, -65.0 + (I + 120.0 * mm * mm * mm * hh * 115.0 - 36.0 * nn * nn * nn * nn * 12.0 + 0.3 * 10.6),
                   1e-12, "hh v");
    }
}

// Records are plain values that the network copies and steps like the Python class.
static_assert(std::is_trivially_copyable_v<HodgkinHuxleyNeuron> && std::is_trivially_copyable_v<GIFPopulationNeuron> &&
              std::is_trivially_copyable_v<HillTononiNeuron> && std::is_trivially_copyable_v<MainenSejnowskiNeuron>);
