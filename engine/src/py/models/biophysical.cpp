// Conductance-based, burster and generalized integrate-and-fire models of the biophysical
// family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/biophysical.hpp"

namespace py {

using namespace neurons::biophysical;

SC_BLOCK(biophysical) {
    SC_MODEL(HodgkinHuxleyNeuron, state(v, m, h, n));
    SC_MODEL(TraubMilesNeuron, state(v, m, h, n));
    SC_MODEL(WangBuzsakiNeuron, state(v, h, n));
    SC_MODEL(ConnorStevensNeuron, state(v, m, h, n, a, b));
    SC_MODEL(DestexheThalamicNeuron, state(v, h_na, n_k, m_t, h_t));
    SC_MODEL(HuberBraunNeuron, state(v, a_sd, a_sr));
    SC_MODEL(GolombFSNeuron, state(v, h, n, p));
    SC_MODEL(PospischilNeuron, state(v, m, h, n, p));
    SC_MODEL(MainenSejnowskiNeuron, state(vs, va, m, h, n));
    SC_MODEL(DeSchutterPurkinjeNeuron, state(v, h_na, n_k, m_cap, h_cap, q_kca, ca));
    SC_MODEL(PlantR15Neuron, state(v, m, h, n, ca));
    SC_MODEL(PrescottNeuron, state(v, w));
    SC_MODEL(MihalasNieburNeuron, state(v, theta, i1, i2));
    SC_MODEL(GLIFNeuron, state(v, theta, i_asc1, i_asc2));
    SC_MODEL(GIFPopulationNeuron, state(v, theta, eta));
    SC_MODEL(AvRonCardiacNeuron, state(v, h, n, s));
    SC_MODEL(DurstewitzDopamineNeuron, state(v, h_na, n_k));
    SC_MODEL(HillTononiNeuron, state(v, h_na, n_k, m_h, h_t, na_i));
    SC_MODEL(BertramPhantomBurster, state(v, s1, s2));
    SC_MODEL(YamadaNeuron, state(v, n, q));
}

}  // namespace py
