// py_simulate_ei_network.
#include "bindings.hpp"
#include "ei_network.hpp"
#include "numpy.hpp"

namespace py {

namespace {

Ref simulate(std::size_t n_exc, std::size_t n_inh, double w_ee, double w_ei, double w_ie, double w_ii,
             double p_conn, double ext_rate, double duration, double dt, uint64_t seed) {
    ei_network::Result r =
        ei_network::simulate_ei({n_exc, n_inh, w_ee, w_ei, w_ie, w_ii, p_conn, ext_rate, duration, dt, seed});
    const std::size_t n_spikes = r.spike_times.size();
    DictBuilder d;
    d.set("spike_times", np::array(std::move(r.spike_times)))
        .set("spike_neurons", np::array(std::move(r.spike_neurons)))
        .set("n_exc", r.n_exc)
        .set("n_inh", r.n_inh)
        .set("n_total", r.n_exc + r.n_inh)  // the engine refused a sum that wraps
        .set("n_spikes", n_spikes)
        .set("rate_time", np::array(std::move(r.bin_times)))
        .set("exc_rates", np::array(std::move(r.exc_rates)))
        .set("inh_rates", np::array(std::move(r.inh_rates)))
        .set("duration", duration)
        .set("dt", dt)
        .set("mean_exc_rate", r.mean_exc_rate)
        .set("mean_inh_rate", r.mean_inh_rate);
    return std::move(d.dict);
}

}  // namespace

Ref simulate_ei_network_function() {
    return function<&simulate>("py_simulate_ei_network",
                               {arg("n_exc", 80), arg("n_inh", 20), arg("w_ee", 0.1), arg("w_ei", 0.4),
                                arg("w_ie", 0.1), arg("w_ii", 0.4), arg("p_conn", 0.2), arg("ext_rate", 5.0),
                                arg("duration", 200.0), arg("dt", 0.1), arg("seed", 42)});
}

}  // namespace py
