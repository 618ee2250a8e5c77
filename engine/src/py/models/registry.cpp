// The model registry: the family blocks in the module body's order.
#include "bindings.hpp"
#include "models/registry.hpp"

namespace py {

void register_neuron_classes(Module& m) {
    ai_optimized_block(m);
    trivial_block(m);
    simple_spiking_block(m);
    maps_block(m);
    biophysical_block(m);
    multi_compartment_block(m);
    special_block(m);
    hardware_block(m);
    mcculloch_pitts_block(m);
    rate_block(m);
    arcane_block(m);
}

}  // namespace py
