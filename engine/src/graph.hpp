// The stochastic graph layer: one graph convolution over a fixed dense or CSR adjacency,
// tanh(D^-1 A X W), in a float form and a bitstream form.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

namespace graph {

// Entries of row r are those at positions row_offsets[r] up to, not including,
// row_offsets[r + 1]; a row whose end is not above its start is empty.
struct CsrMatrix {
    std::vector<std::size_t> row_offsets;  // n_rows + 1 entries
    std::vector<std::size_t> col_indices;
    std::vector<double> values;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;

    // Checks, in order: the offset count, equal index and value counts, offsets not empty, and
    // the last offset against the entry count (engine::Error on the first failure). Offsets in
    // between and the column indices are not checked here: each is checked where it is read.
    static CsrMatrix make(std::vector<std::size_t> row_offsets, std::vector<std::size_t> col_indices,
                          std::vector<double> values, std::size_t n_rows, std::size_t n_cols);
};

// n_nodes x n_nodes, row-major: entry (i, j) weighs node j's features in node i's aggregate.
struct DenseAdjacency {
    std::vector<double> values;
    std::size_t nonzeros = 0;  // entries that are not 0
    // Those entries in CSR form, kept when they are at most half of all: a zero entry adds a
    // signed zero to its sum unless the neighbour's features are infinite or NaN, so with
    // finite features the float pass reads only these, with the same result.
    std::optional<CsrMatrix> nonzero_entries;
};

using AdjStorage = std::variant<DenseAdjacency, CsrMatrix>;

// F x F uniform draws in [0, 1) from a ChaCha8 seeded with seed, in storage order.
std::vector<double> random_weights(std::size_t n_features, uint64_t seed);

struct StochasticGraphLayer {
    std::vector<double> weights;  // W[j][i] at j * F + i maps input feature j to output feature i
    std::vector<double> degrees;  // row sums of the adjacency as built
    AdjStorage adj;
    std::size_t n_nodes = 0;
    std::size_t n_features = 0;

    // Dense adjacency of n_nodes * n_nodes values (another count stops the call).
    static StochasticGraphLayer make(std::vector<double> adjacency, std::size_t n_nodes, std::size_t n_features,
                                     uint64_t seed);
    // CSR adjacency; a matrix that is not square is an engine::Error. An offset past the entries
    // stops the call when the degrees are summed.
    static StochasticGraphLayer new_sparse(CsrMatrix csr, std::size_t n_features, uint64_t seed);
    // CSR when density_threshold is above the share of entries that are not within 1e-15 of 0
    // (NaN entries count and are kept), dense otherwise.
    static StochasticGraphLayer from_dense_auto(std::vector<double> adjacency, std::size_t n, std::size_t n_features,
                                                uint64_t seed, double density_threshold);

    bool is_sparse() const { return std::holds_alternative<CsrMatrix>(adj); }

    // n_nodes x F row-major in and out. A CSR column index of n_nodes or more stops the call.
    std::vector<double> forward(std::span<const double> node_features) const;
    std::vector<double> forward_sc(std::span<const double> node_features, std::size_t length, uint64_t seed) const;

    void set_weights(std::vector<double> new_weights);
};

}  // namespace graph
