// Spiking models of the simple_spiking family: relaxation oscillators, polynomial
// and bursting models, conductance-based models of two or three variables,
// threshold units used for learning rules, an adapting rate neuron that fires at
// random (BendaHerzNeuron, seeded), and integrate-and-fire neurons driven through
// synaptic currents (AlphaNeuron) or conductances (COBALIFNeuron). The
// continuous-time models take one forward-Euler step per call; the learning
// units decay by stored factors. Each expression keeps its written grouping so
// that the Python class and the network's dispatch agree bit for bit.
#pragma once
#include <cmath>
#include <cstdint>

#include "neurons/args.hpp"
#include "neurons/draws.hpp"
#include "neurons/kinetics.hpp"
#include "rng.hpp"

namespace neurons::simple_spiking {

// ---------------------------------------------------------------- relaxation oscillators

struct FitzHughNagumoNeuron {
    double v = -1.0;
    double w = -0.5;
    double a = 0.7;
    double b = 0.8;
    double eps = 0.08;
    double dt = 0.1;
    double v_threshold = 1.0;

    int32_t step(double current) {
        const double old_v = v;
        v = v + dt * (v * v * v / -3.0 + v - w + current);
        w = w + dt * eps * (a + v - b * w);  // the new v
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -1.0;
        w = -0.5;
    }
};

// Calcium and potassium activations of tanh shape; w relaxes at a voltage-dependent rate.
struct MorrisLecarNeuron {
    double v = -60.0;
    double w = 0.0;
    double c_m = 20.0;
    double g_ca = 4.0;
    double g_k = 8.0;
    double g_l = 2.0;
    double e_ca = 120.0;
    double e_k = -84.0;
    double e_l = -60.0;
    double v_half_m = -1.2;
    double v_slope_m = 18.0;
    double v_half_w = 12.0;
    double v_slope_w = 17.4;
    double phi = 1.0 / 15.0;
    double dt = 0.1;
    double v_threshold = 0.0;

    int32_t step(double current) {
        const double m_inf = (std::tanh((v - v_half_m) / v_slope_m) + 1.0) * 0.5;
        const double w_inf = (std::tanh((v - v_half_w) / v_slope_w) + 1.0) * 0.5;
        const double lambda = std::cosh((v - v_half_w) / (v_slope_w + v_slope_w)) * phi;
        const double old_v = v;
        v = v + dt * ((g_ca * m_inf * (e_ca - v) - g_k * w * (v - e_k) - g_l * (v - e_l) + current) / c_m);
        w = w + dt * ((w_inf - w) * lambda);
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -60.0;
        w = 0.0;
    }
};

// Fast x with a cubic nullcline, recovery y and slow adaptation z; bursts for moderate input.
struct HindmarshRoseNeuron {
    double x = -1.6;
    double y = -10.0;
    double z = 2.0;
    double b = 3.0;
    double r = 0.001;
    double s = 4.0;
    double x_r = -1.6;
    double dt = 0.1;
    double v_threshold = 1.0;

    int32_t step(double current) {
        const double x2 = x * x;
        const double old_x = x;
        x = x + dt * (b * x2 + (y - old_x * x2) - z + current);
        y = y + dt * (1.0 - 5.0 * x2 - y);
        z = z + dt * r * (s * (old_x - x_r) - z);
        return crossed(old_x, x, v_threshold);
    }

    void reset() {
        x = -1.6;
        y = -10.0;
        z = 2.0;
    }
};

// A damped rotation of (x, y); leaving the circle of the spiking radius fires and returns
// the state to the origin.
struct ResonateAndFireNeuron {
    double x = 0.0;
    double y = 0.0;
    double b = -0.1;
    double omega = 1.0;
    double radius = 1.0;
    double dt = 0.05;

    int32_t step(double current) {
        const double nx = x + dt * (b * x - omega * y + current);
        const double ny = y + dt * (b * y + omega * nx);  // the new x
        if (std::sqrt(ny * ny + nx * nx) >= radius) {
            x = 0.0;
            y = 0.0;
            return 1;
        }
        x = nx;
        y = ny;
        return 0;
    }

