// Stochastic attention of queries Q over keys K and values V: linear, softmax, multi-head and
// bitstream forms. Matrices are row-major flat buffers with their shapes; every result has
// one row per query and one column per value column.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace attention {

struct MatrixRef {
    std::span<const double> data;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// The single-head checks in order (engine::Error on the first failure): Q and K columns,
// K and V rows, then each data length against rows * cols.
void validate_shapes(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v);
// n_heads > 0, every column count divisible by n_heads, the data lengths, equal Q and K head
// widths. The K/V row check is left to the heads.
void validate_multihead_shapes(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v, std::size_t n_heads);
// Columns h * width up to (h + 1) * width of every row, as a rows x width matrix.
std::vector<double> extract_head_columns(const MatrixRef& m, std::size_t h, std::size_t width);

struct StochasticAttention {
    std::size_t dim_k = 0;
    double temperature = 1.0;

    // Without a temperature it is sqrt(dim_k).
    static StochasticAttention make(std::size_t dim_k, std::optional<double> temperature);

    // Dot-product scores divided by their row sum (a zero sum leaves them undivided).
    std::vector<double> forward(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v) const;
    // softmax(Q K^T / temperature) V; a temperature that is not above 0 scales by 1.
    std::vector<double> forward_softmax(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v) const;
    // The column blocks of each head through the form above, heads side by side.
    std::vector<double> forward_multihead(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v,
                                          std::size_t n_heads) const;
    std::vector<double> forward_multihead_softmax(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v,
                                                  std::size_t n_heads) const;
    // Scores and products from AND-ed Bernoulli streams of `length` bits on one ChaCha8.
    std::vector<double> forward_sc(const MatrixRef& q, const MatrixRef& k, const MatrixRef& v, std::size_t length,
                                   uint64_t seed) const;
};

}  // namespace attention
