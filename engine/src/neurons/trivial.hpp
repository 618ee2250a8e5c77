// Integrate-and-fire models of the trivial family: continuous-time models
// integrated by one forward-Euler step per call, discrete-time maps with stored
// per-step decay factors, two ternary event neurons, an integer quadratic IF
// neuron and a LIF with escape noise. Only IntegerQIFNeuron and EscapeRateNeuron
// take constructor arguments; every other field is a constant of the model.
// Each expression keeps its written grouping so that the Python class and the
// network's dispatch agree bit for bit.
#pragma once
#include <cmath>
#include <cstdint>

#include "neurons/args.hpp"
#include "neurons/draws.hpp"
#include "rng.hpp"

namespace neurons::trivial {

// No leak: the membrane only sums its input.
struct PerfectIntegratorNeuron {
    double v = 0.0;
    double C = 1.0;
    double v_threshold = 1.0;
    double v_reset = 0.0;
    double dt = 0.1;

    int32_t step(double current) {
        v = (current / C) * dt + v;
        if (v >= v_threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = v_reset; }
};

struct QuadraticIFNeuron {
    double v = -1.0;
    double v_reset = -1.0;
    double v_peak = 1.0;
    double dt = 0.01;

    int32_t step(double current) {
        v = (v * v + current) * dt + v;
        if (v >= v_peak) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = v_reset; }
};

// Phase model: a spike is the phase crossing pi upward, after which it is
// shifted back by 2 pi. The phase is never wrapped otherwise.
struct ThetaNeuron {
    double theta = 0.0;
    double dt = 0.01;

    int32_t step(double current) {
        constexpr double pi = 3.141592653589793;
        constexpr double two_pi = 6.283185307179586;
        const double old = theta;
        const double c = std::cos(old);
        const double next = ((c + 1.0) * current + (1.0 - c)) * dt + old;
        if (old < pi && next >= pi) {
            theta = next - two_pi;
            return 1;
        }
        theta = next;
        return 0;
    }

    void reset() { theta = 0.0; }
};

// Quadratic LIF with an adaptation current; spikes on the upward crossing of
// v_peak only, so a membrane that stays above it is neither reset nor counted.
struct NonlinearLIFNeuron {
    double v = -65.0;
    double w = 0.0;
    double v_rest = -65.0;
    double v_c = -40.0;
    double v_peak = -20.0;
    double v_reset = -65.0;
    double a = 0.04;
    double b = 0.5;
    double tau_w = 100.0;
    double C = 1.0;
    double dt = 0.1;

    int32_t step(double current) {
        const double v_old = v;
        const double v_new = ((v - v_c) * (a * (v - v_rest)) - w + current) / C * dt + v;
        w = ((v_new - v_rest) * b - w) / tau_w * dt + w;  // adaptation sees the new v
        if (v_new >= v_peak && v_old < v_peak) {
            v = v_reset;
            return 1;
        }
        v = v_new;
        return 0;
    }

    void reset() {
        v = v_rest;
        w = 0.0;
    }
};

// Spike-frequency adaptation by a conductance pulling the membrane toward E_K.
struct SFANeuron {
    double v = -70.0;
    double g_sfa = 0.0;
    double E_L = -70.0;
    double v_reset = -70.0;
    double v_threshold = -50.0;
    double tau_m = 10.0;
    double tau_sfa = 200.0;
    double delta_g = 0.5;
    double E_K = -80.0;
    double R = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        v = (current * R + (-(v - E_L) - (v - E_K) * g_sfa)) / tau_m * dt + v;
        g_sfa = std::exp(-dt / tau_sfa) * g_sfa;
        if (v >= v_threshold) {
            v = v_reset;
            g_sfa = g_sfa + delta_g;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = E_L;
        g_sfa = 0.0;
    }
};

// Multi-timescale adaptive threshold: two decaying components above omega.
struct MATNeuron {
    double v = -70.0;
    double theta1 = 0.0;
    double theta2 = 0.0;
    double E_L = -70.0;
    double v_reset = -70.0;
    double omega = -50.0;
    double tau_m = 10.0;
    double tau1 = 10.0;
    double tau2 = 200.0;
    double alpha1 = 5.0;
    double alpha2 = 3.0;
    double R = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        v = (current * R - (v - E_L)) / tau_m * dt + v;
        theta1 = std::exp(-dt / tau1) * theta1;
        theta2 = std::exp(-dt / tau2) * theta2;
        if (v >= omega + theta1 + theta2) {
            v = v_reset;
            theta1 = theta1 + alpha1;
            theta2 = theta2 + alpha2;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = E_L;
        theta1 = 0.0;
        theta2 = 0.0;
    }
};

// A spike raises the threshold and leaves the membrane where it is.
struct NonResettingLIFNeuron {
    double v = -65.0;
    double theta = -50.0;
    double v_rest = -65.0;
    double theta0 = -50.0;
    double delta_theta = 5.0;
    double tau_m = 10.0;
    double tau_theta = 50.0;
    double R = 1.0;
    double dt = 0.1;