    void reset() {
        x = 0.0;
        y = 0.0;
    }
};

// FitzHugh-Nagumo with a slow third variable y that feeds the voltage.
struct FitzHughRinzelNeuron {
    double v = -1.0;
    double w = -0.5;
    double y = 0.0;
    double a = 0.7;
    double b = 0.8;
    double c = -0.775;
    double d = 1.0;
    double delta = 0.08;
    double mu = 1e-4;
    double dt = 0.1;
    double v_threshold = 1.0;

    int32_t step(double current) {
        const double old_v = v;
        v = v + dt * (y + (v * v * v / -3.0 + v - w) + current);
        w = w + dt * delta * (a + v - b * w);
        y = y + dt * mu * (c - v - d * y);
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -1.0;
        w = -0.5;
        y = 0.0;
    }
};

// FitzHugh-Nagumo with the cubic replaced by three line pieces.
struct McKeanNeuron {
    double v = 0.0;
    double w = 0.0;
    double a = 0.25;
    double eps = 0.01;
    double gamma = 0.5;
    double dt = 0.1;
    double v_threshold = 0.8;

    int32_t step(double current) {
        // Written so that a NaN v falls through to the last piece.
        double f;
        if (v < 0.5 * a)
            f = -v;
        else if (v < (1.0 + a) * 0.5)
            f = v - a;
        else
            f = 1.0 - v;
        const double old_v = v;
        v = v + dt * (current + (f - w));
        w = w + dt * eps * (v - gamma * w);  // the new v
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = 0.0;
        w = 0.0;
    }
};

// A relaxation oscillator whose recovery switches sharply with v (tanh of v / beta).
struct TermanWangOscillator {
    double v = -1.5;
    double w = -0.5;
    double gamma = 3.0;
    double beta = 0.2;
    double eps = 0.02;
    double rho = 0.0;
    double dt = 0.05;
    double v_threshold = 1.5;

    int32_t step(double current) {
        const double old_v = v;
        v = v + dt * ((3.0 * v - v * v * v) + 2.0 - w + current + rho);
        w = w + dt * eps * (gamma * (1.0 + std::tanh(old_v / beta)) - w);
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -1.5;
        w = -0.5;
    }
};

// A sigmoidal rate with subtractive adaptation; the spike is a Bernoulli draw
// on the rate over one step and changes no state.
struct BendaHerzNeuron {
    rng::Xoshiro256pp rng;
    double a = 0.0;  // adaptation
    double f_max = 200.0;  // Hz
    double k = 0.1;  // slope
    double I0 = 5.0;  // half-activation current
    double tau_a = 100.0;
    double a_gain = 0.5;
    double dt = 1.0;

    SC_ARGS(BendaHerzNeuron, (uint64_t, seed, 42))

    explicit BendaHerzNeuron(const Args& args) : rng(args.seed) {}

    int32_t step(double current) {
        const double f = f_max / (std::exp(-k * (current - a - I0)) + 1.0);  // the old a
        a = (a_gain * f - a / tau_a) * dt + a;
        return neurons::bernoulli_spike(rng, f * dt / 1000.0);
    }

    void reset() { a = 0.0; }
};

// Excitatory and inhibitory input currents filtered by first-order synapses;
// the membrane then integrates the already-updated currents.
struct AlphaNeuron {
    double v = 0.0;
    double i_exc = 0.0;
    double i_inh = 0.0;
    double v_rest = 0.0;
    double v_threshold = 1.0;
    double tau_m = 20.0;
    double tau_exc = 5.0;
    double tau_inh = 10.0;
    double dt = 1.0;

