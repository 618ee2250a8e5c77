// NetworkRunner and py_batch_simulate.
#include "bindings.hpp"
#include "network_runner.hpp"
#include "numpy.hpp"

namespace py {

using network_runner::NetworkRunner;

namespace {

std::size_t add_population(NetworkRunner& r, const std::string& model, std::size_t n) {
    return r.add_population(network_runner::create_population(model, n));
}

void add_projection(NetworkRunner& r, std::size_t src, std::size_t tgt, std::vector<std::size_t> row_offsets,
                    std::vector<std::size_t> col_indices, std::vector<double> values, std::size_t delay) {
    r.add_projection(network_runner::ProjectionRunner(src, tgt, std::move(row_offsets), std::move(col_indices),
                                                      std::move(values), delay));
}

Ref arrays(std::vector<std::vector<uint64_t>>& v) {
    return Ref::check(list_by(v.size(), [&](std::size_t i) { return np::array(std::move(v[i])).release(); }));
}
Ref arrays(std::vector<std::vector<double>>& v) {
    return Ref::check(list_by(v.size(), [&](std::size_t i) { return np::array(std::move(v[i])).release(); }));
}

Ref run(NetworkRunner& r, uint64_t n_steps) {
    network_runner::RunResult out = r.run(n_steps);
    DictBuilder d;
    d.set("spike_counts", np::array(std::move(out.spike_counts)))
        .set("spike_data", arrays(out.spike_data))
        .set("voltages", arrays(out.voltages));
    return std::move(d.dict);
}

Ref batch_simulate(const std::string& model_name, uint64_t n_steps, np::Array<double, 1> current_trace) {
    network_runner::NeuronVariant neuron = network_runner::create_neuron(model_name);
    const std::span<const double> trace = current_trace.slice_or_type_error();
    network_runner::BatchResult out = network_runner::batch_simulate(std::move(neuron), n_steps, trace);
    DictBuilder d;
    d.set("voltages", np::array(std::move(out.voltages)))
        .set("spikes", np::array(std::move(out.spikes)))
        .set("n_steps", out.n_steps);
    return std::move(d.dict);
}

}  // namespace

Ref network_runner_class() {
    return Class<NetworkRunner>("NetworkRunner")
        .init<[] { return NetworkRunner(); }>()
        .def<&add_population>("add_population", {"model", "n"})
        .def<&add_projection>("add_projection",
                              {"src", "tgt", "row_offsets", "col_indices", "values", arg("delay", 0)})
        .def<&run>("run", {"n_steps"})
        .def_static<[] { return network_runner::supported_models(); }>("supported_models")
        .build();
}

Ref batch_simulate_function() {
    return function<&batch_simulate>("py_batch_simulate", {"model_name", "n_steps", "current_trace"},
                                     "Run a named neuron model for n_steps with a current trace, returning\n"
                                     "voltage trace + spike indices. Entire simulation in Native.");
}

}  // namespace py
