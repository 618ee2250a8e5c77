// FixedPointLif and the classic point neurons.
#include "bindings.hpp"
#include "model.hpp"
#include "neuron.hpp"

namespace py {

using namespace neuron;

Ref fixed_point_lif_class() {
    return Class<FixedPointLif>("FixedPointLif")
        .init<[](uint32_t data_width, uint32_t fraction, int16_t v_rest, int16_t v_reset,
                 int16_t v_threshold, int32_t refractory_period) {
            return FixedPointLif(data_width, fraction, v_rest, v_reset, v_threshold, refractory_period);
        }>({arg("data_width", 16), arg("fraction", 8), arg("v_rest", 0), arg("v_reset", 0),
            arg("v_threshold", 256), arg("refractory_period", 2)})
        .def<&FixedPointLif::step>("step", {arg("leak_k"), arg("gain_k"), arg("i_t"), arg("noise_in", 0)})
        .def<&FixedPointLif::reset>("reset")
        .def<&FixedPointLif::reset>("reset_state")
        .SC_STATE(FixedPointLif, v, refractory_counter)
        .build();
}

Ref izhikevich_class() {
    return Class<Izhikevich>("Izhikevich")
        .init<[](double a, double b, double c, double d, double dt) { return Izhikevich(a, b, c, d, dt); }>(
            {arg("a", 0.02), arg("b", 0.2), arg("c", -65.0), arg("d", 8.0), arg("dt", 1.0)})
        .def<&Izhikevich::step>("step", current_arg())
        .def<&Izhikevich::reset>("reset")
        .def<&Izhikevich::reset>("reset_state")
        .SC_STATE(Izhikevich, v, u)
        .build();
}

Ref adex_neuron_class() {
    return model<AdExNeuron>("AdExNeuron")
        .def<&AdExNeuron::step>("step", current_arg())
        .def<&AdExNeuron::reset>("reset")
        .SC_STATE(AdExNeuron, v, w)
        .build();
}

Ref exp_if_neuron_class() {
    return model<ExpIfNeuron>("ExpIFNeuron")
        .def<&ExpIfNeuron::step>("step", current_arg())
        .def<&ExpIfNeuron::reset>("reset")
        .SC_STATE(ExpIfNeuron, v)
        .build();
}

Ref lapicque_neuron_class() {
    return Class<LapicqueNeuron>("LapicqueNeuron")
        .init<[](double tau, double resistance, double threshold, double dt) {
            return LapicqueNeuron(tau, resistance, threshold, dt);
        }>({arg("tau", 20.0), arg("resistance", 1.0), arg("threshold", 1.0), arg("dt", 1.0)})
        .def<&LapicqueNeuron::step>("step", current_arg())
        .def<&LapicqueNeuron::reset>("reset")
        .SC_STATE(LapicqueNeuron, v)
        .build();
}

}  // namespace py