    int32_t step(double exc_current, double inh_current = 0.0) {
        i_exc = dt * (exc_current - i_exc / tau_exc) + i_exc;
        i_inh = dt * (inh_current - i_inh / tau_inh) + i_inh;
        v = (i_exc - (v - v_rest) - i_inh) / tau_m * dt + v;
        if (v >= v_threshold) {
            v = v_rest;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = v_rest;
        i_exc = 0.0;
        i_inh = 0.0;
    }
};

// Conductance-based LIF: this step's increments act on this step's membrane
// update, and the conductances decay afterwards.
struct COBALIFNeuron {
    double v = -65.0;
    double g_e = 0.0;
    double g_i = 0.0;
    double C = 200.0;
    double g_L = 10.0;
    double E_L = -65.0;
    double E_e = 0.0;
    double E_i = -80.0;
    double tau_e = 5.0;
    double tau_i = 10.0;
    double v_threshold = -50.0;
    double v_reset = -65.0;
    double dt = 0.1;

    int32_t step(double current, double delta_ge = 0.0, double delta_gi = 0.0) {
        const double ge = g_e + delta_ge;
        const double gi = g_i + delta_gi;
        v = (current + (-g_L * (v - E_L) - (ge * (v - E_e) + gi * (v - E_i)))) / C * dt + v;
        g_e = std::exp(-dt / tau_e) * ge;
        g_i = std::exp(-dt / tau_i) * gi;
        if (v >= v_threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = E_L;
        g_e = 0.0;
        g_i = 0.0;
    }
};

// ---------------------------------------------------------------- conductance models

// A persistent sodium current with instantaneous activation and a potassium gate of time
// constant 1; the voltage update already uses this call's n.
struct GutkinErmentroutNeuron {
    double v = -65.0;
    double n = 0.1;
    double g_na = 20.0;
    double g_k = 10.0;
    double g_l = 8.0;
    double e_na = 60.0;
    double e_k = -90.0;
    double e_l = -80.0;
    double dt = 0.05;
    double v_threshold = -20.0;

    int32_t step(double current) {
        n = n + dt * (logistic((v + 25.0) / -5.0) - n);
        const double m_inf = logistic((v + 20.0) / -15.0);
        const double old_v = v;
        v = v + dt * (-g_na * m_inf * (v - e_na) - g_k * n * (v - e_k) - g_l * (v - e_l) + current);
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -65.0;
        n = 0.1;
    }
};

// A polynomial cortical neuron (voltage in units of 100 mV) with one recovery variable.
struct WilsonHRNeuron {
    double v = -0.7;
    double r = 0.1;
    double tau_r = 1.9;
    double v_threshold = 0.4;
    double dt = 0.05;

