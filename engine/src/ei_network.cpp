#include "ei_network.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "error.hpp"
#include "poisson.hpp"
#include "rng.hpp"

namespace ei_network {

uint64_t step_count(double duration, double dt) { return std::min(engine::saturating_u64(duration / dt), kMaxSteps); }

namespace {

struct Csr {
    std::vector<std::size_t> offsets{0};
    std::vector<std::size_t> targets;
    std::vector<double> weights;
};

// One draw per ordered pair of distinct neurons, rows in increasing order of their source.
Csr connect(const Params& p, std::size_t n, rng::Xoshiro256pp& g) {
    Csr c;
    c.offsets.reserve(n + 1);
    for (std::size_t i = 0; i < n; ++i) {
        const bool from_exc = i < p.n_exc;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            const double u = g.next_f64();
            if (u >= p.p_conn) continue;  // a NaN p_conn connects every pair
            const bool to_exc = j < p.n_exc;
            const double w = from_exc ? (to_exc ? p.w_ee : p.w_ie) : (to_exc ? -p.w_ei : -p.w_ii);
            c.targets.push_back(j);
            c.weights.push_back(w);
        }
        c.offsets.push_back(c.targets.size());
    }
    return c;
}

// Mean of the positive rates (in bin order), rounded to one decimal; 0 when there are none.
double mean_of_active(const std::vector<double>& rates) {
    double sum = 0.0;
    std::size_t count = 0;
    for (const double r : rates) {
        if (r > 0.0) {
            sum += r;
            ++count;
        }
    }
    if (count == 0) return 0.0;
    return std::round(sum / static_cast<double>(count) * 10.0) / 10.0;
}

}  // namespace

Result simulate_ei(const Params& p) {
    std::size_t n;
    if (__builtin_add_overflow(p.n_exc, p.n_inh, &n)) throw std::bad_alloc();
    const uint64_t n_steps = step_count(p.duration, p.dt);
    rng::Xoshiro256pp g(p.seed);
    const Csr csr = connect(p, n, g);

    const uint64_t bin_steps = std::max<uint64_t>(n_steps / 100, 1);
    const uint64_t n_bins = n_steps / bin_steps;
    const double bin_time = std::fmax(p.dt * static_cast<double>(bin_steps) / 1000.0, 0.001);
    const double lambda = std::fmax(p.ext_rate * p.dt / 1000.0, 0.0);  // a NaN product gives 0
    poisson::Knuth external(lambda, g);
    poisson::Knuth::Reader draws(external);
    const double exc_size = static_cast<double>(std::max<std::size_t>(p.n_exc, 1));
    const double inh_size = static_cast<double>(std::max<std::size_t>(p.n_inh, 1));

    Result r;
    r.n_exc = p.n_exc;
    r.n_inh = p.n_inh;
    r.exc_rates.assign(n_bins, 0.0);
    r.inh_rates.assign(n_bins, 0.0);
    std::vector<double> v(n, -65.0), refractory(n, 0.0), syn(n, 0.0);
    // Neurons that spiked in the last step, in increasing order (the spike flags).
    std::vector<std::size_t> fired, next;
    fired.reserve(n);
    next.reserve(n);
    uint64_t exc_count = 0, inh_count = 0;
    for (uint64_t t = 0; t < n_steps; ++t) {
        // Sums added in source order, then row order: floating-point addition is kept in
        // that order.
        for (const std::size_t i : fired)
            for (std::size_t e = csr.offsets[i]; e < csr.offsets[i + 1]; ++e) syn[csr.targets[e]] += csr.weights[e];
        next.clear();
        const double time = static_cast<double>(t) * p.dt;
        // Each neuron's refractory update, integration and threshold depend only on its own
        // state and the sums above, so one pass in neuron order keeps the draw and record order.
        for (std::size_t i = 0; i < n; ++i) {
            const double input = syn[i];
            syn[i] = 0.0;
            double& rest = refractory[i];
            rest = std::fmax(rest - p.dt, 0.0);
            if (rest > 0.0) continue;
            const double k = static_cast<double>(draws.draw());
            double& vi = v[i];
            vi = ((5.0 * k + (vi + 65.0) / -20.0) + input) * p.dt + vi;
            if (vi >= -50.0) {
                vi = -65.0;
                rest = 2.0;
                next.push_back(i);
                r.spike_times.push_back(time);
                r.spike_neurons.push_back(static_cast<int64_t>(i));
                ++(i < p.n_exc ? exc_count : inh_count);
            }
        }
        fired.swap(next);
        if ((t + 1) % bin_steps == 0) {
            const uint64_t b = t / bin_steps;
            if (b < n_bins) {
                r.exc_rates[b] = static_cast<double>(exc_count) / exc_size / bin_time;
                r.inh_rates[b] = static_cast<double>(inh_count) / inh_size / bin_time;
            }
            exc_count = 0;
            inh_count = 0;
        }
    }
    r.bin_times.resize(n_bins);
    for (uint64_t b = 0; b < n_bins; ++b) r.bin_times[b] = static_cast<double>(b * bin_steps) * p.dt;
    r.mean_exc_rate = mean_of_active(r.exc_rates);
    r.mean_inh_rate = mean_of_active(r.inh_rates);
    return r;
}

}  // namespace ei_network