    int32_t step(double current) {
        const double v_new = dt * ((current * R - (v - v_rest)) / tau_m) + v;
        const double theta_new = dt * (-(theta - theta0) / tau_theta) + theta;
        v = v_new;
        theta = theta_new;
        if (v >= theta) {
            theta = theta + delta_theta;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = v_rest;
        theta = theta0;
    }
};

struct AdaptiveThresholdIFNeuron {
    double v = -65.0;
    double theta = -50.0;
    double v_rest = -65.0;
    double v_reset = -65.0;
    double theta0 = -50.0;
    double delta_theta = 5.0;
    double tau_m = 10.0;
    double tau_theta = 50.0;
    double dt = 0.1;

    int32_t step(double current) {
        const double v_new = dt * ((current - (v - v_rest)) / tau_m) + v;
        const double theta_new = dt * (-(theta - theta0) / tau_theta) + theta;
        v = v_new;
        theta = theta_new;
        if (v >= theta) {
            v = v_reset;
            theta = theta + delta_theta;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = v_rest;
        theta = theta0;
    }
};

// LIF whose input is scaled by an energy budget that each spike spends; with
// too little energy the membrane is held at the threshold instead of firing.
struct EnergyLIFNeuron {
    double v = -70.0;
    double epsilon = 1.0;
    double E_L = -70.0;
    double v_reset = -70.0;
    double v_threshold = -50.0;
    double tau_m = 10.0;
    double tau_e = 500.0;
    double spike_cost = 0.1;
    double epsilon_target = 1.0;
    double R = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        const double v_new = dt * ((epsilon * R * current - (v - E_L)) / tau_m) + v;
        const double eps_new = dt * ((epsilon_target - epsilon) / tau_e) + epsilon;
        v = v_new;
        epsilon = eps_new;
        if (v >= v_threshold) {
            if (epsilon > 0.1) {  // a fixed floor, independent of spike_cost
                v = v_reset;
                epsilon = epsilon - spike_cost;
                return 1;
            }
            v = v_threshold;
        }
        return 0;
    }

    void reset() {
        v = E_L;
        epsilon = epsilon_target;
    }
};

// ---------------------------------------------------------------- discrete-time maps
// The decay factors are e^-0.1 and e^-0.2 per step, stored as literals.

struct KLIFNeuron {
    double v = 0.0;
    double k = 1.0;  // input gain
    double decay = 0.9048374180359595;
    double v_threshold = 1.0;
    double v_reset = 0.0;

    int32_t step(double current) {
        v = k * current + decay * v;
        if (v >= v_threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = 0.0; }
};

// Subtractive reset: what lies above the threshold is kept.
struct GatedLIFNeuron {
    double v = 0.0;
    double leak = 0.9;
    double gate = 1.0;  // input gain
    double v_threshold = 1.0;

    int32_t step(double current) {
        v = gate * current + leak * v;
        if (v >= v_threshold) {
            v = v - v_threshold;
            return 1;
        }
        return 0;
    }

    void reset() { v = 0.0; }
};

// Self-inhibition by a spike trace, decayed before it acts on the membrane.
struct InhibitoryLIFNeuron {
    double v = 0.0;
    double inh_trace = 0.0;
    double decay = 0.9048374180359595;
    double trace_decay = 0.8187307530779818;
    double v_threshold = 1.0;
    double w_inh = 0.5;

    int32_t step(double current) {
        inh_trace = trace_decay * inh_trace;
        v = (decay * v + current) - w_inh * inh_trace;
        if (v >= v_threshold) {
            v = 0.0;
            inh_trace = inh_trace + 1.0;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = 0.0;
        inh_trace = 0.0;
    }
};

// The leak is sigmoid(a). The spike is decided on the previous v, and the reset
// is the leak term zeroed: after a spike the next v is the input alone.
struct ParametricLIFNeuron {
    double v = 0.0;
    double a = 0.0;
    double v_threshold = 1.0;

    int32_t step(double current) {
        const double s = 1.0 / (std::exp(-a) + 1.0);
        const bool fired = v >= v_threshold;
        v = current + (s * v) * (fired ? 0.0 : 1.0);
        return fired ? 1 : 0;
    }

