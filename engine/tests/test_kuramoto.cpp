#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "error.hpp"
#include "kvra/kuramoto.hpp"
#include "panic_text.hpp"
#include "rng.hpp"

using kvra::kuramoto::KuramotoSolver;
using kvra::kuramoto::kTwoPi;

namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(bits(a[i]), bits(b[i])) << "index " << i;
}

// Box-Muller normals: two uniforms per entry pair, the cosine and sine of one pair.
std::vector<double> ref_normals(std::size_t m, uint64_t seed) {
    rng::ChaCha8 g(seed);
    std::vector<double> out(m);
    for (std::size_t j = 0; j < m; j += 2) {
        const double u1 = g.next_f64(), u2 = g.next_f64();
        const double r = std::sqrt(-2.0 * std::log(std::max(u1, 2.2250738585072014e-308)));
        const double a = u2 * 6.283185307179586;
        out[j] = r * std::cos(a);
        if (j + 1 < m) out[j + 1] = r * std::sin(a);
    }
    return out;
}

// The step computed the plain way: the full sine matrix, sequential throughout.
struct RefSolver {
    std::vector<double> omega, k, th;
    double amp, field = 0.0;

    double step(double dt, uint64_t seed, bool ssgf = false, const std::vector<double>& w = {},
                const std::vector<double>& h = {}, double sigma_g = 0.0, double pgbo = 0.0) {
        const std::size_t n = th.size();
        std::vector<double> s(n * n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) s[i * n + j] = std::sin(th[j] - th[i]);
        std::vector<double> xi(n, 0.0);
        if (seed != 0 && amp != 0.0) xi = ref_normals(n, seed);
        auto term = [&](const std::vector<double>& m, double weight) {
            std::vector<double> t(n, 0.0);
            if (m.empty() || weight == 0.0) return t;
            for (std::size_t i = 0; i < n; ++i) {
                double acc = -0.0;
                for (std::size_t j = 0; j < n; ++j) acc += m[i * n + j] * s[i * n + j];
                t[i] = acc * weight;
            }
            return t;
        };
        const std::vector<double> g = term(w, sigma_g), p = term(h, pgbo);
        std::vector<double> c(n, 0.0);
        if (field != 0.0)
            for (std::size_t i = 0; i < n; ++i) c[i] = std::cos(th[i]);
        std::vector<double> v(n);
        for (std::size_t i = 0; i < n; ++i) {
            double acc = -0.0;
            for (std::size_t j = 0; j < n; ++j) acc += k[i * n + j] * s[i * n + j];
            const double base = acc / static_cast<double>(n) + omega[i];
            if (ssgf) {
                const double b = ((base) + g[i]) + p[i];
                v[i] = amp * xi[i] + (field * c[i] + b);
            } else {
                v[i] = amp * xi[i] + base;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            double r = std::fmod(v[i] * dt + th[i], 6.283185307179586);
            if (r < 0.0) r += 6.283185307179586;
            th[i] = r;
        }
        double ss = -0.0, cs = -0.0;
        for (double t : th) ss += std::sin(t);
        for (double t : th) cs += std::cos(t);
        const double inv = 1.0 / static_cast<double>(n);
        const double ms = ss * inv, mc = cs * inv;
        return std::sqrt(ms * ms + mc * mc);
    }
};

// Deterministic test data from a seeded generator.
std::vector<double> uniform(std::size_t m, uint64_t seed, double lo, double hi) {
    rng::Xoshiro256pp g(seed);
    std::vector<double> v(m);
    for (auto& x : v) x = lo + (hi - lo) * g.next_f64();
    return v;
}

}  // namespace

TEST(KuramotoStep, TwoOscillatorsByHand) {
    const double th0 = 0.3, th1 = 2.0, w0 = 1.0, w1 = -0.5, dt = 0.01;
    const std::vector<double> k = {0.25, 2.0, 1.5, -0.75};
    KuramotoSolver s({w0, w1}, k, {th0, th1}, 0.1);
    const double r = s.step(dt, 0);

    // Row sums from -0.0, divided by N, plus omega, plus the (zero) noise term.
    double s0 = -0.0;
    s0 += k[0] * std::sin(th0 - th0);
    s0 += k[1] * std::sin(th1 - th0);
    double s1 = -0.0;
    s1 += k[2] * std::sin(th0 - th1);
    s1 += k[3] * std::sin(th1 - th1);
    const double v0 = 0.1 * 0.0 + (s0 / 2.0 + w0);
    const double v1 = 0.1 * 0.0 + (s1 / 2.0 + w1);
    const double p0 = std::fmod(v0 * dt + th0, kTwoPi);
    const double p1 = std::fmod(v1 * dt + th1, kTwoPi);
    const double ms = (std::sin(p0) + std::sin(p1)) * (1.0 / 2.0);
    const double mc = (std::cos(p0) + std::cos(p1)) * (1.0 / 2.0);
    EXPECT_EQ(bits(s.phases[0]), bits(p0));
    EXPECT_EQ(bits(s.phases[1]), bits(p1));
    EXPECT_EQ(bits(r), bits(std::sqrt(ms * ms + mc * mc)));
    EXPECT_EQ(bits(s.order_parameter()), bits(r));
}

