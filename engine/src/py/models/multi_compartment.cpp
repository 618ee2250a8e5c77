// Models of the multi_compartment family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"

namespace py {

SC_BLOCK(multi_compartment) {}

}  // namespace py
