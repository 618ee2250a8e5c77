// Models of the hardware family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/hardware.hpp"

namespace py {

using namespace neurons::hardware;

SC_BLOCK(hardware) {
    SC_MODEL(LoihiCUBANeuron, step("weighted_input"), state(v, u));
    SC_MODEL(Loihi2Neuron, step("weighted_input"), state(s1, s2, s3));
    SC_MODEL(TrueNorthNeuron, step("weighted_input"), state(v));
    SC_MODEL(BrainScaleSAdExNeuron, state(v, w));
    SC_MODEL(SpiNNakerLIFNeuron, state(v, refrac_count));
    SC_MODEL(SpiNNaker2Neuron, state(v));
    SC_MODEL(DPINeuron, state(i_mem));
    SC_MODEL(AkidaNeuron, step("weight"), state(v, rank));
    SC_MODEL(NeuroGridNeuron, state(v_s, v_d));
}

}  // namespace py