TEST(KuramotoStep, SsgfTermsAndFieldPressureByHand) {
    const double th0 = 5.9, th1 = 0.4, dt = 0.05, amp = 0.2, sg = 0.7, pw = -1.3, f = 0.45;
    const std::vector<double> k = {0.0, 1.0, 2.0, 0.0}, w = {0.5, -1.0, 3.0, 0.25},
                              h = {-2.0, 0.125, 1.0, 4.0};
    KuramotoSolver s({0.8, 1.1}, k, {th0, th1}, amp);
    s.field_pressure = f;
    const double r = s.step_ssgf(dt, 99, w, h, sg, pw);

    const std::vector<double> xi = ref_normals(2, 99);
    const double th[2] = {th0, th1}, om[2] = {0.8, 1.1};
    double expect[2];
    for (int i = 0; i < 2; ++i) {
        double ks = -0.0, ws = -0.0, hs = -0.0;
        for (int j = 0; j < 2; ++j) {
            const double sn = std::sin(th[j] - th[i]);
            ks += k[i * 2 + j] * sn;
            ws += w[i * 2 + j] * sn;
            hs += h[i * 2 + j] * sn;
        }
        const double b = ((ks / 2.0 + om[i]) + ws * sg) + hs * pw;
        const double v = amp * xi[i] + (f * std::cos(th[i]) + b);
        double p = std::fmod(v * dt + th[i], kTwoPi);
        if (p < 0.0) p += kTwoPi;
        expect[i] = p;
    }
    EXPECT_EQ(bits(s.phases[0]), bits(expect[0]));
    EXPECT_EQ(bits(s.phases[1]), bits(expect[1]));
    EXPECT_EQ(bits(r), bits(kvra::kuramoto::order_parameter(s.phases)));
}

TEST(KuramotoStep, WeightMatrixWithUnitSigmaActsAsCoupling) {
    // With N a power of two, dividing K by N is exact, so an SSGF step with no K and W = K / N
    // (sigma_g = 1) equals the plain step with K, bit for bit; so does the H term with weight 1.
    const std::size_t n = 8;
    const std::vector<double> k = uniform(n * n, 3, -2.0, 2.0), om = uniform(n, 4, -1, 1),
                              th = uniform(n, 5, 0.0, kTwoPi);
    std::vector<double> scaled(k);
    for (auto& x : scaled) x /= static_cast<double>(n);
    KuramotoSolver plain(om, k, th, 0.3);
    KuramotoSolver via_w(om, std::vector<double>(n * n, 0.0), th, 0.3);
    KuramotoSolver via_h(om, std::vector<double>(n * n, 0.0), th, 0.3);
    const std::vector<double> wrong(3, 1.0);  // ignored: its weight is 0
    for (uint64_t seed : {11u, 12u, 13u}) {
        const double r = plain.step(0.02, seed);
        EXPECT_EQ(bits(via_w.step_ssgf(0.02, seed, scaled, wrong, 1.0, 0.0)), bits(r));
        EXPECT_EQ(bits(via_h.step_ssgf(0.02, seed, {}, scaled, 5.0, 1.0)), bits(r));
    }
    expect_same_bits(via_w.phases, plain.phases);
    expect_same_bits(via_h.phases, plain.phases);
}

TEST(KuramotoStep, SsgfWithoutTermsEqualsPlainStep) {
    const std::size_t n = 5;
    KuramotoSolver a(uniform(n, 1, -1, 1), uniform(n * n, 2, 0, 1), uniform(n, 3, 0, 6), 0.5);
    KuramotoSolver b = a;
    b.field_pressure = 0.0;
    for (uint64_t seed : {0u, 7u}) {
        EXPECT_EQ(bits(a.step(0.1, seed)), bits(b.step_ssgf(0.1, seed, {}, {}, 3.0, 4.0)));
        expect_same_bits(a.phases, b.phases);
    }
    // The plain step ignores the field pressure.
    KuramotoSolver c = a, d = a;
    c.field_pressure = 2.5;
    c.step(0.1, 5);
    d.step(0.1, 5);
    expect_same_bits(c.phases, d.phases);
}