    int32_t step(double current) {
        const double old_v = v;
        v = v + dt * ((v + 0.92) * (-26.0 * r) - (v - 0.55) * (32.63 * v * v + (47.71 * v + 17.81)) + current);
        r = r + dt * ((1.35 * v - r) + 1.03) / tau_r;  // the new v
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -0.7;
        r = 0.1;
    }
};

// An inward mixed current, a delayed-rectifier potassium current linear in n and a
// calcium-activated potassium current fed by the calcium pool ca, which never goes negative.
struct ChayNeuron {
    double v = -50.0;
    double n = 0.1;
    double ca = 0.1;
    double g_i = 25.0;
    double g_k = 1400.0;
    double g_kca = 12.0;
    double g_l = 7.0;
    double e_i = 100.0;
    double e_k = -75.0;
    double e_l = -40.0;
    double rho = 1.5e-4;
    double k_i = 0.002;
    double k_ca = 0.04;
    double dt = 0.02;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double m_inf = logistic((v + 25.0) * -0.125);
        const double i_i = g_i * m_inf * (v - e_i);
        const double n_inf = logistic((v + 18.0) / -14.0);
        const double tau_n = 1.0 / (at_least(std::fabs(v + 18.0), 0.01) * 0.01);
        const double old_v = v;
        v = v + dt * (-i_i - g_k * n * (v - e_k) - g_kca * (ca / (ca + 1.0)) * (v - e_k) - g_l * (v - e_l) + current);
        n = n + dt * (n_inf - n) / at_least(tau_n, 0.01);
        ca = clip_pool(ca + dt * rho * (-k_i * i_i - k_ca * ca));
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -50.0;
        n = 0.1;
        ca = 0.1;
    }
};

// The Chay model with a fixed potassium time constant, a half-activation level for the
// calcium-activated current and no rate factor on the calcium pool.
struct ChayKeizerNeuron {
    double v = -50.0;
    double n = 0.01;
    double ca = 0.1;
    double g_i = 20.0;
    double g_k = 25.0;
    double g_kca = 12.0;
    double g_l = 0.1;
    double e_i = 100.0;
    double e_k = -75.0;
    double e_l = -40.0;
    double k_d = 1.0;
    double k_i = 0.004;
    double k_ca = 0.03;
    double dt = 0.02;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double m_inf = logistic((v + 25.0) * -0.125);
        const double i_i = g_i * m_inf * (v - e_i);
        const double n_inf = logistic((v + 18.0) / -7.0);
        const double old_v = v;
        v = v + dt * (-i_i - g_k * n * (v - e_k) - g_kca * (ca / (k_d + ca)) * (v - e_k) - g_l * (v - e_l) + current);
        n = gate_tau(n, n_inf, 20.0, dt);
        ca = clip_pool(ca + dt * (-k_i * i_i - k_ca * ca));
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -50.0;
        n = 0.01;
        ca = 0.1;
    }
};

// A bursting beta cell: calcium and potassium currents with a slow potassium gate s.
struct ShermanRinzelKeizerNeuron {
    double v = -50.0;
    double n = 0.1;
    double s = 0.1;
    double g_ca = 3.6;
    double g_k = 10.0;
    double g_s = 4.0;
    double e_ca = 25.0;
    double e_k = -75.0;
    double tau_s = 5000.0;
    double dt = 0.5;
    double v_threshold = -20.0;

    int32_t step(double current) {
        constexpr double c_m = 5.3;
        const double m_inf = logistic((v + 20.0) / -12.0);
        const double n_inf = logistic((v + 16.0) / -5.6);
        const double s_inf = logistic((v + 35.0) / -10.0);
        const double old_v = v;
        v = v + dt * (-g_ca * m_inf * (v - e_ca) - g_k * n * (v - e_k) - g_s * s * (v - e_k) + current) / c_m;
        n = gate_tau(n, n_inf, 9.09, dt);
        s = gate_tau(s, s_inf, tau_s, dt);
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -50.0;
        n = 0.1;
        s = 0.1;
    }
};

// A respiratory pacemaker: fast sodium and potassium spikes over a persistent sodium current
// whose slow inactivation h_nap paces the bursts.
struct ButeraRespiratoryNeuron {
    double v = -50.0;
    double n = 0.01;
    double h_nap = 0.5;
    double g_na = 28.0;
    double g_nap = 2.8;
    double g_k = 11.2;
    double g_l = 2.8;
    double e_na = 50.0;
    double e_k = -85.0;
    double e_l = -65.0;
    double tau_h = 10000.0;
    double dt = 0.1;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double m_inf = logistic((v + 34.0) / -5.0);
        const double h_f = logistic((v + 48.0) * 0.25);
        const double p_inf = logistic((v + 40.0) / -6.0);
        const double n_inf = logistic((v + 29.0) * -0.25);
        const double h_inf = logistic((v + 48.0) / 6.0);
        const double m3 = cube(m_inf);
        const double n4 = (n * n) * (n * n);
        const double old_v = v;
        v = v + dt * (-g_na * m3 * h_f * (v - e_na) - g_nap * p_inf * h_nap * (v - e_na) - g_k * n4 * (v - e_k) -
                      g_l * (v - e_l) + current);
        n = gate_tau(n, n_inf, 10.0, dt);
        h_nap = gate_tau(h_nap, h_inf, tau_h, dt);
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -50.0;
        n = 0.01;
        h_nap = 0.5;
    }
};

