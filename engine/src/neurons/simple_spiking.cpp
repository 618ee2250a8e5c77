#include "neurons/simple_spiking.hpp"

namespace neurons::simple_spiking {

// Resets restore state only; parameters are never touched.

void AlphaNeuron::reset() {
    v = v_rest;
    i_exc = 0.0;
    i_inh = 0.0;
}

void COBALIFNeuron::reset() {
    v = E_L;
    g_e = 0.0;
    g_i = 0.0;
}

}  // namespace neurons::simple_spiking