// Many rows, so the sine rows are spread over pool tasks, with tails of every row-block size,
// compared bit for bit with the literal sequential step.
class KuramotoReference : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KuramotoReference, MatchesSequentialStepBitForBit) {
    const std::size_t n = GetParam();
    std::vector<double> th = uniform(n, 10 + n, -3.0, 9.0);  // some outside [0, 2pi)
    if (n > 3) {
        th[1] = th[2];  // equal phases
        th[3] = 1e6;    // far outside, still finite
    }
    const std::vector<double> om = uniform(n, 20 + n, -1, 1), k = uniform(n * n, 30 + n, -1, 2);
    const std::vector<double> w = uniform(n * n, 40 + n, -1, 1), h = uniform(n * n, 50 + n, 0, 1);
    KuramotoSolver s(om, k, th, 0.25);
    RefSolver ref{om, k, th, 0.25};
    for (int step = 0; step < 4; ++step) {
        const uint64_t seed = 1000 + static_cast<uint64_t>(step);
        double r, rr;
        if (step % 2 == 0) {
            r = s.step(0.03, seed);
            rr = ref.step(0.03, seed);
        } else {
            s.field_pressure = ref.field = 0.3 * step;
            r = s.step_ssgf(0.03, seed, w, h, 0.6, -0.4);
            rr = ref.step(0.03, seed, true, w, h, 0.6, -0.4);
        }
        ASSERT_EQ(bits(r), bits(rr)) << "step " << step;
        expect_same_bits(s.phases, ref.th);
    }
}

INSTANTIATE_TEST_SUITE_P(KuramotoSizes, KuramotoReference,
                         ::testing::Values(1, 2, 3, 4, 5, 7, 33, 130, 257, 514));

TEST(KuramotoStep, NonFinitePhasesPropagateLikeThePlainStep) {
    const std::size_t n = 9;
    std::vector<double> th = uniform(n, 77, 0, 6);
    th[2] = INFINITY;
    th[5] = -1e308;
    th[6] = 1e308;
    const std::vector<double> om = uniform(n, 78, -1, 1), k = uniform(n * n, 79, 0, 1);
    KuramotoSolver s(om, k, th, 0.0);
    RefSolver ref{om, k, th, 0.0};
    EXPECT_EQ(bits(s.step(0.1, 0)), bits(ref.step(0.1, 0)));
    expect_same_bits(s.phases, ref.th);
    EXPECT_TRUE(std::isnan(s.phases[0]));
}

TEST(KuramotoStep, SingleOscillatorAndPhaseWrap) {
    KuramotoSolver one({2.0}, {5.0}, {1.0}, 0.0);
    const double r = one.step(0.5, 3);
    EXPECT_EQ(one.phases[0], std::fmod(2.0 * 0.5 + 1.0, kTwoPi));
    EXPECT_NEAR(r, 1.0, 1e-15);

    // A tiny negative remainder wraps to exactly 2pi; a large negative one into [0, 2pi).
    KuramotoSolver back({-1e-20, -10.0}, {0, 0, 0, 0}, {0.0, 0.5}, 0.0);
    back.step(1.0, 0);
    EXPECT_EQ(back.phases[0], kTwoPi);
    double expect = std::fmod(-10.0 + 0.5, kTwoPi) + kTwoPi;
    EXPECT_EQ(back.phases[1], expect);
}

TEST(KuramotoNoise, FillMatchesBoxMullerAndOddTail) {
    for (std::size_t m : {0u, 1u, 2u, 5u, 64u, 65u}) {
        std::vector<double> out(m, -1.0);
        kvra::kuramoto::fill_standard_normals(out, 44257);
        expect_same_bits(out, ref_normals(m, 44257));
    }
    // An odd last entry is the cosine of its own pair: the same value as entry 2 of a fill of 4.
    std::vector<double> three(3), four(4);
    kvra::kuramoto::fill_standard_normals(three, 9);
    kvra::kuramoto::fill_standard_normals(four, 9);
    EXPECT_EQ(bits(three[2]), bits(four[2]));
    EXPECT_EQ(bits(three[0]), bits(four[0]));
}

