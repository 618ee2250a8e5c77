// The rate family: a threshold logic unit, first-order rate units, a calcium model, spiking
// units fed through synaptic gates, the noisy-LIF transfer function, and four models that own
// buffers sized at construction (a fractional-order memory, a moving-average ring, a neural
// field, a competing layer). Each expression keeps its written grouping so that the Python
// class and the network's dispatch agree bit for bit.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "error.hpp"
#include "neurons/args.hpp"
#include "neurons/buffers.hpp"
#include "neurons/kinetics.hpp"

namespace neurons::rate {

// ---------------------------------------------------------------- threshold logic

struct McCullochPittsNeuron {
    double theta;

    SC_ARGS(McCullochPittsNeuron, (double, theta, 1.0))
    explicit McCullochPittsNeuron(const Args& a) : theta(a.theta) {}

    int32_t step(double weighted_input) const { return weighted_input >= theta ? 1 : 0; }
};

// ---------------------------------------------------------------- rate units

struct SigmoidRateNeuron {
    double r = 0.0;
    double tau = 10.0;
    double beta = 1.0;
    double theta = 0.0;
    double dt = 0.1;

    double step(double current) {
        const double s = logistic((current - theta) * (-beta));
        r = r + (s - r) / tau * dt;
        return r;
    }

    void reset() { r = 0.0; }
};

// The rate follows the input at once; the old rate is never read.
struct ThresholdLinearRateNeuron {
    double r = 0.0;
    double theta = 0.0;
    double gain = 1.0;

    double step(double current) {
        const double d = current - theta;
        r = clip_pool(d) * gain;  // a NaN difference counts as 0
        return r;
    }

    void reset() { r = 0.0; }
};

// Cytosolic calcium exchanged with the store through the IP3 receptor, a leak and a pump.
struct AstrocyteModel {
    double ca = 0.05;
    double h = 0.8;
    double ip3 = 0.5;
    double v_channel = 0.9;
    double v_leak = 0.15;
    double v_pump = 0.4;
    double d1 = 0.13;
    double d2 = 1.049;
    double d3 = 0.9434;
    double d5 = 0.08234;
    double c0 = 2.0;
    double c1 = 0.185;
    double dt = 0.01;

    double step(double current) {
        constexpr double pump_half_sq = 0.010000000000000002;  // 0.1 * 0.1 in doubles
        constexpr double inactivation_rate = 0.2;
        const double c_er = (c0 - ca) / c1;
        const double m = ip3 / (ip3 + d1);
        const double n = ca / (ca + d5);
        const double p = m * n * h;
        const double j_channel = v_channel * cube(p) * (c_er - ca);
        const double j_leak = v_leak * (c_er - ca);
        const double j_pump = v_pump * (ca * ca) / ((ca * ca) + pump_half_sq);
        const double next = ca + dt * (j_leak + j_channel - j_pump + current);
        const double ca_new = clip_pool(next);  // never negative; NaN becomes 0
        const double q2 = d2 * (ip3 + d1) / (ip3 + d3);
        const double h_inf = q2 / (q2 + ca);
        const double tau_h = 1.0 / (inactivation_rate * (q2 + ca));
        h = h + (h_inf - h) / tau_h * dt;
        ca = ca_new;
        return ca;
    }

    void reset() {
        ca = 0.05;
        h = 0.8;
        ip3 = 0.5;
    }
};

// ---------------------------------------------------------------- spiking units

// LIF fed through a synapse whose resources x deplete and whose utilisation u facilitates.
struct TsodyksMarkramNeuron {
    double v = -65.0;
    double x = 1.0;
    double u = 0.2;
    double v_rest = -65.0;
    double v_reset = -65.0;
    double v_threshold = -50.0;
    double tau_m = 20.0;
    double tau_d = 200.0;
    double tau_f = 600.0;
    double u_base = 0.2;
    double syn_weight = 50.0;
    double r_m = 1.0;
    double dt = 0.1;

