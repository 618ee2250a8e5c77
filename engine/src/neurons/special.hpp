// Stochastic spike generators, spike-response models and neural-mass units. The generators
// own one xoshiro256++ stream each and draw a fixed number of uniforms per step whatever the
// probability is, so that equal seeds stay in lockstep. Each expression keeps its written
// grouping so that the Python class and the network's dispatch agree bit for bit.
#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <vector>

#include "error.hpp"
#include "neurons/args.hpp"
#include "neurons/buffers.hpp"
#include "neurons/draws.hpp"
#include "rng.hpp"

namespace neurons::special {

// ---------------------------------------------------------------- spike generators

// Poisson spikes at a fixed rate; a non-negative override replaces it for one call.
struct PoissonNeuron {
    rng::Xoshiro256pp rng;
    double rate_hz;
    double dt_ms;

    SC_ARGS(PoissonNeuron, (double, rate_hz, 100.0), (double, dt_ms, 1.0), (uint64_t, seed, 42))
    explicit PoissonNeuron(const Args& a) : rng(a.seed), rate_hz(a.rate_hz), dt_ms(a.dt_ms) {}

    int32_t step(double rate_override) {
        const double r = rate_override < 0.0 ? rate_hz : rate_override;
        return bernoulli_spike(rng, r * dt_ms / 1000.0);
    }

    void reset() {}
};

// Poisson spikes at the rate given on every call; negative and NaN rates are silent.
struct InhomogeneousPoissonNeuron {
    rng::Xoshiro256pp rng;
    double dt_ms;

    SC_ARGS(InhomogeneousPoissonNeuron, (double, dt_ms, 1.0), (uint64_t, seed, 42))
    explicit InhomogeneousPoissonNeuron(const Args& a) : rng(a.seed), dt_ms(a.dt_ms) {}

    int32_t step(double rate_hz) {
        const double r = rate_hz > 0.0 ? rate_hz : 0.0;
        return bernoulli_spike(rng, r * dt_ms / 1000.0);
    }

    void reset() {}
};

// sum_{i<k} x^i / i!, with the terms built as t_i = t_(i-1) * x / i. Once a term is zero
// every later one is too, and once it is infinite or NaN so is the sum: stopping there leaves
// the sum as the full loop would and bounds the work for a large k.
inline double partial_exp_sum(double x, uint32_t k) {
    double t = 1.0;
    double s = 0.0;
    for (uint32_t i = 0; i < k; ++i) {
        if (i > 0) t = t * x / static_cast<double>(i);
        s = s + t;
        if (t == 0.0 || !std::isfinite(t)) break;
    }
    return s;
}

// ln((k - 1)!) as the sum of ln i for i = 1..k-1, in that order (0 for k of 0 or 1).
inline double log_factorial_below(uint32_t k) {
    double s = 0.0;
    for (uint32_t i = 1; i < k; ++i) s = s + std::log(static_cast<double>(i));
    return s;
}

// Renewal process with gamma-distributed intervals of order shape_k: spikes by the hazard of
// the interval distribution at the current age.
struct GammaRenewalNeuron {
    rng::Xoshiro256pp rng;
    double rate_hz;
    double dt;
    double age;  // ms since the last spike
    uint32_t shape_k;
    double log_fact;  // ln((shape_k - 1)!), the same sum the step would form each call

    SC_ARGS(GammaRenewalNeuron, (double, rate_hz, 50.0), (uint32_t, shape_k, 3), (uint64_t, seed, 42))
    explicit GammaRenewalNeuron(const Args& a)
        : rng(a.seed), rate_hz(a.rate_hz), dt(1.0), age(0.0), shape_k(a.shape_k),
          log_fact(log_factorial_below(a.shape_k)) {}

    int32_t step(double rate_override) {
        age = age + dt;
        const double r = rate_override < 0.0 ? rate_hz : rate_override;
        const double k = static_cast<double>(shape_k);
        const double lambda = r / 1000.0 * k;
        const double x = age * lambda;
        const double F = x <= 0.0 ? 0.0 : 1.0 - std::exp(-x) * partial_exp_sum(x, shape_k);
        double hazard = lambda;
        if (1.0 - F > 1e-15)
            hazard = std::exp(std::log(std::fmax(lambda, 1e-30)) + (k - 1.0) * std::log(std::fmax(x, 1e-30)) - x -
                              log_fact) /
                     (1.0 - F);
        if (bernoulli_spike(rng, dt * hazard)) {
            age = 0.0;
            return 1;
        }
        return 0;
    }

