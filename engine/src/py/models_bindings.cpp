// The model library: one declaration per class, added by the registry in family blocks.
#include "bindings.hpp"
#include "model.hpp"
#include "neurons/simple_spiking.hpp"
#include "neurons/trivial.hpp"

namespace py {
namespace {

using namespace neurons::trivial;
using namespace neurons::simple_spiking;

// The common shape: no constructor arguments, step(current), reset, get_state.
#define SC_SIMPLE_MODEL(M, ...)                                                       \
    Ref M##_class() {                                                                 \
        return model<M>(#M).def<&M::step>("step", current_arg()).def<&M::reset>("reset") \
            .SC_STATE(M, __VA_ARGS__).build();                                        \
    }

SC_SIMPLE_MODEL(QuadraticIFNeuron, v)
SC_SIMPLE_MODEL(ThetaNeuron, theta)
SC_SIMPLE_MODEL(PerfectIntegratorNeuron, v)
SC_SIMPLE_MODEL(NonlinearLIFNeuron, v, w)
SC_SIMPLE_MODEL(SFANeuron, v, g_sfa)
SC_SIMPLE_MODEL(MATNeuron, v, theta1, theta2)
SC_SIMPLE_MODEL(NonResettingLIFNeuron, v, theta)
SC_SIMPLE_MODEL(AdaptiveThresholdIFNeuron, v, theta)
SC_SIMPLE_MODEL(EnergyLIFNeuron, v, epsilon)

Ref AlphaNeuron_class() {
    return model<AlphaNeuron>("AlphaNeuron")
        .def<&AlphaNeuron::step>("step", {arg("exc_current"), arg("inh_current", 0.0)})
        .def<&AlphaNeuron::reset>("reset")
        .SC_STATE(AlphaNeuron, v, i_exc, i_inh)
        .build();
}

Ref COBALIFNeuron_class() {
    return model<COBALIFNeuron>("COBALIFNeuron")
        .def<&COBALIFNeuron::step>("step", {arg("current"), arg("delta_ge", 0.0), arg("delta_gi", 0.0)})
        .def<&COBALIFNeuron::reset>("reset")
        .SC_STATE(COBALIFNeuron, v, g_e, g_i)
        .build();
}

struct Entry {
    const char* name;
    Ref (*build)();
};

#define SC_ENTRY(M) {#M, &M##_class}

// Registration order: the family blocks, each in its own order.
const Entry registry[] = {
    // neurons::trivial
    SC_ENTRY(QuadraticIFNeuron),
    SC_ENTRY(ThetaNeuron),
    SC_ENTRY(PerfectIntegratorNeuron),
    SC_ENTRY(NonlinearLIFNeuron),
    SC_ENTRY(SFANeuron),
    SC_ENTRY(MATNeuron),
    SC_ENTRY(NonResettingLIFNeuron),
    SC_ENTRY(AdaptiveThresholdIFNeuron),
    SC_ENTRY(EnergyLIFNeuron),
    // neurons::simple_spiking
    SC_ENTRY(AlphaNeuron),
    SC_ENTRY(COBALIFNeuron),
};

}  // namespace

void register_neuron_classes(Module& m) {
    for (const Entry& e : registry) m.add(e.name, e.build());
}

}  // namespace py