    int32_t step(double current, bool presynaptic_spike) {
        x = x + dt * (1.0 - x) / tau_d;
        u = u + dt * (u_base - u) / tau_f;
        double i_syn = 0.0;
        if (presynaptic_spike) {
            u = u + u_base * (1.0 - u);
            i_syn = u * syn_weight * x;
            x = x - u * x;
        }
        v = v + dt * ((current + i_syn) * r_m - (v - v_rest)) / tau_m;
        if (v >= v_threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = v_rest;
        x = 1.0;
        u = u_base;
    }
};

// Closed-form relaxation towards tanh of the drive, with an input-gated time constant; a
// spike subtracts the threshold.
struct LiquidTimeConstantNeuron {
    double x = 0.0;
    double tau = 10.0;
    double gate_weight = -0.5;
    double x_weight = 0.8;
    double input_weight = 1.0;
    double gate_bias = 0.0;
    double threshold = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        const double g = logistic(-(gate_weight * current + gate_bias));
        const double p = tau * g;
        const double tau_eff = at_least(p, 0.1);  // NaN becomes 0.1
        const double f = std::tanh(input_weight * current + x_weight * x);
        const double d = std::exp(-dt / tau_eff);
        x = (1.0 - d) * f + d * x;
        if (x >= threshold) {
            x = x - threshold;
            return 1;
        }
        return 0;
    }

    void reset() { x = 0.0; }
};

// Conductance-based working-memory neuron; one presynaptic flag drives the AMPA, NMDA and
// GABA gates together.
struct CompteWMNeuron {
    double v = -70.0;
    double s_ampa = 0.0;
    double s_nmda = 0.0;
    double x_nmda = 0.0;
    double s_gaba = 0.0;
    double g_l = 0.025;
    double g_ampa = 0.005;
    double g_nmda = 0.165;
    double g_gaba = 0.013;
    double e_l = -70.0;
    double e_ampa = 0.0;
    double e_nmda = 0.0;
    double e_gaba = -70.0;
    double c_m = 0.5;
    double mg = 1.0;
    double tau_ampa = 2.0;
    double tau_x = 2.0;
    double tau_nmda = 100.0;
    double tau_gaba = 5.0;
    double v_threshold = -50.0;
    double v_reset = -55.0;
    double dt = 0.1;

    int32_t step(double current, bool spike_in) {
        const double c = spike_in ? 1.0 : 0.0;
        const double b = 1.0 / (1.0 + std::exp(-0.062 * v) * mg / 3.57);  // magnesium block
        const double i_leak = -(v - e_l) * g_l;
        const double i_ampa = g_ampa * s_ampa * (v - e_ampa);
        const double i_nmda = g_nmda * s_nmda * b * (v - e_nmda);
        const double i_gaba = g_gaba * s_gaba * (v - e_gaba);
        v = v + dt * (current + (((i_leak - i_ampa) - i_nmda) - i_gaba)) / c_m;
        s_ampa = s_ampa + dt * (c - s_ampa / tau_ampa);
        x_nmda = x_nmda + dt * (c - x_nmda / tau_x);
        s_gaba = s_gaba + dt * (0.5 * c - s_gaba / tau_gaba);
        s_nmda = s_nmda + dt * (0.5 * x_nmda * (1.0 - s_nmda) - s_nmda / tau_nmda);
        if (v >= v_threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = e_l;
        s_ampa = 0.0;
        s_nmda = 0.0;
        x_nmda = 0.0;
        s_gaba = 0.0;
    }
};

// ---------------------------------------------------------------- transfer function

// exp(x^2) erfc(x) for x >= 0 (NaN gives NaN), to about 1e-15 relative. Below 4 the product
// neither overflows nor loses erfc to underflow; from 4 on, where exp(x^2) grows past what the
// product can carry, the Laplace continued fraction
//   erfcx(x) = (1/sqrt(pi)) / (x + (1/2) / (x + (2/2) / (x + (3/2) / (x + ...))))
// converges to full precision within 24 levels, evaluated from the innermost level out.
inline double erfcx_nonnegative(double x) {
    if (x < 4.0) return std::exp(x * x) * std::erfc(x);
    double t = 0.0;
    for (int k = 24; k > 0; --k) t = (k * 0.5) / (x + t);
    return 0.5641895835477563 / (x + t);  // 1/sqrt(pi)
}

// exp(u^2) (1 + erf(u)), the integrand of the transfer function. For u > 0, 1 + erf(u) lies in
// [1, 2] and carries no cancellation; the exponent is capped at 500 so that the sum stays
// finite for every finite input. For u <= 0 it is erfcx(-u), formed without exp(u^2), since
// 1 + erf(u) = erfc(-u) would otherwise be a difference of nearly equal numbers.
inline double siegert_integrand(double u) {
    if (u > 0.0) return std::exp(std::min(u * u, 500.0)) * (1.0 + std::erf(u));
    return erfcx_nonnegative(-u);
}

// Firing rate (Hz) of a LIF neuron under Gaussian noise of fixed amplitude 3.0, the input
// shifting the mean potential; the integral from the reset to the threshold is taken with the
// 10-point Gauss-Legendre rule. The rate rises with the input, from 0 at -inf to 1000 / tau_ref
// at +inf, but for the rounding of its last digits (below 2^46 gaps, that of the limits).
struct SiegertTransferFunction {
    double tau_m = 20.0;
    double tau_ref = 2.0;
    double v_threshold = -50.0;
    double v_reset = -70.0;
    double v_rest = -65.0;

