// batch_lif_run, batch_lif_run_multi and batch_lif_run_varying.
#include "batch_lif.hpp"
#include "bindings.hpp"
#include "model.hpp"
#include "numpy.hpp"

namespace py {

using batch_lif::Gains;

namespace {

using Currents = np::Array<int16_t, 1>;

// The outputs of a run: spikes and membrane values of one shape, zero-filled by NumPy.
struct Outputs {
    Ref spikes, voltages;
    std::size_t size;

    template <class... N>
    explicit Outputs(N... shape)
        : spikes(np::zeros_of<int32_t>(shape...)),
          voltages(np::zeros_of<int16_t>(shape...)),
          size((static_cast<std::size_t>(shape) * ...)) {}

    std::span<int32_t> spike_span() const { return {np::data_of<int32_t>(spikes), size}; }
    std::span<int16_t> voltage_span() const { return {np::data_of<int16_t>(voltages), size}; }
    std::tuple<Ref, Ref> result() { return {std::move(spikes), std::move(voltages)}; }
};

Gains gains(int16_t leak_k, int16_t gain_k) { return {leak_k, gain_k}; }

std::tuple<Ref, Ref> run(std::size_t n_steps, int16_t leak_k, int16_t gain_k, int16_t i_t, int16_t noise_in,
                         uint32_t data_width, uint32_t fraction, int16_t v_rest, int16_t v_reset,
                         int16_t v_threshold, int32_t refractory_period) {
    Outputs out(n_steps);
    batch_lif::run_constant({data_width, fraction, v_rest, v_reset, v_threshold, refractory_period},
                            gains(leak_k, gain_k), i_t, noise_in, out.spike_span(), out.voltage_span());
    return out.result();
}

std::span<const int16_t> multi_currents(const Currents& currents, std::size_t n_neurons) {
    const auto c = currents.slice("Cannot read currents: ");
    if (c.size() != n_neurons)
        throw engine::Error("currents length " + std::to_string(c.size()) + " does not match n_neurons " +
                            std::to_string(n_neurons) + ".");
    return c;
}

std::tuple<Ref, Ref> run_multi(std::size_t n_neurons, std::size_t n_steps, int16_t leak_k, int16_t gain_k,
                               Currents currents, uint32_t data_width, uint32_t fraction, int16_t v_rest,
                               int16_t v_reset, int16_t v_threshold, int32_t refractory_period) {
    multi_currents(currents, n_neurons);  // the messages come before any allocation
    Outputs out(n_neurons, n_steps);
    // The allocation may have run Python code: the input is read through a new view.
    const auto c = multi_currents(currents, n_neurons);
    batch_lif::run_multi({data_width, fraction, v_rest, v_reset, v_threshold, refractory_period},
                         gains(leak_k, gain_k), c, n_steps, out.spike_span(), out.voltage_span());
    return out.result();
}

struct VaryingInputs {
    std::span<const int16_t> currents, noises;
};

VaryingInputs varying_inputs(const Currents& currents, const std::optional<Currents>& noises) {
    VaryingInputs in;
    in.currents = currents.slice("Cannot read currents: ");
    if (noises) {
        in.noises = noises->slice("Cannot read noises: ");
        if (in.noises.size() != in.currents.size())
            throw engine::Error("noises length " + std::to_string(in.noises.size()) +
                                " does not match currents length " + std::to_string(in.currents.size()) + ".");
    }
    return in;
}

std::tuple<Ref, Ref> run_varying(int16_t leak_k, int16_t gain_k, Currents currents, std::optional<Currents> noises,
                                 uint32_t data_width, uint32_t fraction, int16_t v_rest, int16_t v_reset,
                                 int16_t v_threshold, int32_t refractory_period) {
    const std::size_t n = varying_inputs(currents, noises).currents.size();
    Outputs out(n);
    const VaryingInputs in = varying_inputs(currents, noises);
    if (in.currents.size() != n) throw engine::Error("currents changed shape during the call.");
    batch_lif::run_varying({data_width, fraction, v_rest, v_reset, v_threshold, refractory_period},
                           gains(leak_k, gain_k), in.currents, in.noises, out.spike_span(), out.voltage_span());
    return out.result();
}

}  // namespace

Ref batch_lif_run_function() {
    return function<&run>("batch_lif_run",
                          ctor_args<neuron::FixedPointLif>(
                              {arg("n_steps"), arg("leak_k"), arg("gain_k"), arg("i_t"), arg("noise_in", 0)}),
                          "Run a LIF neuron for N steps with constant inputs.\n\n"
                          "Returns (spikes: ndarray[i32], voltages: ndarray[i16]).");
}

Ref batch_lif_run_multi_function() {
    return function<&run_multi>(
        "batch_lif_run_multi",
        ctor_args<neuron::FixedPointLif>(
            {arg("n_neurons"), arg("n_steps"), arg("leak_k"), arg("gain_k"), arg("currents")}),
        "Run N independent LIF neurons in parallel, each with its own constant input.\n\n"
        "Returns (spikes: ndarray[i32, (n_neurons, n_steps)],\n"
        "         voltages: ndarray[i16, (n_neurons, n_steps)]).");
}

Ref batch_lif_run_varying_function() {
    return function<&run_varying>(
        "batch_lif_run_varying",
        ctor_args<neuron::FixedPointLif>({arg("leak_k"), arg("gain_k"), arg("currents"), arg("noises", None)}),
        "Run a LIF neuron for N steps with per-step current and optional noise arrays.");
}

}  // namespace py
