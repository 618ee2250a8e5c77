// The model registry: the family blocks in the module body's order.
#include "bindings.hpp"
#include "models/registry.hpp"

namespace py {

void register_neuron_classes(Module& m) {
    trivial_block(m);
    simple_spiking_block(m);
    special_block(m);
}

}  // namespace py
