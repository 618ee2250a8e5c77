#include "kvra/kuramoto.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <new>
#include <string>

#include "error.hpp"
#include "pool.hpp"
#include "rng.hpp"

namespace kvra::kuramoto {
namespace {

// Decimal text of a product that may not fit in 64 bits (N*N in messages).
std::string u128_text(unsigned __int128 v) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return s;
}

unsigned __int128 square(std::size_t n) {
    return static_cast<unsigned __int128>(n) * static_cast<unsigned __int128>(n);
}

void check_len(const char* what, std::size_t got, std::size_t expected) {
    if (got != expected)
        engine::panic_eq(std::string(what) + " length mismatch: got " + std::to_string(got) +
                             ", expected " + std::to_string(expected),
                         got, expected);
}

// Rows handled together by one task: their sine rows are evaluated first, then their sums
// run as independent chains, which hides the latency of each row's ordered summation.
constexpr std::size_t kRowBlock = 4;

// Steps of fewer sines than this stay on the calling thread: measured, below it a pool
// hand-off costs more than the other workers save.
constexpr std::size_t kParallelSines = 32 * 32;

// Sines a pool task carries at least, so that claiming it costs little next to its work.
constexpr std::size_t kTaskSines = 256;

}  // namespace

void fill_standard_normals(std::span<double> out, uint64_t seed) {
    rng::ChaCha8 g(seed);
    const std::size_t m = out.size();
    std::size_t j = 0;
    for (; j + 1 < m; j += 2) {
        const double u1 = g.next_f64();
        const double u2 = g.next_f64();
        const double r = std::sqrt(-2.0 * std::log(std::max(u1, DBL_MIN)));
        const double a = u2 * kTwoPi;
        out[j] = r * std::cos(a);
        out[j + 1] = r * std::sin(a);
    }
    if (j < m) {
        const double u1 = g.next_f64();
        const double u2 = g.next_f64();
        const double r = std::sqrt(-2.0 * std::log(std::max(u1, DBL_MIN)));
        out[j] = r * std::cos(u2 * kTwoPi);
    }
}

double order_parameter(std::span<const double> phases) {
    if (phases.empty()) return 0.0;
    double ss = -0.0, cs = -0.0;
    for (const double t : phases) ss += std::sin(t);
    for (const double t : phases) cs += std::cos(t);
    const double inv = 1.0 / static_cast<double>(phases.size());
    const double ms = ss * inv;
    const double mc = cs * inv;
    return std::sqrt(ms * ms + mc * mc);
}

void check_new(std::size_t omega_len, std::size_t phases_len) {
    if (omega_len == 0) throw engine::Error("omega must not be empty.");
    if (phases_len != omega_len)
        throw engine::Error("phases length mismatch: got " + std::to_string(phases_len) +
                            ", expected " + std::to_string(omega_len) + ".");
}

void check_coupling_shape(std::size_t n, std::size_t rows, std::size_t cols) {
    const unsigned __int128 nn = square(n);
    if (rows == 1) {
        if (cols != nn)
            throw engine::Error("Flat coupling length mismatch: got " + std::to_string(cols) +
                                ", expected " + u128_text(nn) + ".");
        return;
    }
    if (rows != n || cols != n) {
        const std::string ns = std::to_string(n);
        throw engine::Error("coupling must be shape (" + ns + ", " + ns + ") or flat length " +
                            u128_text(nn) + ", got (" + std::to_string(rows) + ", " +
                            std::to_string(cols) + ").");
    }
}

// The extra terms of one step; all off for the plain step.
struct KuramotoSolver::Terms {
    bool ssgf = false;
    const double* w = nullptr;  // null: the W term is 0
    double sigma_g = 0.0;
    const double* h = nullptr;  // null: the H term is 0
    double pgbo_weight = 0.0;
    double field = 0.0;
    bool cosine = false;        // field pressure nonzero (or NaN)
};