TEST(KuramotoNoise, SeedAndAmplitudeSwitchTheNoise) {
    const std::size_t n = 3;  // odd: the last oscillator takes a cosine of its own pair
    const std::vector<double> om = {0.5, -0.25, 1.0}, th = {0.1, 2.2, 4.0};
    const std::vector<double> k(n * n, 0.0);
    KuramotoSolver noisy(om, k, th, 0.4);
    noisy.step(0.1, 21);
    const std::vector<double> xi = ref_normals(n, 21);
    for (std::size_t i = 0; i < n; ++i) {
        double sum = -0.0;
        for (std::size_t j = 0; j < n; ++j) sum += 0.0 * std::sin(th[j] - th[i]);
        const double v = 0.4 * xi[i] + (sum / 3.0 + om[i]);
        EXPECT_EQ(bits(noisy.phases[i]), bits(std::fmod(v * 0.1 + th[i], kTwoPi))) << i;
    }
    // Seed 0 means no noise whatever the amplitude, and amplitude 0 whatever the seed.
    KuramotoSolver a(om, k, th, 0.4), b(om, k, th, 0.0), c(om, k, th, 123.0);
    a.step(0.1, 0);
    b.step(0.1, 77);
    c.step(0.1, 0);
    expect_same_bits(a.phases, b.phases);
    expect_same_bits(a.phases, c.phases);
    // Equal seeds agree, different seeds differ.
    KuramotoSolver d(om, k, th, 0.4), e(om, k, th, 0.4);
    d.step(0.1, 22);
    e.step(0.1, 22);
    expect_same_bits(d.phases, e.phases);
    EXPECT_NE(d.phases, noisy.phases);
}

TEST(KuramotoRun, StepSeedsAdvanceAndWrap) {
    const std::size_t n = 4;
    const std::vector<double> om = uniform(n, 1, -1, 1), k = uniform(n * n, 2, 0, 1),
                              th = uniform(n, 3, 0, 6);
    struct Case {
        uint64_t seed;
        std::vector<uint64_t> step_seeds;
    };
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    for (const Case& c : {Case{5, {5, 6, 7}}, Case{0, {0, 0, 0}}, Case{max, {max, 0, 1}},
                          Case{max - 1, {max - 1, max, 0}}}) {
        KuramotoSolver a(om, k, th, 0.3), b(om, k, th, 0.3);
        const std::vector<double> rs = a.run(3, 0.05, c.seed);
        std::vector<double> expect;
        for (uint64_t s : c.step_seeds) expect.push_back(b.step(0.05, s));
        expect_same_bits(rs, expect);
        expect_same_bits(a.phases, b.phases);
    }
    // run_ssgf passes the same terms to every step.
    const std::vector<double> w = uniform(n * n, 8, -1, 1);
    KuramotoSolver a(om, k, th, 0.3), b(om, k, th, 0.3);
    a.field_pressure = b.field_pressure = 0.2;
    const std::vector<double> rs = a.run_ssgf(3, 0.05, 40, w, {}, 0.5, 0.0);
    std::vector<double> expect;
    for (uint64_t s : {40u, 41u, 42u}) expect.push_back(b.step_ssgf(0.05, s, w, {}, 0.5, 0.0));
    expect_same_bits(rs, expect);
}

TEST(KuramotoRun, EmptyAndUnboundedRunsLeavePhases) {
    KuramotoSolver s({1.0, 2.0}, {0, 1, 1, 0}, {7.0, -1.0}, 0.1);
    EXPECT_TRUE(s.run(0, 0.1, 3).empty());
    EXPECT_TRUE(s.run_ssgf(0, 0.1, 3, std::vector<double>(5), {}, 1.0, 0.0).empty());
    EXPECT_EQ(s.phases, (std::vector<double>{7.0, -1.0}));
    // No result vector can hold this many values: the allocation fails before any step.
    EXPECT_THROW(s.run(std::numeric_limits<std::size_t>::max(), 0.1, 3), std::bad_alloc);
    EXPECT_EQ(s.phases, (std::vector<double>{7.0, -1.0}));
}

