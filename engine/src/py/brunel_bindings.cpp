// BrunelNetwork.
#include "bindings.hpp"
#include "brunel.hpp"
#include "model.hpp"
#include "numpy.hpp"

namespace py {

using brunel::BrunelNetwork;

namespace {

BrunelNetwork new_network(std::size_t n_neurons, np::Array<int64_t, 1> w_indptr, np::Array<int64_t, 1> w_indices,
                          np::Array<int16_t, 1> w_data, int16_t leak_k, int16_t gain_k, double ext_lambda,
                          int16_t ext_weight_fp, uint32_t data_width, uint32_t fraction, int16_t v_rest,
                          int16_t v_reset, int16_t v_threshold, int32_t refractory_period, uint64_t seed) {
    // No Python code runs between these views and the copies the engine makes of them.
    const auto indptr = w_indptr.slice("Cannot read w_indptr: ");
    const auto indices = w_indices.slice("Cannot read w_indices: ");
    const auto data = w_data.slice("Cannot read w_data: ");
    return BrunelNetwork::make(n_neurons, indptr, indices, data, leak_k, gain_k, ext_lambda, ext_weight_fp,
                               data_width, fraction, v_rest, v_reset, v_threshold, refractory_period, seed);
}

Ref run_network(BrunelNetwork& net, std::size_t n_steps) {
    Ref counts = np::zeros_of<uint32_t>(n_steps);
    net.run_into({np::data_of<uint32_t>(counts), n_steps});
    return counts;
}

}  // namespace

Ref brunel_network_class() {
    std::vector<Arg> args = ctor_args<neuron::FixedPointLif>({"n_neurons", "w_indptr", "w_indices", "w_data",
                                                              "leak_k", "gain_k", "ext_lambda", "ext_weight_fp"});
    args.push_back(arg("seed", 42));
    return Class<BrunelNetwork>("BrunelNetwork")
        .init<&new_network>(std::move(args))
        .def<&run_network>("run", {arg("n_steps")})
        .build();
}

}  // namespace py
