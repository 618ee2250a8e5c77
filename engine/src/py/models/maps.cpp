// Models of the maps family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"

namespace py {

SC_BLOCK(maps) {}

}  // namespace py
