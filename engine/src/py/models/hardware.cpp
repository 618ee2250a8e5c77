// Models of the hardware family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"

namespace py {

SC_BLOCK(hardware) {}

}  // namespace py