// ---------------------------------------------------------------- threshold units for learning

// Adaptive threshold v_th + beta * a; the eligibility trace collects a triangular
// pseudo-derivative of the spike around that threshold. Only the decay factors are kept.
struct EPropALIFNeuron {
    double v = 0.0;
    double a = 0.0;
    double e_trace = 0.0;
    double decay_m;
    double decay_a;
    double v_th = 1.0;
    double beta = 0.07;

    SC_ARGS(EPropALIFNeuron, (double, tau_m, 20.0), (double, tau_a, 200.0), (double, dt, 1.0))
    explicit EPropALIFNeuron(const Args& args)
        : decay_m(std::exp(-args.dt / args.tau_m)), decay_a(std::exp(-args.dt / args.tau_a)) {}

    int32_t step(double current) {
        const double nv = decay_m * v + current;
        const double threshold = beta * a + v_th;  // the adaptation before this call
        const double psi = at_least(0.3 * (1.0 - std::fabs(nv - threshold)), 0.0);
        e_trace = e_trace * decay_a + psi;
        if (nv >= threshold) {
            v = 0.0;
            a = a * decay_a + 1.0;
            return 1;
        }
        v = nv;
        a = a * decay_a;
        return 0;
    }

    void reset() {
        v = 0.0;
        a = 0.0;
        e_trace = 0.0;
    }
};

// A leaky threshold unit whose trace sums the fast-sigmoid surrogate derivative, taken
// on the voltage before any reset.
struct SuperSpikeNeuron {
    double v = 0.0;
    double trace = 0.0;
    double decay_m;
    double decay_e;
    double theta = 1.0;
    double v_reset = 0.0;
    double k = 10.0;

    SC_ARGS(SuperSpikeNeuron, (double, tau_m, 10.0), (double, tau_e, 10.0), (double, dt, 1.0))
    explicit SuperSpikeNeuron(const Args& args)
        : decay_m(std::exp(-args.dt / args.tau_m)), decay_e(std::exp(-args.dt / args.tau_e)) {}

    int32_t step(double current) {
        const double nv = decay_m * v + current;
        const double d = k * std::fabs(nv - theta) + 1.0;
        trace = decay_e * trace + 1.0 / (d * d);
        if (nv >= theta) {
            v = v_reset;
            return 1;
        }
        v = nv;
        return 0;
    }

    void reset() {
        v = 0.0;
        trace = 0.0;
    }
};

// A leaky unit with sigmoidal self-excitation; no time step, one call is one tick.
struct LearnableNeuronModel {
    double v = 0.0;
    double decay = 0.9;
    double gain = 0.1;
    double w_self = 0.05;
    double v_threshold = 1.0;
    double slope = 5.0;
    double midpoint = 0.5;

    int32_t step(double current) {
        const double sigma = logistic(-(v - midpoint) * slope);
        const double nv = w_self * sigma + (decay * v + gain * current);
        if (nv >= v_threshold) {
            v = 0.0;
            return 1;
        }
        v = nv;
        return 0;
    }

    void reset() { v = 0.0; }
};

// A cubic fast variable with recovery w and a slow variable z that makes it burst.
struct PernarowskiNeuron {
    double v = -1.0;
    double w = 0.0;
    double z = 0.0;
    double a = 0.1;
    double s = 0.5;
    double eps_w = 0.1;
    double eps_z = 0.001;
    double b = 0.5;
    double dt = 0.1;
    double v_threshold = 0.5;

    int32_t step(double current) {
        const double old_v = v;
        v = v + dt * (v * v * v / -3.0 + v - w - z + current);
        w = w + dt * eps_w * (v - b * w + a);  // the new v, here and in z
        z = z + dt * eps_z * (s * (v + 0.7) - z);
        return crossed(old_v, v, v_threshold);
    }

    void reset() {
        v = -1.0;
        w = 0.0;
        z = 0.0;
    }
};

}  // namespace neurons::simple_spiking