    // Nodes on [-1, 1] in increasing order, with their weights.
    static constexpr double nodes[10] = {
        -0.9739065285171717, -0.8650633666889845, -0.6794095682990244, -0.4333953941292472,
        -0.14887433898163122, 0.14887433898163122, 0.4333953941292472,  0.6794095682990244,
        0.8650633666889845,   0.9739065285171717};
    static constexpr double weights[10] = {
        0.06667134430868814, 0.1494513491505806,  0.21908636251598204, 0.26926671930999635,
        0.29552422471475287, 0.29552422471475287, 0.26926671930999635, 0.21908636251598204,
        0.1494513491505806,  0.06667134430868814};

    double step(double current) const {
        constexpr double sigma = 3.0;
        const double mu = current + v_rest;
        if (mu == -std::numeric_limits<double>::infinity()) return 0.0;  // no drive can reach threshold
        const double y_th = (v_threshold - mu) / sigma;
        const double y_r = (v_reset - mu) / sigma;
        // The limits' difference is the potentials' gap up to their rounding, a few units in
        // the last place of the larger. Up to 2^46 gaps that is within 1/32 of the gap and the
        // difference stands; beyond, the limits lose the gap (at about 2^53 gaps they round to
        // one float), so it is taken from the potentials themselves. An infinite limit takes
        // that branch too: +inf then sums to 0 and fires at 1000 / tau_ref.
        const double gap = (v_threshold - v_reset) / sigma;
        const double half = std::max(std::fabs(y_th), std::fabs(y_r)) <= std::fabs(gap) * 0x1p46
                                ? (y_th - y_r) / 2.0
                                : gap / 2.0;
        const double mid = (y_r + y_th) / 2.0;
        double s = 0.0;
        for (int k = 0; k < 10; ++k) s = s + weights[k] * siegert_integrand(mid + half * nodes[k]);
        const double r = 1.0 / (tau_ref + tau_m * std::sqrt(3.141592653589793) * half * s);
        return 1000.0 * clip_pool(r);  // never negative; NaN becomes 0
    }
};

// ---------------------------------------------------------------- buffer-holding models

// Fractional-order LIF: the Grunwald-Letnikov weights c_1.. applied to the past membrane
// values, newest first, stand in for the leak's memory.
struct FractionalLIFNeuron {
    std::vector<double> history;       // the last max_hist values of v, oldest first
    std::vector<double> coefficients;  // c_0 .. c_max_hist
    double v = 0.0;
    double v_rest = 0.0;
    double v_reset = 0.0;
    double theta = 1.0;
    double alpha;
    double r_m = 1.0;
    double dt = 1.0;
    std::size_t max_hist;

    SC_ARGS(FractionalLIFNeuron, (double, alpha, 0.8), (std::size_t, max_hist, 50))
    explicit FractionalLIFNeuron(const Args& a)
        : history(filled(a.max_hist, 0.0)), coefficients(filled(length_plus(a.max_hist, 1), 0.0)),
          alpha(a.alpha), max_hist(a.max_hist) {
        coefficients[0] = 1.0;
        for (std::size_t i = 1; i < coefficients.size(); ++i)
            coefficients[i] = (1.0 - (1.0 + alpha) / static_cast<double>(i)) * coefficients[i - 1];
    }

    int32_t step(double current) {
        const std::size_t m = std::min(max_hist, history.size());
        double s = 0.0;
        for (std::size_t j = 1; j <= m; ++j) s = s + coefficients[j] * history[m - j];
        v = std::pow(dt, alpha) * (r_m * current - (v - v_rest)) - s;
        if (!history.empty()) {
            // Shifted in place: the step allocates nothing.
            std::copy(history.begin() + 1, history.end(), history.begin());
            history.back() = v;  // the value before any reset
        }
        if (v >= theta) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = v_rest;
        std::fill(history.begin(), history.end(), 0.0);
    }
};

// Fires when the moving average of its last kernel_size inputs reaches the threshold.
struct ParallelSpikingNeuron {
    std::vector<double> kernel;  // applied oldest input first
    std::vector<double> buffer;  // ring of the last inputs
    double v_threshold;
    std::size_t head = 0;        // next write; after the write, the oldest entry

