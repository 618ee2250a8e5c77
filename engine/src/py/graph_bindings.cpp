// StochasticGraphLayer.
#include "bindings.hpp"
#include "graph.hpp"
#include "matrix.hpp"

namespace py {

using graph::CsrMatrix;
using graph::StochasticGraphLayer;

namespace {

// The adjacency as the constructors take it: a square matrix.
FlatMatrix square_adjacency(Obj adj_matrix) {
    FlatMatrix m = extract_matrix_f64(adj_matrix.ptr, "adj_matrix");
    if (m.rows != m.cols)
        throw engine::Error("adj_matrix must be square, got " + std::to_string(m.rows) + "x" + std::to_string(m.cols) + ".");
    return m;
}

// Node features of the layer's shape, read after the method's other arguments.
std::vector<double> node_features_of(const StochasticGraphLayer& l, Obj node_features) {
    FlatMatrix m = extract_matrix_f64(node_features.ptr, "node_features");
    if (m.rows != l.n_nodes || m.cols != l.n_features)
        throw engine::Error("Expected node_features shape (" + std::to_string(l.n_nodes) + ", " +
                            std::to_string(l.n_features) + "), got (" + std::to_string(m.rows) + ", " +
                            std::to_string(m.cols) + ").");
    return std::move(m.values);
}

// Arguments are converted in parameter order, and the matrix is taken as a plain object, so
// n_features and seed are converted before the matrix is read.
StochasticGraphLayer make_layer(Obj adj_matrix, std::size_t n_features, uint64_t seed) {
    FlatMatrix m = square_adjacency(adj_matrix);
    return StochasticGraphLayer::make(std::move(m.values), m.rows, n_features, seed);
}

RowList forward(const StochasticGraphLayer& l, Obj node_features) {
    return {l.forward(node_features_of(l, node_features)), l.n_nodes, l.n_features};
}

RowList forward_sc(const StochasticGraphLayer& l, Obj node_features, std::size_t length, uint64_t seed) {
    return {l.forward_sc(node_features_of(l, node_features), length, seed), l.n_nodes, l.n_features};
}

Ref from_sparse(std::vector<std::size_t> row_offsets, std::vector<std::size_t> col_indices, std::vector<double> values,
                std::size_t n_nodes, std::size_t n_features, uint64_t seed) {
    CsrMatrix csr = CsrMatrix::make(std::move(row_offsets), std::move(col_indices), std::move(values), n_nodes, n_nodes);
    return make(StochasticGraphLayer::new_sparse(std::move(csr), n_features, seed));
}

Ref from_dense_auto(Obj adj_matrix, std::size_t n_features, uint64_t seed, double density_threshold) {
    FlatMatrix m = square_adjacency(adj_matrix);
    return make(StochasticGraphLayer::from_dense_auto(std::move(m.values), m.rows, n_features, seed, density_threshold));
}

}  // namespace

Ref stochastic_graph_layer_class() {
    return Class<StochasticGraphLayer>("StochasticGraphLayer")
        .init<&make_layer>({arg("adj_matrix"), arg("n_features"), arg("seed", 42)})
        .def<&forward>("forward", {arg("node_features")})
        .def<&forward_sc>("forward_sc", {arg("node_features"), arg("length", 1024), arg("seed", 44257)})
        .def_static<&from_sparse>("from_sparse",
                                  {arg("row_offsets"), arg("col_indices"), arg("values"), arg("n_nodes"),
                                   arg("n_features"), arg("seed", 42)},
                                  "Construct from CSR arrays (row_offsets, col_indices, values).")
        .def_static<&from_dense_auto>("from_dense_auto",
                                      {arg("adj_matrix"), arg("n_features"), arg("seed", 42),
                                       arg("density_threshold", 0.3)},
                                      "Dense adjacency with automatic CSR conversion if density < threshold.")
        .def<[](const StochasticGraphLayer& l) { return l.is_sparse(); }>("is_sparse")
        .def<[](const StochasticGraphLayer& l) { return l.weights; }>("get_weights")
        .def<[](StochasticGraphLayer& l, std::vector<double> weights) { l.set_weights(std::move(weights)); }>(
            "set_weights", {arg("weights")})
        .build();
}

}  // namespace py
