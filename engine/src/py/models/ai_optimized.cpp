// Models of the ai_optimized family: the block of eight at the head of the registry, and the
// Arcane neuron, registered last.
#include "model.hpp"
#include "models/registry.hpp"

namespace py {

SC_BLOCK(ai_optimized) {}

SC_BLOCK(arcane) {}

}  // namespace py
