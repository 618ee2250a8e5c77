#include "graph.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "chunked.hpp"
#include "error.hpp"
#include "rng.hpp"
#include "simd/kernels.hpp"
#include "stream_matrix.hpp"

namespace graph {
namespace {

using stream_matrix::Layout;

std::string num(std::size_t v) { return std::to_string(v); }

// Costs on the calling thread, measured on AVX-512 and used to decide which loops go to the
// pool: one element of a weighted row sum, one scanned dense entry, one tanh, one AND popcount
// call and one word of it.
constexpr double kCombineNs = 0.07, kScanNs = 0.5, kTanhNs = 10.0, kCountNs = 5.0, kCountWordNs = 0.1;
// Nodes whose outputs are computed together.
constexpr std::size_t kNodeBlock = 64;

// a * b when it fits; otherwise (the wrapped value and) no match with any length.
void check_square_length(std::size_t len, std::size_t n) {
    std::size_t nn;
    if (!engine::length_is_product(len, n, n, nn)) engine::panic_eq("adj_flat must have length n_nodes * n_nodes", len, nn);
}

void check_features(const StochasticGraphLayer& l, std::size_t got) {
    std::size_t want;
    if (!engine::length_is_product(got, l.n_nodes, l.n_features, want))
        throw engine::Error("node_features length mismatch: got " + num(got) + ", expected " + num(want) + ".");
}

struct Range {
    std::size_t begin, end;
};

// The entries of row r, with both offsets read checked.
Range row_range(const CsrMatrix& m, std::size_t r) {
    const std::size_t b = engine::at(m.row_offsets, r), e = engine::at(m.row_offsets, r + 1);
    return {b, e > b ? e : b};
}

// Checks every entry of a row before any of them is used: its value exists and its column
// names a node.
void check_entries(const CsrMatrix& m, Range r, std::size_t n_nodes) {
    if (r.end > m.values.size()) engine::panic_index(std::max(r.begin, m.values.size()), m.values.size());
    for (std::size_t k = r.begin; k < r.end; ++k) {
        const std::size_t j = engine::at(m.col_indices, k);
        if (j >= n_nodes) engine::panic_index(j, n_nodes);
    }
}

std::vector<double> csr_degrees(const CsrMatrix& m) {
    std::vector<double> d(m.n_rows);
    for (std::size_t r = 0; r < m.n_rows; ++r) {
        const Range e = row_range(m, r);
        double s = 0.0;
        for (std::size_t k = e.begin; k < e.end; ++k) s = s + engine::at(m.values, k);
        d[r] = s;
    }
    return d;
}

bool kept(double v) { return !(std::fabs(v) <= 1e-15); }

// No infinity and no NaN: no exponent field of all ones.
bool all_finite(std::span<const double> v) {
    uint64_t bad = 0;
    for (double d : v) {
        uint64_t b;
        std::memcpy(&b, &d, sizeof b);
        bad |= (~b & 0x7FF0000000000000ull) == 0;
    }
    return bad == 0;
}

void divide_by_degree(std::span<double> row, double degree) {
    if (degree != 0.0) simd::divide_f64_dispatch(row, degree);
}

// The entries of the row-major n x n matrix a that keep accepts (count of them), row by row.
template <class Keep>
CsrMatrix csr_of(const std::vector<double>& a, std::size_t n, std::size_t count, Keep keep) {
    CsrMatrix m;
    m.n_rows = m.n_cols = n;
    m.row_offsets.reserve(n + 1);
    m.row_offsets.push_back(0);
    m.col_indices.reserve(count);
    m.values.reserve(count);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double v = a[i * n + j];
            if (keep(v)) {
                m.col_indices.push_back(j);
                m.values.push_back(v);
            }
        }
        m.row_offsets.push_back(m.col_indices.size());
    }
    return m;
}

}  // namespace

CsrMatrix CsrMatrix::make(std::vector<std::size_t> row_offsets, std::vector<std::size_t> col_indices,
                          std::vector<double> values, std::size_t n_rows, std::size_t n_cols) {
    if (row_offsets.size() != n_rows + 1)  // n_rows + 1 wraps like the count it is compared with
        throw engine::Error("row_offsets length " + num(row_offsets.size()) + " != n_rows + 1 = " + num(n_rows + 1));
    if (col_indices.size() != values.size())
        throw engine::Error("col_indices length " + num(col_indices.size()) + " != values length " + num(values.size()));
    if (row_offsets.empty()) throw engine::Error("row_offsets must not be empty");
    if (row_offsets.back() != col_indices.size())
        throw engine::Error("col_indices length " + num(col_indices.size()) + " != nnz from row_offsets " +
                            num(row_offsets.back()));
    return CsrMatrix{std::move(row_offsets), std::move(col_indices), std::move(values), n_rows, n_cols};
}

