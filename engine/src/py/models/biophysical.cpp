// Models of the biophysical family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"

namespace py {

SC_BLOCK(biophysical) {}

}  // namespace py
