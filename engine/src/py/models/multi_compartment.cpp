// Models of the multi_compartment family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/multi_compartment.hpp"

namespace py {

using namespace neurons::multi_compartment;

SC_BLOCK(multi_compartment) {
    SC_MODEL(PinskyRinzelNeuron, step("current_soma", arg("current_dend", 0.0)), state(v_s, v_d));
    SC_MODEL(HayL5PyramidalNeuron, step("current_soma", arg("current_tuft", 0.0)), state(v_s, v_t, v_a));
    SC_MODEL(MarderSTGNeuron, state(v, ca));
    SC_MODEL(RallCableNeuron, state_as(v, voltages));
    SC_MODEL(BoothRinzelNeuron, state(vs, vd, ca));
    SC_MODEL(DendrifyNeuron, state(v_s, v_d));
    SC_MODEL(TwoCompartmentLIFNeuron, step("i_soma", arg("i_dend", 0.0)), state(v_s, v_d));
}

}  // namespace py