std::vector<double> random_weights(std::size_t n_features, uint64_t seed) {
    std::vector<double> w(engine::alloc_size(n_features, n_features));
    rng::ChaCha8 g(seed);
    for (double& v : w) v = g.next_f64();
    return w;
}

StochasticGraphLayer StochasticGraphLayer::make(std::vector<double> adjacency, std::size_t n_nodes,
                                                std::size_t n_features, uint64_t seed) {
    check_square_length(adjacency.size(), n_nodes);
    StochasticGraphLayer l;
    l.degrees.resize(n_nodes);
    for (std::size_t i = 0; i < n_nodes; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < n_nodes; ++j) s = s + adjacency[i * n_nodes + j];
        l.degrees[i] = s;
    }
    l.weights = random_weights(n_features, seed);
    DenseAdjacency d;
    const auto nonzero = [](double a) { return a != 0.0; };
    d.nonzeros = static_cast<std::size_t>(std::count_if(adjacency.begin(), adjacency.end(), nonzero));
    if (d.nonzeros <= adjacency.size() / 2) d.nonzero_entries = csr_of(adjacency, n_nodes, d.nonzeros, nonzero);
    d.values = std::move(adjacency);
    l.adj = std::move(d);
    l.n_nodes = n_nodes;
    l.n_features = n_features;
    return l;
}

StochasticGraphLayer StochasticGraphLayer::new_sparse(CsrMatrix csr, std::size_t n_features, uint64_t seed) {
    if (csr.n_rows != csr.n_cols)
        throw engine::Error("CSR must be square, got " + num(csr.n_rows) + "x" + num(csr.n_cols));
    StochasticGraphLayer l;
    l.degrees = csr_degrees(csr);
    l.weights = random_weights(n_features, seed);
    l.n_nodes = csr.n_rows;
    l.n_features = n_features;
    l.adj = std::move(csr);
    return l;
}

StochasticGraphLayer StochasticGraphLayer::from_dense_auto(std::vector<double> adjacency, std::size_t n,
                                                           std::size_t n_features, uint64_t seed,
                                                           double density_threshold) {
    check_square_length(adjacency.size(), n);
    std::size_t count = 0;
    for (double v : adjacency) count += kept(v);
    const double density = static_cast<double>(count) / static_cast<double>(n * n);
    if (!(density_threshold > density)) return make(std::move(adjacency), n, n_features, seed);
    return new_sparse(csr_of(adjacency, n, count, kept), n_features, seed);
}

std::vector<double> StochasticGraphLayer::forward(std::span<const double> x) const {
    check_features(*this, x.size());
    const std::size_t n = n_nodes, F = n_features;
    const auto* dense = std::get_if<DenseAdjacency>(&adj);
    const CsrMatrix* csr = std::get_if<CsrMatrix>(&adj);
    // A zero adjacency entry adds a signed zero to a sum that starts at +0.0, which changes
    // nothing, unless the neighbour's features hold an infinity or a NaN (0 * inf is NaN). With
    // finite features a dense adjacency's nonzero entries do; otherwise its rows are scanned and
    // the zero terms kept for the neighbours whose features are not all finite.
    std::vector<unsigned char> finite;
    if (dense) {
        if (dense->nonzero_entries && all_finite(x)) {
            csr = &*dense->nonzero_entries;
            dense = nullptr;
        } else {
            finite.resize(n);
            for (std::size_t j = 0; j < n; ++j) finite[j] = all_finite(x.subspan(j * F, F));
        }
    }
    const std::size_t terms = dense ? dense->nonzeros : csr->values.size();  // for the cost estimate

    std::vector<double> out(n * F);
    auto nodes = [&](std::size_t b, std::size_t e) {
        std::vector<double> coef;
        std::vector<std::size_t> cols;
        if (dense) {
            coef.resize(n);
            cols.resize(n);
        }
        // Aggregates of a block of nodes, then their outputs in one pass over the weights.
        std::vector<double> agg(std::min(e - b, kNodeBlock) * F);
        for (std::size_t i0 = b; i0 < e; i0 += kNodeBlock) {
            const std::size_t m = std::min(e - i0, kNodeBlock);
            for (std::size_t i = i0; i < i0 + m; ++i) {
                double* a = agg.data() + (i - i0) * F;
                if (dense) {
                    const double* row = dense->values.data() + i * n;
                    std::size_t k = 0;
                    for (std::size_t j = 0; j < n; ++j) {
                        coef[k] = row[j];
                        cols[k] = j;
                        k += !(row[j] == 0.0 && finite[j]);
                    }
                    simd::combine_rows_f64_dispatch({a, F, 1, coef.data(), k, cols.data(), x.data(), F});
                } else {
                    const Range r = row_range(*csr, i);
                    check_entries(*csr, r, n);
                    simd::combine_rows_f64_dispatch({a, F, 1, csr->values.data() + r.begin, r.end - r.begin,
                                                     csr->col_indices.data() + r.begin, x.data(), F});
                }
                divide_by_degree({a, F}, degrees[i]);
            }
            double* o = out.data() + i0 * F;
            simd::combine_rows_f64_dispatch({o, F, m, agg.data(), F, nullptr, weights.data(), F});
            for (std::size_t c = 0; c < m * F; ++c) o[c] = std::tanh(o[c]);
        }
    };
    const double per_node = static_cast<double>(F) * (static_cast<double>(F) * kCombineNs + kTanhNs) +
                            static_cast<double>(terms) / static_cast<double>(n ? n : 1) * F * kCombineNs +
                            (dense ? static_cast<double>(n) * kScanNs : 0.0);
    chunked::run(n, per_node, nodes, 8);  // whole groups of eight nodes for the row kernels
    return out;
}

