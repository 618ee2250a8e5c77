// CorticalColumnNative.
#include "bindings.hpp"
#include "cortical_column.hpp"
#include "numpy.hpp"

namespace py {

using cortical_column::CorticalColumnNative;

namespace {

// The five layers' spikes as a dict of new arrays, in layer order.
Ref step(CorticalColumnNative& c, np::Array<double, 1> thalamic_input) {
    static const std::vector<PyObject*> keys = intern_all({"l4", "l23_exc", "l23_inh", "l5", "l6"});
    auto spikes = c.step(thalamic_input.slice_or_type_error());
    DictBuilder d;
    for (std::size_t k = 0; k < spikes.size(); ++k) d.set(keys[k], np::array(std::move(spikes[k])));
    return std::move(d.dict);
}

}  // namespace

Ref cortical_column_class() {
    return Class<CorticalColumnNative>("CorticalColumnNative")
        .init<[](std::size_t n, double tau, double dt, double threshold, double w_exc, double w_inh,
                 uint64_t seed) { return CorticalColumnNative::make(n, seed, tau, dt, threshold, w_exc, w_inh); }>(
            {arg("n"), arg("tau"), arg("dt"), arg("threshold"), arg("w_exc"), arg("w_inh"), arg("seed")})
        .def<&step>("step", {arg("thalamic_input")})
        .def<&CorticalColumnNative::reset>("reset")
        .build();
}

}  // namespace py
