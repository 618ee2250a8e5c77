// StdpSynapse.
#include "bindings.hpp"
#include "synapses.hpp"

namespace py {

using synapses::StdpSynapse;

Ref stdp_synapse_class() {
    return Class<StdpSynapse>("StdpSynapse")
        .init<[](int16_t initial_weight, uint32_t data_width, uint32_t fraction) {
            return StdpSynapse(initial_weight, data_width, fraction);
        }>({arg("initial_weight"), arg("data_width", 16), arg("fraction", 8)})
        .prop<[](const StdpSynapse& s) { return s.weight; },
              [](StdpSynapse& s, int16_t weight) { s.weight = weight; }>("weight")
        .def<&StdpSynapse::step>("step", {arg("pre_spike"), arg("post_spike"), arg("a_plus", 16),
                                          arg("a_minus", -16), arg("decay", 250), arg("w_min", 0),
                                          arg("w_max", 32767)})
        .build();
}

}  // namespace py
