// The threshold logic unit, then the rate, transfer, synapse and buffer-holding models of the
// rate family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"

namespace py {

SC_BLOCK(mcculloch_pitts) {}

SC_BLOCK(rate) {}

}  // namespace py
