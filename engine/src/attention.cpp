#include "attention.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "chunked.hpp"
#include "error.hpp"
#include "simd/kernels.hpp"
#include "stream_matrix.hpp"

namespace attention {
namespace {

using stream_matrix::Layout;

std::string num(std::size_t v) { return std::to_string(v); }

// Query rows whose outputs are computed together, and the bytes of the keys they meet at a time.
constexpr std::size_t kRowBlock = 32;
constexpr std::size_t kKeyBlockBytes = 16 << 10;
// Costs on the calling thread, measured on AVX-512 and used to decide which loops go to the
// pool: per query-key pair, per element of its dot product and weighted sum, per exponential
// or division of a weight, per AND popcount call and per word of it.
constexpr double kTermNs = 1.5, kElementNs = 0.07, kExpNs = 4.0, kDivideNs = 1.0, kCountNs = 5.0, kCountWordNs = 0.1;

void check_length(const char* name, const MatrixRef& m) {
    std::size_t want;
    if (!engine::length_is_product(m.data.size(), m.rows, m.cols, want))
        throw engine::Error(std::string(name) + " data length mismatch: got " + num(m.data.size()) + ", expected " +
                            num(want) + ".");
}

// The first two single-head checks.
void check_dims(std::size_t q_cols, std::size_t k_rows, std::size_t k_cols, std::size_t v_rows) {
    if (q_cols != k_cols)
        throw engine::Error("Q/K dimension mismatch: q_cols=" + num(q_cols) + ", k_cols=" + num(k_cols) + ".");
    if (k_rows != v_rows)
        throw engine::Error("K/V row mismatch: k_rows=" + num(k_rows) + ", v_rows=" + num(v_rows) + ".");
}

const double* row(const MatrixRef& m, std::size_t r) { return m.data.data() + r * m.cols; }

// Each of m rows of n values divided by its sum taken left to right from 0.0, or left as it is
// when that sum is 0. The sums of eight rows run side by side, each in its own order.
void divide_by_row_sums(double* w, std::size_t m, std::size_t n) {
    for (std::size_t r0 = 0; r0 < m; r0 += 8) {
        const std::size_t g = std::min<std::size_t>(8, m - r0);
        double c[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t r = 0; r < g; ++r) c[r] = c[r] + w[(r0 + r) * n + j];
        for (std::size_t r = 0; r < g; ++r)
            simd::divide_f64_dispatch({w + (r0 + r) * n, n}, c[r] == 0.0 ? 1.0 : c[r]);
    }
}

// One item per query row, taken in blocks: the block's scores (dot products with every key),
// shaped into weights by shape(w, rows), then their weighted sums of V rows in one pass.
template <class Shape>
std::vector<double> attend(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v, double shape_ns, Shape shape) {
    std::vector<double> out(engine::alloc_size(q.rows, v.cols));
    const double per_row =
        static_cast<double>(k.rows) * (kTermNs + static_cast<double>(q.cols + v.cols) * kElementNs + shape_ns);
    const std::size_t key_block = std::max<std::size_t>(16, kKeyBlockBytes / sizeof(double) / std::max<std::size_t>(k.cols, 1) / 16 * 16);
    chunked::run(q.rows, per_row, [&](std::size_t b, std::size_t e) {
        std::vector<double> w(engine::alloc_size(std::min(e - b, kRowBlock), k.rows));
        for (std::size_t r0 = b; r0 < e; r0 += kRowBlock) {
            const std::size_t m = std::min(e - r0, kRowBlock);
            // Keys in blocks that stay in the first-level cache while every query row meets them.
            for (std::size_t j0 = 0; j0 < k.rows; j0 += key_block) {
                const std::size_t nj = std::min(k.rows - j0, key_block);
                simd::dot_rows_f64_dispatch({row(q, r0), q.cols, m, q.cols, row(k, j0), k.cols, nj, w.data() + j0, k.rows});
            }
            shape(w.data(), m);
            simd::combine_rows_f64_dispatch({out.data() + r0 * v.cols, v.cols, m, w.data(), k.rows, nullptr,
                                             v.data.data(), v.cols});
        }
    }, 8);  // whole groups of eight rows for the row kernels
    return out;
}

// Runs `single` on every head's column blocks and places head h's result in output columns
// h * v_head onwards.
template <class Single>
std::vector<double> multihead(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v, std::size_t n_heads,
                              Single single) {
    validate_multihead_shapes(q, k, v, n_heads);
    const std::size_t qh = q.cols / n_heads, vh = v.cols / n_heads;
    // Every head has the same shapes (and data of the right lengths), so the heads' own checks
    // fail alike: make them once before starting any.
    check_dims(qh, k.rows, qh, v.rows);
    std::vector<double> out(engine::alloc_size(q.rows, v.cols));
    const double per_head = static_cast<double>(q.rows) * static_cast<double>(k.rows) *
                            (kTermNs + static_cast<double>(qh + vh) * kElementNs + kDivideNs);
    chunked::run(n_heads, per_head, [&](std::size_t b, std::size_t e) {
        for (std::size_t h = b; h < e; ++h) {
            const std::vector<double> qd = extract_head_columns(q, h, qh), kd = extract_head_columns(k, h, qh),
                                      vd = extract_head_columns(v, h, vh);
            const std::vector<double> r = single({qd, q.rows, qh}, {kd, k.rows, qh}, {vd, v.rows, vh});
            for (std::size_t i = 0; i < q.rows; ++i)
                std::copy(r.begin() + i * vh, r.begin() + (i + 1) * vh, out.begin() + i * v.cols + h * vh);
        }
    });
    return out;
}

}  // namespace

void validate_shapes(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v) {
    check_dims(q.cols, k.rows, k.cols, v.rows);
    check_length("Q", q);
    check_length("K", k);
    check_length("V", v);
}

void validate_multihead_shapes(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v, std::size_t n_heads) {
    if (n_heads == 0) throw engine::Error("n_heads must be > 0.");
    if (q.cols % n_heads != 0 || k.cols % n_heads != 0 || v.cols % n_heads != 0)
        throw engine::Error("Total columns must be divisible by n_heads=" + num(n_heads) + ". Got Q=" + num(q.cols) +
                            ", K=" + num(k.cols) + ", V=" + num(v.cols) + ".");
    check_length("Q", q);
    check_length("K", k);
    check_length("V", v);
    if (q.cols / n_heads != k.cols / n_heads)
        throw engine::Error("Q/K head dimensions must match: Q_head=" + num(q.cols / n_heads) +
                            ", K_head=" + num(k.cols / n_heads) + ".");
}

std::vector<double> extract_head_columns(const MatrixRef& m, std::size_t h, std::size_t width) {
    std::vector<double> out(engine::alloc_size(m.rows, width));
    for (std::size_t r = 0; r < m.rows; ++r) {
        const double* src = row(m, r) + h * width;
        std::copy(src, src + width, out.begin() + r * width);
    }
    return out;
}

StochasticAttention StochasticAttention::make(std::size_t dim_k, std::optional<double> temperature) {
    return StochasticAttention{dim_k, temperature ? *temperature : std::sqrt(static_cast<double>(dim_k))};
}

std::vector<double> StochasticAttention::forward(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v) const {
    validate_shapes(q, k, v);
    return attend(q, k, v, kDivideNs, [&](double* w, std::size_t m) { divide_by_row_sums(w, m, k.rows); });
}

std::vector<double> StochasticAttention::forward_softmax(const MatrixRef& q, const MatrixRef& k,
                                                         const MatrixRef& v) const {
    validate_shapes(q, k, v);
    const double scale = temperature > 0.0 ? 1.0 / temperature : 1.0;
    return attend(q, k, v, kExpNs, [&](double* w, std::size_t m) {
        for (std::size_t r = 0; r < m; ++r) {
            const std::span<double> s(w + r * k.rows, k.rows);
            simd::scale_f64_dispatch(s, scale);
            simd::softmax_inplace_f64_dispatch(s);
        }
    });
}

std::vector<double> StochasticAttention::forward_multihead(const MatrixRef& q, const MatrixRef& k,
                                                           const MatrixRef& v, std::size_t n_heads) const {
    return multihead(q, k, v, n_heads, [this](const MatrixRef& a, const MatrixRef& b, const MatrixRef& c) {
        return forward(a, b, c);
    });
}

std::vector<double> StochasticAttention::forward_multihead_softmax(const MatrixRef& q, const MatrixRef& k,
                                                                   const MatrixRef& v, std::size_t n_heads) const {
    return multihead(q, k, v, n_heads, [this](const MatrixRef& a, const MatrixRef& b, const MatrixRef& c) {
        return forward_softmax(a, b, c);
    });
}

std::vector<double> StochasticAttention::forward_sc(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v,
                                                    std::size_t length, uint64_t seed) const {
    validate_shapes(q, k, v);
    if (length == 0) throw engine::Error("length must be > 0 for SC mode.");
    stream_matrix::Keystream keys(seed, length);
    const std::size_t words = keys.words_per();
    const double len = static_cast<double>(length);
    // A query row's streams and a key row's streams each lie back to back, so the sum of the
    // per-column counts of a score is one count over the two runs; V is kept by column for the
    // same reason in the final product.
    const stream_matrix::Streams qs = keys.encode(q.data, q.rows, q.cols, Layout::RowMajor);
    const stream_matrix::Streams ks = keys.encode(k.data, k.rows, k.cols, Layout::RowMajor);
    const stream_matrix::Streams vs = keys.encode(v.data, v.rows, v.cols, Layout::ColumnMajor);

    std::vector<double> w(engine::alloc_size(q.rows, k.rows));
    const double score_row = static_cast<double>(k.rows) * (kCountNs + static_cast<double>(q.cols * words) * kCountWordNs);
    // The scores are serial to the caller, the final product a parallel loop.
    chunked::run_if_worth(q.rows, score_row, [&](std::size_t b, std::size_t e) {
        for (std::size_t r = b; r < e; ++r) {
            double* s = w.data() + r * k.rows;
            for (std::size_t j = 0; j < k.rows; ++j)
                s[j] = static_cast<double>(simd::fused_and_popcount_dispatch(qs.run(r * q.cols, q.cols),
                                                                             ks.run(j * k.cols, k.cols))) / len;
        }
        divide_by_row_sums(w.data() + b * k.rows, e - b, k.rows);
    });

    const stream_matrix::Streams ws = keys.encode(w, q.rows, k.rows, Layout::RowMajor);
    std::vector<double> out(engine::alloc_size(q.rows, v.cols));
    const double out_row = static_cast<double>(v.cols) * (kCountNs + static_cast<double>(k.rows * words) * kCountWordNs);
    chunked::run(q.rows, out_row, [&](std::size_t b, std::size_t e) {
        for (std::size_t r = b; r < e; ++r)
            for (std::size_t i = 0; i < v.cols; ++i)
                out[r * v.cols + i] =
                    static_cast<double>(simd::fused_and_popcount_dispatch(ws.run(r * k.rows, k.rows), vs.run(i * k.rows, k.rows))) / len;
    });
    return out;
}

}  // namespace attention
