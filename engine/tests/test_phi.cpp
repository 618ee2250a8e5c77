#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "phi.hpp"
#include "rng.hpp"

namespace {

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// The measure computed the plain way, in a chosen float type: every cut copies its row sets and
// computes its own covariances and determinants. `in_range` turns false when a determinant or
// the determinant product or quotient leaves the double's normal range.
template <class F>
struct Reference {
    using Rows = std::vector<std::vector<F>>;
    bool in_range = true;

    void watch(F v) {
        const F a = v < 0 ? -v : v;
        if (!(a >= F(DBL_MIN) && a <= F(DBL_MAX))) in_range = false;
    }

    static Rows cov(const Rows& x) {
        const std::size_t k = x.size();
        if (k == 0) return {};
        const std::size_t T = x[0].size();
        Rows c(k, std::vector<F>(k, F(1e-10)));
        if (T == 0) return c;
        std::vector<F> mean(k);
        for (std::size_t i = 0; i < k; ++i) {
            F s = -0.0;
            for (F v : x[i]) s += v;
            mean[i] = s / F(T);
        }
        const F denom = T - 1 > 1 ? F(T - 1) : F(1);
        for (std::size_t i = 0; i < k; ++i) {
            for (std::size_t j = 0; j <= i; ++j) {
                F s = 0.0;
                for (std::size_t t = 0; t < T; ++t) s += (x[j][t] - mean[j]) * (x[i][t] - mean[i]);
                s = s / denom;
                c[i][j] = s;
                c[j][i] = s;
            }
            c[i][i] += F(1e-10);
        }
        return c;
    }

    F det(Rows m) {
        const std::size_t n = m.size();
        F d;
        if (n == 0) {
            d = 1;
        } else if (n == 1) {
            d = m[0][0];
        } else if (n == 2) {
            d = m[0][0] * m[1][1] - m[0][1] * m[1][0];
        } else {
            d = 1;
            for (std::size_t j = 0; j < n; ++j) {
                std::size_t p = j;
                for (std::size_t r = j + 1; r < n; ++r)
                    if (std::fabs(m[r][j]) > std::fabs(m[p][j])) p = r;
                if (std::fabs(m[p][j]) < F(1e-300)) return 0;
                if (p != j) {
                    std::swap(m[p], m[j]);
                    d = -d;
                }
                const F h = m[j][j];
                for (std::size_t l = j + 1; l < n; ++l) {
                    const F t = m[l][j];
                    for (std::size_t c = j + 1; c < n; ++c) m[l][c] = m[l][c] - m[j][c] * (t / h);
                }
                d = d * h;
            }
        }
        if (!std::isnan(d) && d != 0) watch(d);
        return d;
    }

    F gmi(const Rows& x, const Rows& y) {
        Rows xy = x;
        xy.insert(xy.end(), y.begin(), y.end());
        auto floor = [](F d) { return d > F(1e-300) ? d : F(1e-300); };
        const F dx = floor(det(cov(x))), dy = floor(det(cov(y))), dxy = floor(det(cov(xy)));
        watch(dy * dx);
        watch(dy * dx / dxy);
        const F mi = F(0.5) * std::log(dy * dx / dxy);
        return mi > 0 ? mi : F(0);
    }

