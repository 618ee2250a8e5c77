// Integrate-and-fire models of the trivial family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/trivial.hpp"

namespace py {

using namespace neurons::trivial;

SC_BLOCK(trivial) {
    SC_MODEL(QuadraticIFNeuron, state(v));
    SC_MODEL(ThetaNeuron, state(theta));
    SC_MODEL(PerfectIntegratorNeuron, state(v));
    SC_MODEL(GatedLIFNeuron, state(v));
    SC_MODEL(NonlinearLIFNeuron, state(v, w));
    SC_MODEL(SFANeuron, state(v, g_sfa));
    SC_MODEL(MATNeuron, state(v, theta1, theta2));
    SC_MODEL(EscapeRateNeuron, state(v));
    SC_MODEL(KLIFNeuron, state(v));
    SC_MODEL(InhibitoryLIFNeuron, state(v, inh_trace));
    SC_MODEL(ComplementaryLIFNeuron, state(v_pos, v_neg));
    SC_MODEL(ParametricLIFNeuron, state(v));
    SC_MODEL(NonResettingLIFNeuron, state(v, theta));
    SC_MODEL(AdaptiveThresholdIFNeuron, state(v, theta));
    SC_MODEL(SigmaDeltaNeuron, state(sigma));
    SC_MODEL(EnergyLIFNeuron, state(v, epsilon));
    SC_MODEL(IntegerQIFNeuron, state(v));
    SC_MODEL(ClosedFormContinuousNeuron, state(x));
}

}  // namespace py
