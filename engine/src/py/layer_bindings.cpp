// DenseLayer.
#include "bindings.hpp"
#include "layer.hpp"
#include "numpy.hpp"

namespace py {

using layer::DenseLayer;

namespace {

std::vector<double> prepacked(const DenseLayer& l, Obj packed_inputs) {
    if (auto arr = try_load<np::Array<uint64_t, 2>>(packed_inputs.ptr)) {
        // Any strides: each row is copied by its logical index.
        return l.forward_prepacked(np::rows_of(arr->view()));
    }
    auto rows = try_load<std::vector<std::vector<uint64_t>>>(packed_inputs.ptr);
    if (!rows) throw engine::Error("packed_inputs must be a 2-D numpy uint64 array or list[list[int]].");
    return l.forward_prepacked(*rows);
}

Ref batch(const DenseLayer& l, np::Array<double, 2> inputs, uint64_t seed) {
    constexpr const char* kPrefix = "Array not contiguous: ";
    auto v = inputs.view();
    if (v.dim(1) != l.n_inputs)
        throw engine::Error("Expected " + std::to_string(l.n_inputs) + " input features, got " +
                            std::to_string(v.dim(1)) + ".");
    v.require_in_place(kPrefix);  // before the output exists
    // The output is allocated by NumPy before the input is read; the allocation can run
    // Python code, so the input is viewed again afterwards and must still fit the output.
    const std::size_t rows = v.dim(0);
    Ref out = np::zeros_of<double>(rows, l.n_neurons);
    v = inputs.view();
    if (v.dim(0) != rows || v.dim(1) != l.n_inputs)
        throw engine::Error("inputs changed shape during the call.");
    const np::RowMajor<double> m = np::row_major(v, kPrefix);
    l.forward_batch_into(m.span(), m.rows, seed, {np::data_of<double>(out), m.rows * l.n_neurons});
    return out;
}

Ref prepacked_numpy(const DenseLayer& l, np::Array<uint64_t, 2> packed_inputs) {
    const np::RowMajor<uint64_t> m = np::row_major(packed_inputs.view(), "Array not contiguous: ");
    return np::array(l.forward_prepacked_2d(m.span(), m.rows, m.cols));
}

}  // namespace

Ref dense_layer_class() {
    const std::vector<Arg> input_seed = {arg("input_values"), arg("seed", 44257)};
    return Class<DenseLayer>("DenseLayer")
        .init<[](std::size_t n_inputs, std::size_t n_neurons, std::size_t length, uint64_t seed) {
            return DenseLayer::make(n_inputs, n_neurons, length, seed);
        }>({arg("n_inputs"), arg("n_neurons"), arg("length", 1024), arg("seed", 24301)})
        .def<[](const DenseLayer& l, std::vector<double> x, uint64_t seed) { return l.forward(x, seed); }>(
            "forward", input_seed)
        .def<[](const DenseLayer& l, std::vector<double> x, uint64_t seed) { return l.forward_fused(x, seed); }>(
            "forward_fast", input_seed)
        .def<[](const DenseLayer& l, np::Array<double, 1> x, uint64_t seed) {
            return np::array(l.forward_fused(x.slice("Cannot read input array: "), seed));
        }>("forward_numpy", input_seed,
           "Dense forward accepting numpy input and returning numpy output.\n\n"
           "This performs parallel encoding + parallel compute in one FFI call.")
        .def<&batch>("forward_batch_numpy", {arg("inputs"), arg("seed", 44257)},
                     "Dense forward for a batch of input samples in one FFI call.\n\n"
                     "`inputs` must be a contiguous float64 array of shape (n_samples, n_inputs).\n"
                     "Returns float64 array of shape (n_samples, n_neurons).")
        .def<&prepacked>("forward_prepacked", {arg("packed_inputs")},
                         "Forward pass with pre-packed input bitstreams.\n\n"
                         "Accepts either:\n- 2-D numpy array of dtype uint64 with shape (n_inputs, words)\n"
                         "- list[list[int]]")
        .def<&prepacked_numpy>("forward_prepacked_numpy", {arg("packed_inputs")},
                               "Dense forward with pre-packed numpy 2-D input (true zero-copy).\n\n"
                               "Accepts a contiguous numpy uint64 array of shape (n_inputs, words).\n"
                               "This avoids all row-copying that the `forward_prepacked` method does.")
        .def<[](const DenseLayer& l) { return l.weights; }>("get_weights")
        .def<[](DenseLayer& l, std::vector<std::vector<double>> w) { l.set_weights(std::move(w)); }>(
            "set_weights", {arg("weights")})
        .def<&DenseLayer::refresh_packed_weights>("refresh_packed_weights")
        .build();
}

}  // namespace py
