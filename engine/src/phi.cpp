#include "phi.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "error.hpp"

namespace phi {
namespace {

constexpr double kDetFloor = 1e-300;
constexpr double kRidge = 1e-10;
// The samples are summed in blocks of about this size, which stay in the second-level cache
// and stay below the size from which the C library maps fresh pages for every allocation.
constexpr std::size_t kBlockBytes = 64 * 1024;

bool normal_range(double v) { return std::fabs(v) >= DBL_MIN && std::fabs(v) <= DBL_MAX; }

// Gaussian elimination with partial pivoting on the row-major n x n matrix a (overwritten).
// Returns the running product of the pivots with the swap signs, as the determinant is
// defined, and keeps the pivots (sign included) for the log form. `clean` turns false when
// that product leaves the normal range on its way (overflow, or underflow of a non-zero
// value), which makes the direct value unreliable; a NaN product stays clean, as the floors
// treat it alike in both forms. `swaps_odd` tells the sign the swaps contribute.
double eliminate(double* a, std::size_t n, double* pivots, bool& clean, bool& swaps_odd,
                 bool& singular) {
    double det = 1.0;
    clean = true;
    swaps_odd = false;
    singular = false;
    for (std::size_t j = 0; j < n; ++j) {
        std::size_t p = j;
        double best = std::fabs(a[j * n + j]);
        for (std::size_t r = j + 1; r < n; ++r) {
            const double m = std::fabs(a[r * n + j]);
            if (m > best) {
                best = m;
                p = r;
            }
        }
        if (best < kDetFloor) {
            singular = true;
            return 0.0;
        }
        if (p != j) {
            std::swap_ranges(a + p * n + j, a + p * n + n, a + j * n + j);
            det = -det;
            swaps_odd = !swaps_odd;
        }
        const double h = a[j * n + j];
        const double* pivot_row = a + j * n;
        for (std::size_t l = j + 1; l < n; ++l) {
            double* row = a + l * n;
            const double f = row[j] / h;
            for (std::size_t c = j + 1; c < n; ++c) row[c] = row[c] - pivot_row[c] * f;
        }
        det = det * h;
        pivots[j] = h;
        if (!std::isnan(det) && !normal_range(det)) clean = false;
    }
    return det;
}

// ln of a determinant from its pivots. A matrix that passed elimination (no pivot below 1e-300)
// is not singular, so its logarithm is used as it is, even where the determinant itself is
// below 1e-300 or underflows; a NaN or negative determinant keeps the floor, ln(1e-300).
double log_of_pivots(const double* pivots, std::size_t n, bool swaps_odd) {
    static const double log_floor = std::log(kDetFloor);
    bool negative = swaps_odd;
    double s = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        if (std::isnan(pivots[j])) return log_floor;
        if (pivots[j] < 0.0) negative = !negative;
        s += std::log(std::fabs(pivots[j]));
    }
    return negative ? log_floor : s;
}

double floor_det(double d) { return d > kDetFloor ? d : kDetFloor; }

// A determinant as the direct form gives it, and its logarithm where the direct form, with
// its floor at 1e-300, would not hold the value.
struct Det {
    double value;
    bool clean;
    double log;  // valid when !clean
};

// Scratch of one call: the k x k copy and the pivots.
struct Work {
    std::vector<double> a, pivots;
};

Det det_of(double* a, std::size_t n, Work& w) {
    if (n == 0) return {1.0, true, 0.0};
    if (n == 1) return {a[0], true, 0.0};
    if (n == 2) {
        const double d = a[0] * a[3] - a[1] * a[2];
        const bool finite_in = std::isfinite(a[0]) && std::isfinite(a[1]) &&
                               std::isfinite(a[2]) && std::isfinite(a[3]);
        if (std::isfinite(d) || !finite_in) return {d, true, 0.0};
        bool clean, odd, singular;
        eliminate(a, 2, w.pivots.data(), clean, odd, singular);
        const double lf = singular ? std::log(kDetFloor) : log_of_pivots(w.pivots.data(), 2, odd);
        return {d, false, lf};
    }
    bool clean, odd, singular;
    const double d = eliminate(a, n, w.pivots.data(), clean, odd, singular);
    // Singular, NaN and negative determinants keep the floor of the direct form; so do values
    // above it. A positive determinant at or below 1e-300 of a matrix that is not singular
    // (small units) is carried by its logarithm.
    if (singular || (clean && !(d > 0.0 && d <= kDetFloor))) return {d, true, 0.0};
    return {d, false, log_of_pivots(w.pivots.data(), n, odd)};
}

double log_of(const Det& d) { return d.clean ? std::log(floor_det(d.value)) : d.log; }

// Gaussian mutual information from the three determinants: 0.5 * ln(d_Y * d_X / d_XY) with
// each determinant floored at 1e-300, redone from logarithms where a determinant is carried by
// its logarithm or the product or quotient leaves the normal range. Floored at 0.
double mutual_information(const Det& x, const Det& y, const Det& xy) {
    if (x.clean && y.clean && xy.clean) {
        const double p = floor_det(y.value) * floor_det(x.value);
        if (normal_range(p)) {
            const double q = p / floor_det(xy.value);
            if (normal_range(q)) {
                const double mi = 0.5 * std::log(q);
                return mi > 0.0 ? mi : 0.0;
            }
        }
    }
    const double mi = 0.5 * ((log_of(y) + log_of(x)) - log_of(xy));
    return mi > 0.0 ? mi : 0.0;
}

typedef double v8 __attribute__((vector_size(64)));

// Adds a block of the table to the running column sums: sums[p] += d[t * ld + p] for each t
// in order, so that sums carried over the blocks in t order are each one ordered sum (from
// -0.0 before the first block). ld is a multiple of 8.
__attribute__((target_clones("avx512f", "avx2", "default")))
void add_column_sums(const double* d, std::size_t rows, std::size_t ld, double* sums) {
    for (std::size_t p0 = 0; p0 < ld; p0 += 8) {
        v8 acc;
        std::memcpy(&acc, sums + p0, sizeof acc);
        for (std::size_t t = 0; t < rows; ++t) {
            v8 x;
            std::memcpy(&x, d + t * ld + p0, sizeof x);
            acc += x;
        }
        std::memcpy(sums + p0, &acc, sizeof acc);
    }
}

// Adds a block's cross products to the running sums of the lower triangle: acc[p * ld + q] +=
// d[t][q] * d[t][p] for q <= p < P and each t in order (from 0.0 before the first block), every
// product rounded before it is added. Lanes run over q, so each entry is its own ordered sum;
// four values of p share one pass. acc has ld rows of ld; entries outside the triangle are
// written too and never read.
__attribute__((target_clones("avx512f", "avx2", "default")))
void add_cross_products(const double* d, std::size_t rows, std::size_t P, std::size_t ld, double* acc) {
    for (std::size_t p0 = 0; p0 < P; p0 += 4) {
        const std::size_t p_end = std::min(P, p0 + 4);
        for (std::size_t q0 = 0; q0 < p_end; q0 += 8) {
            v8 a[4];
            for (std::size_t r = 0; r < 4; ++r) std::memcpy(&a[r], acc + (p0 + r) * ld + q0, sizeof a[r]);
            for (std::size_t t = 0; t < rows; ++t) {
                const double* row = d + t * ld;
                v8 x;
                std::memcpy(&x, row + q0, sizeof x);
                a[0] += x * row[p0];
                a[1] += x * row[p0 + 1];
                a[2] += x * row[p0 + 2];
                a[3] += x * row[p0 + 3];
            }
            for (std::size_t r = 0; r < 4; ++r) std::memcpy(acc + (p0 + r) * ld + q0, &a[r], sizeof a[r]);
        }
    }
}

// Two index ranges taken as one row set: [a0, a1) then [b0, b1).
struct RowSet {
    std::size_t a0, a1, b0, b1;
    std::size_t size() const { return (a1 - a0) + (b1 - b0); }
    std::size_t at(std::size_t k) const { return k < a1 - a0 ? a0 + k : b0 + (k - (a1 - a0)); }
};

}  // namespace