    void reset() { age = 0.0; }
};

// LIF driven by white noise, integrated by Euler-Maruyama with one normal value per call.
struct StochasticIFNeuron {
    rng::Xoshiro256pp rng;
    double v = -70.0;
    double v_rest = -70.0;
    double v_reset = -70.0;
    double theta = -50.0;
    double tau = 20.0;
    double sigma = 3.0;
    double dt = 1.0;

    SC_ARGS(StochasticIFNeuron, (uint64_t, seed, 42))
    explicit StochasticIFNeuron(const Args& a) : rng(a.seed) {}

    int32_t step(double current) {
        const double n = gaussian(rng);
        v = ((current - (v - v_rest)) / tau * dt + n * (sigma * std::sqrt(dt / tau))) + v;
        if (v >= theta) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = v_rest; }
};

// Leaky potential with a sigmoidal firing probability; a spike resets the potential.
struct GalvesLocherbachNeuron {
    rng::Xoshiro256pp rng;
    double v = 0.0;
    double v_reset = 0.0;
    double leak = 0.95;
    double v_half = 0.5;
    double k = 5.0;
    double max_p = 1.0;

    SC_ARGS(GalvesLocherbachNeuron, (uint64_t, seed, 42))
    explicit GalvesLocherbachNeuron(const Args& a) : rng(a.seed) {}

    int32_t step(double weighted_input) {
        v = leak * v + weighted_input;
        const double p = max_p * (1.0 / (std::exp(-(v - v_half) * k) + 1.0));
        if (bernoulli_spike(rng, p)) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = v_reset; }
};

// Membrane as a closed-form response: the filtered input plus the after-spike kernel.
struct SpikeResponseNeuron {
    double v = 0.0;
    double v_threshold = 1.0;
    double tau_refr = 10.0;
    double tau_m = 5.0;
    double eta0 = -5.0;
    double time_since_spike = 1000.0;
    double dt = 1.0;

    int32_t step(double current) {
        time_since_spike = time_since_spike + dt;
        v = (1.0 - std::exp(-dt / tau_m)) * current + std::exp(-time_since_spike / tau_refr) * eta0;
        if (v >= v_threshold) {
            time_since_spike = 0.0;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = 0.0;
        time_since_spike = 1000.0;
    }
};

// Pushes value in at index 0 (the newest), dropping the oldest; an empty history stays empty.
inline void push_newest(std::vector<double>& hist, double value) {
    if (hist.empty()) return;
    std::copy_backward(hist.begin(), hist.end() - 1, hist.end());
    hist[0] = value;
}

// sum_i f[i] * hist[i] over the common length, in index order from -0.0.
inline double filtered(const std::vector<double>& f, const std::vector<double>& hist) {
    const std::size_t n = f.size() < hist.size() ? f.size() : hist.size();
    double s = -0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + f[i] * hist[i];
    return s;
}

// Point-process GLM: the rate is the exponential of the filtered stimulus, the filtered own
// spike history and a bias.
struct GLMNeuron {
    std::vector<double> k;  // stimulus filter
    std::vector<double> h;  // spike-history filter
    std::vector<double> stim_history;
    std::vector<double> spike_history;
    double bias;
    double dt;
    rng::Xoshiro256pp rng;

    SC_ARGS(GLMNeuron, (std::size_t, n_k, 10), (std::size_t, n_h, 20), (uint64_t, seed, 42))
    explicit GLMNeuron(const Args& a)
        : k(filled(a.n_k, 0.1)), h(filled(a.n_h, -0.5)), stim_history(filled(a.n_k, 0.0)),
          spike_history(filled(a.n_h, 0.0)), bias(-3.0), dt(1.0), rng(a.seed) {}

    int32_t step(double stimulus) {
        push_newest(stim_history, stimulus);
        const double drive_k = filtered(k, stim_history);
        const double drive_h = filtered(h, spike_history);
        const double lambda = std::exp(drive_k + drive_h + bias);
        const int32_t fired = bernoulli_spike(rng, lambda * dt / 1000.0);
        push_newest(spike_history, fired ? 1.0 : 0.0);
        return fired;
    }

