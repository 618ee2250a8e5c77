// Spiking models of the simple_spiking family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/simple_spiking.hpp"

namespace py {

using namespace neurons::simple_spiking;

SC_BLOCK(simple_spiking) {
    SC_MODEL(FitzHughNagumoNeuron, state(v, w));
    SC_MODEL(MorrisLecarNeuron, state(v, w));
    SC_MODEL(HindmarshRoseNeuron, state(x, y, z));
    SC_MODEL(ResonateAndFireNeuron, state(x, y));
    SC_MODEL(FitzHughRinzelNeuron, state(v, w, y));
    SC_MODEL(McKeanNeuron, state(v, w));
    SC_MODEL(TermanWangOscillator, state(v, w));
    SC_MODEL(BendaHerzNeuron, state(a));
    SC_MODEL(AlphaNeuron, step("exc_current", arg("inh_current", 0.0)), state(v, i_exc, i_inh));
    SC_MODEL(COBALIFNeuron, step("current", arg("delta_ge", 0.0), arg("delta_gi", 0.0)), state(v, g_e, g_i));
    SC_MODEL(GutkinErmentroutNeuron, state(v, n));
    SC_MODEL(WilsonHRNeuron, state(v, r));
    SC_MODEL(ChayNeuron, state(v, n, ca));
    SC_MODEL(ChayKeizerNeuron, state(v, n, ca));
    SC_MODEL(ShermanRinzelKeizerNeuron, state(v, n, s));
    SC_MODEL(ButeraRespiratoryNeuron, state(v, n, h_nap));
    SC_MODEL(EPropALIFNeuron, state(v, a, e_trace));
    SC_MODEL(SuperSpikeNeuron, state(v, trace));
    SC_MODEL(LearnableNeuronModel, state(v));
    SC_MODEL(PernarowskiNeuron, state(v, w, z));
}

}  // namespace py