namespace {

// Visiting the sources in ascending phase order keeps the branches inside sin() predictable;
// the values land by source index, so the order changes no result. An approximate order is
// enough: a counting sort by phase bucket, with non-finite phases in a last bucket.
void order_by_phase(const std::vector<double>& th, std::vector<uint32_t>& order,
                    std::vector<double>& sorted, std::vector<uint32_t>& counts) {
    const std::size_t n = th.size();
    const std::size_t buckets = counts.size() - 1;  // the last one takes non-finite phases
    double lo = INFINITY, hi = -INFINITY;
    for (const double x : th)
        if (std::isfinite(x)) {
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
    double scale = 0.0;
    if (hi > lo && buckets > 1) {
        const double span = hi - lo;
        if (std::isfinite(span)) scale = static_cast<double>(buckets - 1) / span;
    }
    const double top = static_cast<double>(buckets - 1);
    auto bucket = [&](double x) -> std::size_t {
        if (!std::isfinite(x)) return buckets;
        double t = (x - lo) * scale;
        if (!(t >= 0.0)) t = 0.0;
        if (t > top) t = top;
        return static_cast<std::size_t>(t);
    };
    std::fill(counts.begin(), counts.end(), 0u);
    for (const double x : th) ++counts[bucket(x)];
    uint32_t start = 0;
    for (auto& c : counts) {
        const uint32_t k = c;
        c = start;
        start += k;
    }
    for (std::size_t j = 0; j < n; ++j) order[counts[bucket(th[j])]++] = static_cast<uint32_t>(j);
    for (std::size_t k = 0; k < n; ++k) sorted[k] = th[order[k]];
}

// out[r] = sum over j of m[(i0 + r) * n + j] * sines[r * n + j], each from -0.0 in j order.
void row_sums(const double* m, std::size_t i0, std::size_t rows, std::size_t n,
              const double* sines, double* out) {
    const double* m0 = m + i0 * n;
    if (rows == kRowBlock) {
        const double *a = m0, *b = m0 + n, *c = m0 + 2 * n, *d = m0 + 3 * n;
        const double *sa = sines, *sb = sines + n, *sc = sines + 2 * n, *sd = sines + 3 * n;
        double x0 = -0.0, x1 = -0.0, x2 = -0.0, x3 = -0.0;
        for (std::size_t j = 0; j < n; ++j) {
            x0 += a[j] * sa[j];
            x1 += b[j] * sb[j];
            x2 += c[j] * sc[j];
            x3 += d[j] * sd[j];
        }
        out[0] = x0;
        out[1] = x1;
        out[2] = x2;
        out[3] = x3;
        return;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        const double* a = m0 + r * n;
        const double* s = sines + r * n;
        double x = -0.0;
        for (std::size_t j = 0; j < n; ++j) x += a[j] * s[j];
        out[r] = x;
    }
}

}  // namespace

KuramotoSolver::KuramotoSolver(std::vector<double> om, std::vector<double> k,
                               std::vector<double> initial_phases, double amp)
    : omega(std::move(om)), coupling(std::move(k)), phases(std::move(initial_phases)),
      n(omega.size()), noise_amp(amp) {
    if (n == 0) engine::panic("omega must not be empty");
    check_len("initial_phases", phases.size(), n);
    check_len("coupling", coupling.size(), engine::checked_mul(n, n));
    velocity.assign(n, 0.0);
    noise.assign(n, 0.0);
    order_.assign(n, 0);
    sorted_.assign(n, 0.0);
    counts_.assign(n / kRowBlock + 2, 0);
}

void KuramotoSolver::set_coupling(std::vector<double> c) {
    check_len("coupling", c.size(), n * n);
    coupling = std::move(c);
}

void KuramotoSolver::set_phases(std::vector<double> p) {
    if (p.size() != n)
        throw engine::Error("phases length mismatch: got " + std::to_string(p.size()) +
                            ", expected " + std::to_string(n) + ".");
    phases = std::move(p);
}

double KuramotoSolver::step(double dt, uint64_t seed) { return advance(dt, seed, Terms{}); }

double KuramotoSolver::step_ssgf(double dt, uint64_t seed, std::span<const double> w_flat,
                                 std::span<const double> h_flat, double sigma_g,
                                 double pgbo_weight) {
    Terms t;
    t.ssgf = true;
    if (!w_flat.empty() && sigma_g != 0.0) {
        check_len("w_flat", w_flat.size(), n * n);
        t.w = w_flat.data();
        t.sigma_g = sigma_g;
    }
    if (!h_flat.empty() && pgbo_weight != 0.0) {
        check_len("h_flat", h_flat.size(), n * n);
        t.h = h_flat.data();
        t.pgbo_weight = pgbo_weight;
    }
    t.field = field_pressure;
    t.cosine = field_pressure != 0.0;
    return advance(dt, seed, t);
}

double KuramotoSolver::advance(double dt, uint64_t seed, const Terms& terms) {
    if (seed != 0 && noise_amp != 0.0)
        fill_standard_normals(noise, seed);
    else
        std::fill(noise.begin(), noise.end(), 0.0);

    order_by_phase(phases, order_, sorted_, counts_);

    const std::size_t nn = n;
    const double nf = static_cast<double>(nn);
    const double* th = phases.data();
    const uint32_t* ord = order_.data();
    const double* st = sorted_.data();
    const double* k = coupling.data();
    const double* xi = noise.data();
    double* vel = velocity.data();
    const double amp = noise_amp;

    auto block = [&](std::size_t i0, std::size_t rows) {
        thread_local std::vector<double> sines;
        if (sines.size() < kRowBlock * nn) sines.resize(kRowBlock * nn);
        double* s = sines.data();
        for (std::size_t r = 0; r < rows; ++r) {
            const double ti = th[i0 + r];
            double* row = s + r * nn;
            for (std::size_t q = 0; q < nn; ++q) row[ord[q]] = std::sin(st[q] - ti);
        }
        double ks[kRowBlock], ws[kRowBlock], hs[kRowBlock];
        row_sums(k, i0, rows, nn, s, ks);
        if (terms.w) row_sums(terms.w, i0, rows, nn, s, ws);
        if (terms.h) row_sums(terms.h, i0, rows, nn, s, hs);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::size_t i = i0 + r;
            const double base = ks[r] / nf + omega[i];
            if (!terms.ssgf) {
                vel[i] = amp * xi[i] + base;
                continue;
            }
            const double g = terms.w ? ws[r] * terms.sigma_g : 0.0;
            const double p = terms.h ? hs[r] * terms.pgbo_weight : 0.0;
            const double c = terms.cosine ? std::cos(th[i]) : 0.0;
            const double b = (base + g) + p;
            vel[i] = amp * xi[i] + (terms.field * c + b);
        }
    };