    void reset() { v = 0.0; }
};

// Two rectified integrators, one per sign of the input; their difference fires
// +1 or -1. fmax makes a NaN current count as 0 for both.
struct ComplementaryLIFNeuron {
    double v_pos = 0.0;
    double v_neg = 0.0;
    double decay = 0.9048374180359595;
    double v_threshold = 1.0;

    int32_t step(double current) {
        v_pos = decay * v_pos + std::fmax(current, 0.0);
        v_neg = decay * v_neg + std::fmax(-current, 0.0);
        const double diff = v_pos - v_neg;
        if (diff >= v_threshold) {
            reset();
            return 1;
        }
        if (diff <= -v_threshold) {
            reset();
            return -1;
        }
        return 0;
    }

    void reset() {
        v_pos = 0.0;
        v_neg = 0.0;
    }
};

// Closed-form relaxation toward tanh(drive) with an input-dependent time
// constant, floored at 0.1 (fmax: a NaN product gives the floor); subtractive reset.
struct ClosedFormContinuousNeuron {
    double x = 0.0;
    double gate_slope = -0.5;
    double w_x = 0.8;
    double w_in = 1.0;
    double tau = 10.0;
    double gate_bias = 0.0;
    double v_threshold = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        const double tau_eff =
            std::fmax((1.0 / (std::exp(-(gate_slope * current + gate_bias)) + 1.0)) * tau, 0.1);
        const double f = std::tanh(w_in * current + w_x * x);
        const double g = std::exp(-dt / tau_eff);
        x = (1.0 - g) * f + x * g;
        if (x >= v_threshold) {
            x = x - v_threshold;
            return 1;
        }
        return 0;
    }

    void reset() { x = 0.0; }
};

// At most one event per call; a residue beyond one threshold waits in sigma.
struct SigmaDeltaNeuron {
    double sigma = 0.0;
    double v_threshold = 1.0;

    int32_t step(double current) {
        sigma = current + sigma;
        if (sigma >= v_threshold) {
            sigma = sigma - v_threshold;
            return 1;
        }
        if (sigma <= -v_threshold) {
            sigma = sigma + v_threshold;
            return -1;
        }
        return 0;
    }

    void reset() { sigma = 0.0; }
};

// ---------------------------------------------------------------- integer quadratic IF
// 32-bit two's complement throughout: sums, the square and the constructor's
// negations wrap (computed in unsigned arithmetic), the square is shifted
// arithmetically by the low five bits of k.
struct IntegerQIFNeuron {
    int32_t v;
    int32_t k;
    int32_t v_threshold;
    int32_t v_reset;
    int32_t v_floor;

    SC_ARGS(IntegerQIFNeuron, (int32_t, k, 6), (int32_t, v_threshold, 1024))

    explicit IntegerQIFNeuron(const Args& a)
        : v(0),
          k(a.k),
          v_threshold(a.v_threshold),
          v_reset(static_cast<int32_t>(0u - static_cast<uint32_t>(a.v_threshold))),
          v_floor(static_cast<int32_t>(0u - 2u * static_cast<uint32_t>(a.v_threshold))) {}

    int32_t step(int32_t current) {
        const uint32_t u = static_cast<uint32_t>(v);
        const int32_t square = static_cast<int32_t>(u * u);
        const int32_t sum = static_cast<int32_t>(
            u + static_cast<uint32_t>(current) + static_cast<uint32_t>(square >> (k & 31)));
        v = sum < v_floor ? v_floor : sum;
        if (v >= v_threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = 0; }  // the constructor's value, not v_reset
};

// ---------------------------------------------------------------- escape noise
// LIF whose spikes are random: the hazard grows exponentially with the distance
// of v above theta. One uniform draw per step, whatever the hazard.
struct EscapeRateNeuron {
    rng::Xoshiro256pp rng;
    double v = -70.0;
    double v_rest = -70.0;
    double v_reset = -70.0;
    double theta = -50.0;
    double tau_m = 10.0;
    double rho0 = 0.001;  // hazard at v = theta, per ms
    double Delta = 3.0;   // escape-noise width
    double R = 1.0;
    double dt = 1.0;

    SC_ARGS(EscapeRateNeuron, (uint64_t, seed, 42))

    explicit EscapeRateNeuron(const Args& a) : rng(a.seed) {}

    int32_t step(double current) {
        v = (current * R - (v - v_rest)) / tau_m * dt + v;
        const double hazard = std::exp((v - theta) / Delta) * rho0;
        if (neurons::bernoulli_spike(rng, hazard * dt)) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = v_rest; }
};

}  // namespace neurons::trivial
