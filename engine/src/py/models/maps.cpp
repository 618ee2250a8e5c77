// Models of the maps family, in registration order.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/maps.hpp"

namespace py {

using namespace neurons::maps;

SC_BLOCK(maps) {
    SC_MODEL(ChialvoMapNeuron, state(x, y));
    SC_MODEL(RulkovMapNeuron, state(x, y));
    SC_MODEL(IbarzTanakaMapNeuron, state(x, y));
    SC_MODEL(MedvedevMapNeuron, state(x));
    SC_MODEL(CazellesMapNeuron, state(x, y));
    SC_MODEL(CourageNekorkinMapNeuron, state(x, y));
}

}  // namespace py
