// RallDendriteNative.
#include "bindings.hpp"
#include "numpy.hpp"
#include "rall_dendrite.hpp"

namespace py {

using rall_dendrite::RallDendriteNative;

Ref rall_dendrite_class() {
    return Class<RallDendriteNative>("RallDendriteNative")
        .init<&RallDendriteNative::make>(
            {arg("n_branches"), arg("branch_length"), arg("tau"), arg("coupling"), arg("dt")})
        .def<[](RallDendriteNative& d, np::Array<double, 1> branch_inputs) {
            return d.step(branch_inputs.slice_or_type_error());
        }>("step", {arg("branch_inputs")})
        .def<&RallDendriteNative::reset>("reset")
        .prop<[](const RallDendriteNative& d) { return d.soma_v; }>("soma_v")
        .build();
}

}  // namespace py