    void reset() {
        std::fill(stim_history.begin(), stim_history.end(), 0.0);
        std::fill(spike_history.begin(), spike_history.end(), 0.0);
    }
};

// ---------------------------------------------------------------- neural-mass units

// The Jansen-Rit sigmoid, shared with the Wendling column.
inline double jr_sigmoid(double x, double e0, double v_half, double r) {
    return (2.0 * e0) / (std::exp((v_half - x) * r) + 1.0);
}

// Excitatory and inhibitory activities with a shared sigmoid; the input drives E only.
struct WilsonCowanUnit {
    double e = 0.1;
    double i = 0.05;
    double w_ee = 10.0;
    double w_ei = 6.0;
    double w_ie = 10.0;
    double w_ii = 1.0;
    double tau_e = 1.0;
    double tau_i = 2.0;
    double a = 1.2;
    double theta = 4.0;
    double dt = 0.1;

    double step(double ext_input) {
        const double s_e = 1.0 / (std::exp(((w_ee * e - w_ei * i) + ext_input - theta) * (-a)) + 1.0);
        const double s_i = 1.0 / (std::exp(((w_ie * e - w_ii * i) - theta) * (-a)) + 1.0);
        const double e_new = dt * ((s_e - e) / tau_e) + e;
        i = dt * ((s_i - i) / tau_i) + i;
        e = e_new;
        return e;
    }

    void reset() {
        e = 0.1;
        i = 0.05;
    }
};

// Cortical column of three populations: y0..y2 the potentials, y3..y5 their derivatives.
struct JansenRitUnit {
    std::array<double, 6> y{};
    double A = 3.25;
    double B = 22.0;
    double a = 100.0;
    double b = 50.0;
    double C = 135.0;
    double e0 = 2.5;
    double v_half = 6.0;
    double r = 0.56;
    double dt = 0.001;  // seconds

    double step(double p_ext) {
        const double s1 = jr_sigmoid(y[1] - y[2], e0, v_half, r);
        const double s2 = jr_sigmoid((0.8 * C) * y[0], e0, v_half, r);
        const double s3 = jr_sigmoid((0.25 * C) * y[0], e0, v_half, r);
        const double dy3 = (s1 * (a * A) - y[3] * (a + a)) - y[0] * (a * a);
        const double dy4 = ((a * A) * (s2 * (0.8 * C) + p_ext) - (a + a) * y[4]) - (a * a) * y[1];
        const double dy5 = ((0.25 * ((B * b) * C)) * s3 - (b + b) * y[5]) - (b * b) * y[2];
        y[0] = y[3] * dt + y[0];
        y[1] = y[4] * dt + y[1];
        y[2] = y[5] * dt + y[2];
        y[3] = dy3 * dt + y[3];
        y[4] = dy4 * dt + y[4];
        y[5] = dy5 * dt + y[5];
        return y[1] - y[2];
    }

    void reset() { y.fill(0.0); }
};

// Two competing populations with noisy input: the reduced decision circuit.
struct WongWangUnit {
    rng::Xoshiro256pp rng;
    double s1 = 0.1;
    double s2 = 0.1;
    double tau_s = 0.1;
    double gamma = 0.641;
    double J_self = 0.2609;
    double J_cross = 0.0497;
    double I0 = 0.3255;
    double sigma = 0.02;
    double dt = 0.001;

    SC_ARGS(WongWangUnit, (uint64_t, seed, 42))
    explicit WongWangUnit(const Args& a) : rng(a.seed) {}

    // The population's rate from its total input (the limit 1 / 0.154 where L / d is 0 / 0).
    static double rate(double x) {
        const double L = x * 270.0 + (-108.0);
        const double d = 1.0 - std::exp(L * (-0.154));
        return std::fabs(d) < 1e-10 ? 6.4935064935064934 : L / d;
    }

    std::tuple<double, double> step(double stim1, double stim2) {
        const double n1 = gaussian(rng);
        const double n2 = gaussian(rng);
        const double x1 = sigma * n1 + (stim1 + (I0 + (J_self * s1 - s2 * J_cross)));
        const double x2 = sigma * n2 + (stim2 + (I0 + (J_self * s2 - s1 * J_cross)));
        const double r1 = rate(x1);
        const double r2 = rate(x2);
        s1 = dt * ((gamma * (1.0 - s1)) * r1 - s1 / tau_s) + s1;
        s2 = dt * ((gamma * (1.0 - s2)) * r2 - s2 / tau_s) + s2;
        return {r1, r2};
    }

