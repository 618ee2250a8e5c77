// Stochastic generators, spike-response models and neural-mass units of the special family,
// in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/special.hpp"

namespace py {

using namespace neurons::special;

SC_BLOCK(special) {
    // rate_override: a negative value (the default) selects the stored rate.
    SC_MODEL(PoissonNeuron, step(arg("rate_override", -1.0)), no_state);
    SC_MODEL(InhomogeneousPoissonNeuron, step("rate_hz"), no_state);
    SC_MODEL(GammaRenewalNeuron, step(arg("rate_override", -1.0)), no_state);
    SC_MODEL(StochasticIFNeuron, state(v));
    SC_MODEL(GalvesLocherbachNeuron, step("weighted_input"), state(v));
    SC_MODEL(SpikeResponseNeuron, state(v, time_since_spike));
    SC_MODEL(GLMNeuron, step("stimulus"), no_state);
    SC_MODEL(WilsonCowanUnit, step(arg("ext_input", 0.0)), state(e, i));
    SC_MODEL(JansenRitUnit, step(arg("p_ext", 220.0)), state(y));
    SC_MODEL(WongWangUnit, step(arg("stim1", 0.0), arg("stim2", 0.0)), state(s1, s2));
    SC_MODEL(ErmentroutKopellPopulation, step(arg("ext_input", 0.0)), state(r, v));
    SC_MODEL(WendlingNeuron, step(arg("p_ext", 220.0)), no_state);
    SC_MODEL(LarterBreakspearNeuron, step(arg("coupling", 0.0)), state(v, w, z));
}

}  // namespace py