TEST(KuramotoPanics, LengthAssertionsCarryExactTexts) {
    const std::string eq = "assertion `left == right` failed: ";
    EXPECT_EQ(panic_text([] { KuramotoSolver({}, {}, {}, 0.1); }), "omega must not be empty");
    EXPECT_EQ(panic_text([] { KuramotoSolver({1, 2}, {0, 0, 0, 0}, {1}, 0.1); }),
              eq + "initial_phases length mismatch: got 1, expected 2\n  left: 1\n right: 2");
    EXPECT_EQ(panic_text([] { KuramotoSolver({1, 2}, {0, 0, 0}, {1, 2}, 0.1); }),
              eq + "coupling length mismatch: got 3, expected 4\n  left: 3\n right: 4");

    KuramotoSolver s({1, 2}, {0, 1, 1, 0}, {0.5, 1.5}, 0.1);
    EXPECT_EQ(panic_text([&] { s.set_coupling({1, 2, 3, 4, 5}); }),
              eq + "coupling length mismatch: got 5, expected 4\n  left: 5\n right: 4");
    EXPECT_EQ(s.coupling, (std::vector<double>{0, 1, 1, 0}));
    s.set_coupling({4, 3, 2, 1});
    EXPECT_EQ(s.coupling, (std::vector<double>{4, 3, 2, 1}));

    const std::vector<double> bad(3, 1.0), good(4, 1.0);
    EXPECT_EQ(panic_text([&] { s.step_ssgf(0.1, 1, bad, {}, 0.5, 0.0); }),
              eq + "w_flat length mismatch: got 3, expected 4\n  left: 3\n right: 4");
    EXPECT_EQ(panic_text([&] { s.step_ssgf(0.1, 1, bad, {}, NAN, 0.0); }),
              eq + "w_flat length mismatch: got 3, expected 4\n  left: 3\n right: 4");
    EXPECT_EQ(panic_text([&] { s.run_ssgf(5, 0.1, 1, good, bad, 0.5, -2.0); }),
              eq + "h_flat length mismatch: got 3, expected 4\n  left: 3\n right: 4");
    // The W check comes first.
    EXPECT_EQ(panic_text([&] { s.step_ssgf(0.1, 1, std::vector<double>(7), bad, 1.0, 1.0); }),
              eq + "w_flat length mismatch: got 7, expected 4\n  left: 7\n right: 4");
    EXPECT_EQ(s.phases, (std::vector<double>{0.5, 1.5}));
    // A wrong length with weight 0 is never looked at.
    EXPECT_NO_THROW(s.step_ssgf(0.1, 1, bad, bad, 0.0, 0.0));
}

TEST(KuramotoChecks, ClassMessagesInOrder) {
    using kvra::kuramoto::check_coupling_shape;
    using kvra::kuramoto::check_new;
    struct Case {
        std::function<void()> call;
        std::string message;
    };
    const Case cases[] = {
        {[] { check_new(0, 0); }, "omega must not be empty."},
        {[] { check_new(0, 3); }, "omega must not be empty."},
        {[] { check_new(2, 1); }, "phases length mismatch: got 1, expected 2."},
        {[] { check_coupling_shape(2, 1, 3); },
         "Flat coupling length mismatch: got 3, expected 4."},
        {[] { check_coupling_shape(2, 2, 3); },
         "coupling must be shape (2, 2) or flat length 4, got (2, 3)."},
        {[] { check_coupling_shape(3, 4, 4); },
         "coupling must be shape (3, 3) or flat length 9, got (4, 4)."},
        {[] { check_coupling_shape(std::size_t{1} << 33, 1, 5); },
         "Flat coupling length mismatch: got 5, expected 73786976294838206464."},
    };
    for (const Case& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const engine::Error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    EXPECT_NO_THROW(check_new(2, 2));
    EXPECT_NO_THROW(check_coupling_shape(2, 1, 4));  // one row of N*N is a flat matrix
    EXPECT_NO_THROW(check_coupling_shape(2, 2, 2));
    EXPECT_NO_THROW(check_coupling_shape(1, 1, 1));

    KuramotoSolver s({1, 2}, {0, 1, 1, 0}, {0.5, 1.5}, 0.1);
    try {
        s.set_phases({1.0});
        ADD_FAILURE();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "phases length mismatch: got 1, expected 2.");
    }
    EXPECT_EQ(s.phases, (std::vector<double>{0.5, 1.5}));
    s.set_phases({9.0, -3.0});  // kept as given until a step wraps them
    EXPECT_EQ(s.phases, (std::vector<double>{9.0, -3.0}));
}

TEST(KuramotoOrder, OrderParameterEdges) {
    using kvra::kuramoto::order_parameter;
    EXPECT_EQ(order_parameter({}), 0.0);
    const std::vector<double> same = {1.25, 1.25, 1.25};
    EXPECT_NEAR(order_parameter(same), 1.0, 1e-15);
    const std::vector<double> opposite = {0.0, std::numbers::pi};
    EXPECT_NEAR(order_parameter(opposite), 0.0, 1e-15);
}
