// SurrogateLif and DifferentiableDenseLayer.
#include "bindings.hpp"
#include "grad/surrogate.hpp"
#include "model.hpp"

namespace py {

using grad::surrogate::DifferentiableDenseLayer;
using grad::surrogate::SurrogateLif;

namespace {

// The surrogate's name and sharpness, last in both constructors.
Arg surrogate_arg() { return arg("surrogate", "fast_sigmoid"); }
Arg k_arg() { return arg("k", None); }

// The neuron's own constructor arguments and defaults, then the surrogate's.
std::vector<Arg> lif_args() {
    std::vector<Arg> args = ctor_args<neuron::FixedPointLif>();
    args.push_back(surrogate_arg());
    args.push_back(k_arg());
    return args;
}

SurrogateLif make_lif(uint32_t data_width, uint32_t fraction, int16_t v_rest, int16_t v_reset,
                      int16_t v_threshold, int32_t refractory_period, std::string surrogate,
                      std::optional<float> k) {
    return SurrogateLif(data_width, fraction, v_rest, v_reset, v_threshold, refractory_period,
                        grad::surrogate::parse_surrogate(surrogate, k));
}

DifferentiableDenseLayer make_dense(std::size_t n_inputs, std::size_t n_neurons, std::size_t length,
                                    uint64_t seed, std::string surrogate, std::optional<float> k) {
    // The name is checked before the sizes, so a bad name wins over a zero size.
    const auto s = grad::surrogate::parse_surrogate(surrogate, k);
    return DifferentiableDenseLayer(layer::DenseLayer::make(n_inputs, n_neurons, length, seed), s);
}

}  // namespace

Ref surrogate_lif_class() {
    return Class<SurrogateLif>("SurrogateLif")
        .init<&make_lif>(lif_args())
        .def<&SurrogateLif::forward>("forward",
                                     {arg("leak_k"), arg("gain_k"), arg("i_t"), arg("noise_in", 0)})
        .def<&SurrogateLif::backward>("backward", {arg("grad_output")})
        .def<&SurrogateLif::reset>("reset")
        .def<[](const SurrogateLif& s) { return s.trace.size(); }>("trace_len")
        .def<&SurrogateLif::clear_trace>("clear_trace")
        .build();
}

Ref differentiable_dense_layer_class() {
    return Class<DifferentiableDenseLayer>("DifferentiableDenseLayer")
        .init<&make_dense>({arg("n_inputs"), arg("n_neurons"), arg("length", 1024), arg("seed", 24301),
                            surrogate_arg(), k_arg()})
        .def<[](DifferentiableDenseLayer& l, std::vector<double> x, uint64_t seed) {
            return l.forward(x, seed);
        }>("forward", {arg("input_values"), arg("seed", 44257)})
        .def<[](const DifferentiableDenseLayer& l, std::vector<double> g) { return l.backward(g); }>(
            "backward", {arg("grad_output")})
        .def<&DifferentiableDenseLayer::update_weights>("update_weights", {arg("weight_grads"), arg("lr")})
        .def<&DifferentiableDenseLayer::clear_cache>("clear_cache")
        .def<[](const DifferentiableDenseLayer& l) { return l.layer.weights; }>("get_weights")
        .build();
}

}  // namespace py