std::vector<double> StochasticGraphLayer::forward_sc(std::span<const double> x, std::size_t length,
                                                     uint64_t seed) const {
    check_features(*this, x.size());
    if (length == 0) throw engine::Error("length must be > 0 for SC mode.");
    const std::size_t n = n_nodes, F = n_features;
    const auto* dense = std::get_if<DenseAdjacency>(&adj);
    const auto* csr = std::get_if<CsrMatrix>(&adj);
    const double len = static_cast<double>(length);
    // Serial to the caller: its loops take the pool only where that pays.
    stream_matrix::Keystream keys(seed, length);
    const std::size_t words = keys.words_per();
    const auto count = [](std::span<const uint64_t> a, std::span<const uint64_t> b) {
        return simd::fused_and_popcount_dispatch(a, b);
    };

    // Dense aggregation pairs node i's adjacency row with feature column c over all j, so the
    // feature streams are kept by column; each row and column is then one run of streams.
    const stream_matrix::Streams xs = keys.encode(x, n, F, dense ? Layout::ColumnMajor : Layout::RowMajor);
    std::vector<double> agg(n * F, 0.0);
    if (dense) {
        const stream_matrix::Streams as = keys.encode(dense->values, n, n, Layout::RowMajor);
        const double per_node = static_cast<double>(F) * (kCountNs + static_cast<double>(n * words) * kCountWordNs);
        chunked::run_if_worth(n, per_node, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                for (std::size_t c = 0; c < F; ++c)
                    agg[i * F + c] = static_cast<double>(count(as.run(i * n, n), xs.run(c * n, n))) / len;
                divide_by_degree({agg.data() + i * F, F}, degrees[i]);
            }
        });
    } else {
        // The encoder clamps each value to [0, 1] itself.
        const std::size_t nnz = csr->values.size();
        const stream_matrix::Streams vs = keys.encode(csr->values, 1, nnz, Layout::RowMajor);
        const double per_node = static_cast<double>(nnz) / static_cast<double>(n ? n : 1) * static_cast<double>(F) *
                                (kCountNs + static_cast<double>(words) * kCountWordNs);
        chunked::run_if_worth(n, per_node, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                const Range r = row_range(*csr, i);
                check_entries(*csr, r, n);
                double* a = agg.data() + i * F;
                for (std::size_t k = r.begin; k < r.end; ++k) {
                    const std::size_t j = csr->col_indices[k];
                    for (std::size_t c = 0; c < F; ++c)
                        a[c] = static_cast<double>(count(xs.run(j * F + c, 1), vs.run(k, 1))) / len + a[c];
                }
                divide_by_degree({a, F}, degrees[i]);
            }
        });
    }

    // The aggregate is encoded once complete, then the weights (kept by column: output feature
    // c pairs agg row i with weight column c).
    const stream_matrix::Streams gs = keys.encode(agg, n, F, Layout::RowMajor);
    const stream_matrix::Streams ws = keys.encode(weights, F, F, Layout::ColumnMajor);
    std::vector<double> out(n * F);
    const double per_node =
        static_cast<double>(F) * (kCountNs + static_cast<double>(F * words) * kCountWordNs + kTanhNs);
    chunked::run_if_worth(n, per_node, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
            for (std::size_t c = 0; c < F; ++c)
                out[i * F + c] = std::tanh(static_cast<double>(count(gs.run(i * F, F), ws.run(c * F, F))) / len);
    });
    return out;
}

void StochasticGraphLayer::set_weights(std::vector<double> new_weights) {
    const std::size_t want = n_features * n_features;  // fits: the weights of that size exist
    if (new_weights.size() != want)
        throw engine::Error("weights length mismatch: got " + num(new_weights.size()) + ", expected " + num(want) + ".");
    weights = std::move(new_weights);
}

}  // namespace graph