double determinant(std::span<const double> m, std::size_t n) {
    const std::size_t nn = engine::checked_mul(n, n);
    if (m.size() < nn) engine::panic_index(nn - 1, m.size());
    std::vector<double> a(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(nn));
    if (n == 0) return 1.0;
    if (n == 1) return a[0];
    if (n == 2) return a[0] * a[3] - a[1] * a[2];
    std::vector<double> pivots(n);
    bool clean, odd, singular;
    return eliminate(a.data(), n, pivots.data(), clean, odd, singular);
}

double phi_star(const void* data, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                std::ptrdiff_t col_stride, std::size_t tau) {
    const std::size_t n = rows;
    if (n <= 1) return 0.0;
    const std::size_t T = cols;
    if (tau > T || T - tau <= tau) return 0.0;  // 2 * tau >= T, without overflow
    const std::size_t L = T - tau;

    // The covariance of any row set drawn from (past, present) is a sub-block of their joint
    // covariance: every entry depends only on its two rows, with the same summation order.
    // So the joint matrix is computed once and the cuts read from it. Its sums run over the
    // table of samples (row t: the past of every variable, then the present) block by block,
    // each block read twice (sums, then centred products), so that a long series costs no
    // table of its own size.
    const std::size_t P = engine::alloc_size(n, 2);
    const std::size_t ld = engine::alloc_size(engine::ceil_div(P, 8), 8);
    const std::size_t block = std::max<std::size_t>(1, kBlockBytes / (ld * sizeof(double)));
    std::vector<double> d(engine::alloc_size(std::min(block, L), ld), 0.0);  // padding stays 0
    const char* base = static_cast<const char*>(data);
    auto fill = [&](std::size_t t0, std::size_t rows) {
        for (std::size_t i = 0; i < n; ++i) {
            const char* row = base + static_cast<std::ptrdiff_t>(i) * row_stride;
            for (std::size_t t = 0; t < rows; ++t) {
                double past, present;
                std::memcpy(&past, row + static_cast<std::ptrdiff_t>(t0 + t) * col_stride, sizeof past);
                std::memcpy(&present, row + static_cast<std::ptrdiff_t>(t0 + t + tau) * col_stride,
                            sizeof present);
                d[t * ld + i] = past;
                d[t * ld + n + i] = present;
            }
        }
    };
    std::vector<double> mean(ld, -0.0);
    for (std::size_t t0 = 0; t0 < L; t0 += block) {
        const std::size_t rows = std::min(block, L - t0);
        fill(t0, rows);
        add_column_sums(d.data(), rows, ld, mean.data());
    }
    const double lf = static_cast<double>(L);
    for (auto& m : mean) m = m / lf;
    std::vector<double> acc(engine::alloc_size(ld, ld), 0.0);
    for (std::size_t t0 = 0; t0 < L; t0 += block) {
        const std::size_t rows = std::min(block, L - t0);
        fill(t0, rows);
        for (std::size_t t = 0; t < rows; ++t)
            for (std::size_t p = 0; p < P; ++p) d[t * ld + p] = d[t * ld + p] - mean[p];
        add_cross_products(d.data(), rows, P, ld, acc.data());
    }

    std::vector<double> g(engine::alloc_size(P, P));
    const double denom = L - 1 > 1 ? static_cast<double>(L - 1) : 1.0;
    for (std::size_t p = 0; p < P; ++p) {
        for (std::size_t q = 0; q <= p; ++q) {
            const double c = acc[p * ld + q] / denom;
            g[p * P + q] = c;
            g[q * P + p] = c;
        }
        g[p * P + p] += kRidge;
    }

    Work w;
    w.a.resize(P * P);
    w.pivots.resize(P);
    auto det = [&](const RowSet& s) {
        const std::size_t k = s.size();
        for (std::size_t r = 0; r < k; ++r) {
            const double* src = g.data() + s.at(r) * P;
            for (std::size_t c = 0; c < k; ++c) w.a[r * k + c] = src[s.at(c)];
        }
        return det_of(w.a.data(), k, w);
    };
    // Mutual information between rows [x0, x1) of the past and the same rows of the present.
    auto mi = [&](std::size_t x0, std::size_t x1) {
        const Det dx = det({x0, x1, 0, 0});
        const Det dy = det({n + x0, n + x1, 0, 0});
        const Det dxy = det({x0, x1, n + x0, n + x1});
        return mutual_information(dx, dy, dxy);
    };

    const double whole = mi(0, n);
    double m = INFINITY;
    for (std::size_t j = 1; j < n; ++j) {
        const double s = mi(0, j) + mi(j, n);
        if (s < m) m = s;
    }
    const double phi = whole - m;
    return phi > 0.0 ? phi : 0.0;
}

}  // namespace phi