    SC_ARGS(ParallelSpikingNeuron, (std::size_t, kernel_size, 8), (double, v_threshold, 1.0))
    explicit ParallelSpikingNeuron(const Args& a)
        : kernel(filled(a.kernel_size, 1.0 / static_cast<double>(a.kernel_size))),
          buffer(filled(a.kernel_size, 0.0)), v_threshold(a.v_threshold) {}

    int32_t step(double current) {
        const std::size_t n = buffer.size();
        // An empty ring has no slot to write: the call stops before anything is stored.
        if (head >= n) engine::panic_index(head, n);
        buffer[head] = current;
        head = head + 1 == n ? 0 : head + 1;
        double s = -0.0;
        for (std::size_t i = 0; i < n; ++i) s = s + kernel[i] * buffer[(head + i) % n];
        return s >= v_threshold ? 1 : 0;
    }

    void reset() {
        std::fill(buffer.begin(), buffer.end(), 0.0);
        head = 0;
    }
};

// One-dimensional field of n units: lateral excitation near, inhibition farther, by a
// difference of Gaussians over the distance between units.
struct AmariNeuralField {
    std::vector<double> u;
    std::vector<double> kernel;  // weight by distance |i - j|
    std::size_t n;
    double tau = 10.0;
    double a_exc = 1.5;
    double sigma_exc = 1.0;
    double a_inh = 0.75;
    double sigma_inh = 2.0;
    double dx = 0.5;
    double dt = 0.5;

    SC_ARGS(AmariNeuralField, (std::size_t, n, 64))
    explicit AmariNeuralField(const Args& a) : u(filled(a.n, 0.0)), kernel(filled(a.n, 0.0)), n(a.n) {
        for (std::size_t k = 0; k < kernel.size(); ++k) {
            const double d = static_cast<double>(k) * dx;
            kernel[k] = a_exc * std::exp(-(d * d) / (2.0 * (sigma_exc * sigma_exc))) -
                        a_inh * std::exp(-(d * d) / (2.0 * (sigma_inh * sigma_inh)));
        }
    }

    double step(const std::vector<double>& input) {
        const std::size_t len = u.size();
        std::vector<double> du = filled(len, 0.0);  // every unit sees the old field
        for (std::size_t i = 0; i < len; ++i) {
            double r = 0.0;
            for (std::size_t j = 0; j < len; ++j) {
                const double rate = clip_pool(u[j]);  // NaN counts as 0
                r = r + rate * kernel[i > j ? i - j : j - i] * dx;
            }
            const double e = i < input.size() ? input[i] : 0.0;  // inputs past n are ignored
            du[i] = ((r - u[i]) + e) / tau * dt;
        }
        for (std::size_t i = 0; i < len; ++i) u[i] = u[i] + du[i];
        double s = -0.0;
        for (const double x : u) s = s + x;
        return s / static_cast<double>(n);
    }

    void reset() { std::fill(u.begin(), u.end(), 0.0); }
};

// A layer of leaky units in which every spike lowers all the other potentials.
struct LeakyCompeteFireNeuron {
    std::vector<double> v;
    std::size_t n_units;
    double tau = 10.0;
    double threshold = 1.0;
    double inhibition = 0.5;
    double dt = 1.0;

    SC_ARGS(LeakyCompeteFireNeuron, (std::size_t, n_units, 4))
    explicit LeakyCompeteFireNeuron(const Args& a) : v(filled(a.n_units, 0.0)), n_units(a.n_units) {}

    std::vector<int32_t> step(const std::vector<double>& currents) {
        const std::size_t n = v.size();
        for (std::size_t i = 0; i < n; ++i) {
            const double c = i < currents.size() ? currents[i] : 0.0;
            v[i] = v[i] + (c - v[i]) / tau * dt;
        }
        std::vector<int32_t> spikes(n, 0);
        // Units are tested in order with the potentials the earlier spikes left.
        for (std::size_t j = 0; j < n; ++j) {
            if (!(v[j] >= threshold)) continue;
            spikes[j] = 1;
            v[j] = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                if (i == j) continue;
                const double d = v[i] - inhibition;
                v[i] = clip_pool(d);  // NaN becomes 0
            }
        }
        return spikes;
    }

    void reset() { std::fill(v.begin(), v.end(), 0.0); }
};

}  // namespace neurons::rate
