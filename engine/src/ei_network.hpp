// A randomly connected network of excitatory and inhibitory leaky integrate-and-fire
// neurons under Poisson drive, built, run and discarded in one call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ei_network {

struct Params {
    std::size_t n_exc = 80;
    std::size_t n_inh = 20;
    double w_ee = 0.1;
    double w_ei = 0.4;
    double w_ie = 0.1;
    double w_ii = 0.4;
    double p_conn = 0.2;
    double ext_rate = 5.0;  // spikes per second
    double duration = 200.0;  // ms
    double dt = 0.1;  // ms
    uint64_t seed = 42;
};

struct Result {
    std::vector<double> spike_times;
    std::vector<int64_t> spike_neurons;
    std::vector<double> bin_times;
    std::vector<double> exc_rates;
    std::vector<double> inh_rates;
    double mean_exc_rate = 0.0;
    double mean_inh_rate = 0.0;
    std::size_t n_exc = 0;
    std::size_t n_inh = 0;
};

// Longest run in steps, whatever duration and dt are.
inline constexpr uint64_t kMaxSteps = 50000;

// Steps of a run: duration / dt, truncated and capped at kMaxSteps.
uint64_t step_count(double duration, double dt);

Result simulate_ei(const Params& p);

}  // namespace ei_network