    F phi(const std::vector<double>& data, std::size_t n, std::size_t T, std::size_t tau) {
        if (n <= 1) return 0;
        if (tau > T || T - tau <= tau) return 0;
        Rows past(n), present(n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t t = 0; t < T; ++t) {
                if (t < T - tau) past[i].push_back(F(data[i * T + t]));
                if (t >= tau) present[i].push_back(F(data[i * T + t]));
            }
        auto part = [](const Rows& r, std::size_t a, std::size_t b) {
            return Rows(r.begin() + static_cast<std::ptrdiff_t>(a),
                        r.begin() + static_cast<std::ptrdiff_t>(b));
        };
        const F whole = gmi(past, present);
        F m = INFINITY;
        for (std::size_t j = 1; j < n; ++j) {
            const F s = gmi(part(past, 0, j), part(present, 0, j)) +
                        gmi(part(past, j, n), part(present, j, n));
            if (s < m) m = s;
        }
        const F d = whole - m;
        return d > 0 ? d : F(0);
    }
};

// Row-major n x T series of coupled first-order autoregressions, so the measure is nonzero:
// each variable keeps `own` of its last value, takes `neighbour` of the previous variable's,
// and adds uniform noise of width `noise`.
std::vector<double> coupled_series(std::size_t n, std::size_t T, uint64_t seed, double own = 0.6,
                                   double neighbour = 0.3, double noise = 1.0) {
    rng::Xoshiro256pp g(seed);
    std::vector<double> x(n * T);
    for (std::size_t t = 0; t < T; ++t)
        for (std::size_t i = 0; i < n; ++i) {
            double v = (g.next_f64() - 0.5) * noise;
            if (t > 0) {
                v += own * x[i * T + t - 1];
                if (i > 0) v += neighbour * x[(i - 1) * T + t - 1];
            }
            x[i * T + t] = v;
        }
    return x;
}

double phi_of(const std::vector<double>& x, std::size_t n, std::size_t T, std::size_t tau) {
    return phi::phi_star(x.data(), n, T, static_cast<std::ptrdiff_t>(T * 8), 8, tau);
}

struct Shape {
    std::size_t n, T, tau;
};

class PhiReference : public ::testing::TestWithParam<Shape> {};

TEST_P(PhiReference, EqualsPlainFormBitForBit) {
    const Shape s = GetParam();
    const std::vector<double> x = coupled_series(s.n, s.T, 1 + s.n * 100 + s.T);
    Reference<double> ref;
    const double expect = ref.phi(x, s.n, s.T, s.tau);
    ASSERT_TRUE(ref.in_range) << "the reference left the normal range; pick other data";
    EXPECT_EQ(bits(phi_of(x, s.n, s.T, s.tau)), bits(expect));
}

// T = 1 and 2 give one or two samples (divisor 1); 34 and 40 variables pad the joint table.
INSTANTIATE_TEST_SUITE_P(PhiShapes, PhiReference,
                         ::testing::Values(Shape{2, 1, 0}, Shape{2, 2, 0}, Shape{2, 3, 1},
                                           Shape{3, 10, 4}, Shape{3, 10, 0}, Shape{4, 7, 3},
                                           Shape{5, 50, 2}, Shape{8, 200, 3}, Shape{16, 300, 1},
                                           Shape{17, 64, 5}, Shape{20, 120, 2}));

TEST(PhiEdges, DegenerateInputsGiveZero) {
    const std::vector<double> x = coupled_series(3, 10, 5);
    EXPECT_EQ(phi::phi_star(nullptr, 0, 10, 80, 8, 1), 0.0);
    EXPECT_EQ(phi_of(x, 1, 30, 1), 0.0);
    EXPECT_EQ(phi_of(x, 3, 10, 5), 0.0);  // 2 * 5 >= 10
    EXPECT_GT(phi_of(x, 3, 10, 4), 0.0);  // 6 past and 6 present samples
    EXPECT_EQ(phi::phi_star(x.data(), 3, 0, 0, 8, 0), 0.0);
    for (std::size_t tau : {std::size_t{1} << 63, std::numeric_limits<std::size_t>::max()})
        EXPECT_EQ(phi_of(x, 3, 10, tau), 0.0);
}

TEST(PhiEdges, ConstantRowsGiveZero) {
    for (std::size_t n : {3u, 16u}) {
        std::vector<double> x(n * 40);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t t = 0; t < 40; ++t) x[i * 40 + t] = 0.1 * static_cast<double>(i + 1);
        EXPECT_NEAR(phi_of(x, n, 40, 2), 0.0, 1e-12) << n;
    }
}

TEST(PhiEdges, NanSamplesNeverGiveNan) {
    std::vector<double> x = coupled_series(4, 60, 8);
    x[70] = NAN;
    const double v = phi_of(x, 4, 60, 2);
    EXPECT_FALSE(std::isnan(v));
    EXPECT_GE(v, 0.0);
}

TEST(PhiLayout, AnyStridesGiveTheContiguousBits) {
    const std::size_t n = 6, T = 90, tau = 3;
    const std::vector<double> x = coupled_series(n, T, 21);
    const double expect = phi_of(x, n, T, tau);
    ASSERT_GT(expect, 0.0);

    // Column-major copy.
    std::vector<double> cm(n * T);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t t = 0; t < T; ++t) cm[t * n + i] = x[i * T + t];
    EXPECT_EQ(bits(phi::phi_star(cm.data(), n, T, 8, static_cast<std::ptrdiff_t>(8 * n), tau)),
              bits(expect));

    // A view of every second row and every third column of a larger array.
    const std::size_t big_cols = 3 * T;
    std::vector<double> big(2 * n * big_cols, -7.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t t = 0; t < T; ++t) big[(2 * i) * big_cols + 3 * t] = x[i * T + t];
    EXPECT_EQ(bits(phi::phi_star(big.data(), n, T, static_cast<std::ptrdiff_t>(16 * big_cols), 24,
                                 tau)),
              bits(expect));

    // Negative strides: the same logical elements stored back to front.
    std::vector<double> rev(n * T);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t t = 0; t < T; ++t) rev[(n - 1 - i) * T + (T - 1 - t)] = x[i * T + t];
    EXPECT_EQ(bits(phi::phi_star(rev.data() + n * T - 1, n, T, -static_cast<std::ptrdiff_t>(8 * T),
                                 -8, tau)),
              bits(expect));

    // Unaligned storage with a 12-byte column stride.
    std::vector<unsigned char> raw(n * T * 12 + 1);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t t = 0; t < T; ++t)
            std::memcpy(raw.data() + 1 + (i * T + t) * 12, &x[i * T + t], 8);
    EXPECT_EQ(bits(phi::phi_star(raw.data() + 1, n, T, static_cast<std::ptrdiff_t>(12 * T), 12,
                                 tau)),
              bits(expect));
}

