// FixedPointLif and the classic point neurons, each added by the module body at its own place.
#include "bindings.hpp"
#include "model.hpp"
#include "neuron.hpp"

namespace py {

using namespace neuron;

SC_MODEL_CLASS(FixedPointLif, step("leak_k", "gain_k", "i_t", arg("noise_in", 0)), state(v, refractory_counter),
               alias(reset_state, reset))
SC_MODEL_CLASS(Izhikevich, state(v, u), alias(reset_state, reset))
SC_MODEL_CLASS(AdExNeuron, state(v, w))
SC_MODEL_CLASS(ExpIFNeuron, state(v))
SC_MODEL_CLASS(LapicqueNeuron, state(v))

}  // namespace py