    void reset() {
        s1 = 0.1;
        s2 = 0.1;
    }
};

// Mean field of a population of quadratic integrate-and-fire neurons (rate r, mean v).
struct ErmentroutKopellPopulation {
    double r = 0.1;
    double v = -2.0;
    double tau = 1.0;
    double Delta = 1.0;
    double eta = -5.0;
    double J = 15.0;
    double dt = 0.01;

    double step(double ext_input) {
        const double r_new = ((r + r) * v + Delta / (3.141592653589793 * tau)) / tau * dt + r;
        v = (r * r * (tau * tau * (-9.869604401089358)) + (J * tau * r + (v * v + eta + ext_input))) / tau * dt + v;
        r = r_new > 0.0 ? r_new : 0.0;  // a rate is never negative; NaN becomes 0 too
        return r;
    }

    void reset() {
        r = 0.1;
        v = -2.0;
    }
};

// The Jansen-Rit column with a second, fast inhibitory loop.
struct WendlingNeuron {
    double y0 = 0.0;  // pyramidal output
    double y1 = 0.0;  // excitatory input to the pyramidal cells
    double y2 = 0.0;  // slow inhibitory
    double y3 = 0.0;  // fast inhibitory
    double z0 = 0.0;
    double z1 = 0.0;
    double z2 = 0.0;
    double z3 = 0.0;
    double A = 3.25;
    double B = 22.0;
    double G = 10.0;
    double a = 100.0;
    double b = 500.0;
    double g = 20.0;
    double C = 135.0;
    double e0 = 2.5;
    double v_half = 6.0;
    double r = 0.56;
    double dt = 0.001;

    double step(double p_ext) {
        const double s1 = jr_sigmoid(y1 - y2 - y3, e0, v_half, r);
        const double s2 = jr_sigmoid((0.8 * C) * y0, e0, v_half, r);
        const double s3 = jr_sigmoid((0.25 * C) * y0, e0, v_half, r);
        const double s4 = jr_sigmoid((0.1 * C) * y0, e0, v_half, r);
        const double y0_old = y0, y1_old = y1, y2_old = y2, y3_old = y3;
        y0 = z0 * dt + y0;
        y1 = z1 * dt + y1;
        y2 = z2 * dt + y2;
        y3 = z3 * dt + y3;
        z0 = ((A * a) * s1 - (a + a) * z0 - (a * a) * y0_old) * dt + z0;
        z1 = ((A * a) * (s2 * (0.8 * C) + p_ext) - (a + a) * z1 - (a * a) * y1_old) * dt + z1;
        z2 = (s3 * ((C * (B * b)) * 0.25) - (b + b) * z2 - (b * b) * y2_old) * dt + z2;
        z3 = (s4 * ((C * (G * g)) * 0.1) - (g + g) * z3 - (g * g) * y3_old) * dt + z3;
        return y1 - y2 - y3;
    }

    void reset() { y0 = y1 = y2 = y3 = z0 = z1 = z2 = z3 = 0.0; }
};

// Neural mass with calcium, sodium and potassium channels; z follows v and feeds nothing back.
struct LarterBreakspearNeuron {
    double v = -0.5;
    double w = 0.0;
    double z = 0.0;
    double g_Ca = 1.1;
    double g_Na = 6.7;
    double g_K = 2.0;
    double g_L = 0.5;
    double V_Ca = 1.0;
    double V_Na = 0.53;
    double V_K = -0.7;
    double V_L = -0.5;
    double phi = 0.7;
    double tau_K = 1.0;
    double b = 0.1;
    double a_ee = 0.36;
    double I_bias = 0.3;
    double dt = 0.01;

    double step(double coupling) {
        const double m_ca = (std::tanh((0.01 + v) / 0.15) + 1.0) * 0.5;
        const double m_na = (std::tanh((-0.12 + v) / 0.15) + 1.0) * 0.5;
        const double m_k = (std::tanh(v / 0.3) + 1.0) * 0.5;
        const double ionic =
            (((-(v - V_Ca)) * (m_ca * g_Ca) - (m_na * g_Na) * (v - V_Na)) - (w * g_K) * (v - V_K)) - (v - V_L) * g_L;
        const double dv = a_ee * v + ((ionic + I_bias) + coupling);
        const double dw = (m_k - w) * phi / tau_K;
        z = (((0.5 + v) - z) * b) * dt + z;
        v = dt * dv + v;
        w = dt * dw + w;
        return v;
    }

    void reset() {
        v = -0.5;
        w = 0.0;
        z = 0.0;
    }
};

}  // namespace neurons::special