TEST(PhiRange, ScaledUnitsStayFinite) {
    const std::size_t n = 8, T = 400, tau = 1;
    const std::vector<double> x = coupled_series(n, T, 33);
    const double base = phi_of(x, n, T, tau);
    ASSERT_GT(base, 0.01);
    std::vector<double> up(x), down(x);
    for (auto& v : up) v *= 1e120;
    for (auto& v : down) v *= 1e-120;

    // Determinants of 1e240-sized covariances overflow; the direct form then compares inf
    // with inf and loses the value.
    Reference<double> direct;
    const double lost = direct.phi(up, n, T, tau);
    EXPECT_FALSE(direct.in_range);
    EXPECT_FALSE(std::fabs(lost - base) < 1e-3 * base) << lost;

    const double scaled = phi_of(up, n, T, tau);
    EXPECT_TRUE(std::isfinite(scaled));
    EXPECT_NEAR(scaled, base, 1e-7 * base);

    // Far below the 1e-10 ridge the covariances are the ridge alone: a finite 0.
    const double tiny = phi_of(down, n, T, tau);
    EXPECT_TRUE(std::isfinite(tiny));
    EXPECT_NEAR(tiny, 0.0, 1e-12);
}

TEST(PhiRange, TwentyFourChannelsKeepTheirValueAcrossUnits) {
    // 48 x 48 joint covariances: in units of 1e-3 their determinants fall below the 1e-300
    // floor (or underflow) although nothing is singular, and in units of 1e4 they overflow.
    const std::size_t n = 24, T = 200, tau = 1;
    for (double own : {0.05, 0.3}) {
        const std::vector<double> x = coupled_series(n, T, 24, own, 0.9, 1.0);
        const double base = phi_of(x, n, T, tau);
        ASSERT_GT(base, 0.1);
        for (double scale : {1e-3, 1e-2, 1e4}) {
            std::vector<double> y(x);
            for (auto& v : y) v *= scale;
            EXPECT_NEAR(phi_of(y, n, T, tau), base, 0.01 * base) << own << " " << scale;
        }
    }
}

TEST(PhiRange, ModerateUnitsMatchWideArithmetic) {
    // Sixteen variables in units of 1e6: the determinant product d_Y * d_X (and the joint
    // determinant) overflow in the direct form. An 80-bit reference holds every value.
    const std::size_t n = 16, T = 500, tau = 1;
    std::vector<double> x = coupled_series(n, T, 4);
    const double base = phi_of(x, n, T, tau);
    for (auto& v : x) v *= 1e6;
    Reference<double> direct;
    const double lost = direct.phi(x, n, T, tau);
    EXPECT_FALSE(direct.in_range);
    Reference<long double> wide;
    const double expect = static_cast<double>(wide.phi(x, n, T, tau));
    ASSERT_TRUE(wide.in_range == false && std::isfinite(expect) && expect > 0.01) << expect;
    EXPECT_FALSE(std::fabs(lost - expect) < 1e-3 * expect) << lost;
    const double got = phi_of(x, n, T, tau);
    EXPECT_NEAR(got, expect, 1e-9 * expect);
    EXPECT_NEAR(got, base, 1e-7 * base);
}

TEST(PhiDeterminant, ClosedFormsPivotingAndFloor) {
    struct Case {
        std::vector<double> m;
        std::size_t n;
        double expect;
    };
    const Case cases[] = {
        {{}, 0, 1.0},
        {{-3.5}, 1, -3.5},
        {{2, 3, 4, 5}, 2, 2.0 * 5.0 - 3.0 * 4.0},
        {{1, 2, 3, 4, 5, 6, 7, 8, 10}, 3, -3.0},
        {{0, 1, 0, 1, 0, 0, 0, 0, 1}, 3, -1.0},               // one row swap
        {{1, 2, 3, 2, 4, 6, 1, 1, 1}, 3, 0.0},                 // singular: a zero pivot
        {{1e-301, 0, 0, 0, 1, 0, 0, 0, 1}, 3, 0.0},            // pivot below the floor
        {{4, 0, 0, 0, 0, 3, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1}, 4, 24.0},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(phi::determinant(c.m, c.n), c.expect) << c.n;
}

}  // namespace
