// The threshold logic unit, then the rate, transfer, synapse and buffer-holding models of the
// rate family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/rate.hpp"

namespace py {

using namespace neurons::rate;

// Registered between the hardware block and the rate block.
SC_BLOCK(mcculloch_pitts) { SC_MODEL(McCullochPittsNeuron, step("weighted_input"), no_state); }

SC_BLOCK(rate) {
    SC_MODEL(SigmoidRateNeuron, state(r));
    SC_MODEL(ThresholdLinearRateNeuron, no_state);
    SC_MODEL(AstrocyteModel, state(ca, h, ip3));
    SC_MODEL(TsodyksMarkramNeuron, step("current", arg("presynaptic_spike", false)), state(v, x, u));
    SC_MODEL(LiquidTimeConstantNeuron, state(x));
    SC_MODEL(CompteWMNeuron, step("current", arg("spike_in", false)), state(v, s_nmda));
    SC_MODEL(SiegertTransferFunction, no_state);
    SC_MODEL(FractionalLIFNeuron, state(v));
    SC_MODEL(ParallelSpikingNeuron, no_state);
    SC_MODEL(AmariNeuralField, step("input"), array_get_state(u));
    SC_MODEL(LeakyCompeteFireNeuron, step("currents"), state(v));
}

}  // namespace py