    const std::size_t blocks = engine::ceil_div(nn, kRowBlock);
    auto blocks_in = [&](std::size_t b, std::size_t e) {
        for (std::size_t q = b; q < e; ++q) {
            const std::size_t i0 = q * kRowBlock;
            block(i0, std::min(kRowBlock, nn - i0));
        }
    };
    const std::size_t workers = pool::num_threads();  // a step is a parallel operation
    if (workers == 1 || nn * nn < kParallelSines) {
        blocks_in(0, blocks);
    } else {
        const std::size_t grain = std::max<std::size_t>(
            {std::size_t{1}, blocks / (16 * workers), engine::ceil_div(kTaskSines, kRowBlock * nn)});
        pool::parallel_chunks(blocks, grain, blocks_in);
    }

    for (std::size_t i = 0; i < nn; ++i) {
        double r = std::fmod(vel[i] * dt + phases[i], kTwoPi);
        if (r < 0.0) r += kTwoPi;
        phases[i] = r;
    }
    return kuramoto::order_parameter(phases);
}

namespace {

template <class Step>
std::vector<double> run_steps(std::size_t n_steps, uint64_t seed, Step&& step) {
    std::vector<double> out;
    // Room for every result before the first step: a run too long for memory fails as that
    // allocation (a count no vector can hold included), with the phases unchanged.
    if (n_steps > out.max_size()) throw std::bad_alloc();
    out.reserve(n_steps);
    for (std::size_t k = 0; k < n_steps; ++k)
        out.push_back(step(seed == 0 ? uint64_t{0} : seed + static_cast<uint64_t>(k)));
    return out;
}

}  // namespace

std::vector<double> KuramotoSolver::run(std::size_t n_steps, double dt, uint64_t seed) {
    return run_steps(n_steps, seed, [&](uint64_t s) { return step(dt, s); });
}

std::vector<double> KuramotoSolver::run_ssgf(std::size_t n_steps, double dt, uint64_t seed,
                                             std::span<const double> w_flat,
                                             std::span<const double> h_flat, double sigma_g,
                                             double pgbo_weight) {
    return run_steps(n_steps, seed, [&](uint64_t s) {
        return step_ssgf(dt, s, w_flat, h_flat, sigma_g, pgbo_weight);
    });
}

}  // namespace kvra::kuramoto
