// Spiking models of the simple_spiking family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/simple_spiking.hpp"

namespace py {

using namespace neurons::simple_spiking;

SC_BLOCK(simple_spiking) {
    SC_MODEL(BendaHerzNeuron, state(a));
    SC_MODEL(AlphaNeuron, step("exc_current", arg("inh_current", 0.0)), state(v, i_exc, i_inh));
    SC_MODEL(COBALIFNeuron, step("current", arg("delta_ge", 0.0), arg("delta_gi", 0.0)), state(v, g_e, g_i));
}

}  // namespace py
