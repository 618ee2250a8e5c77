// Integrate-and-fire models integrated in continuous time by one forward-Euler
// step per call. Every field is a constant of the model; no constructor takes
// arguments. Each expression keeps its written grouping so that the Python
// class and the network's dispatch agree bit for bit.
#pragma once
#include <cmath>
#include <cstdint>

namespace neurons::trivial {

// No leak: the membrane only sums its input.
struct PerfectIntegratorNeuron {
    double v = 0.0;
    double C = 1.0;
    double v_threshold = 1.0;
    double v_reset = 0.0;
    double dt = 0.1;

    PerfectIntegratorNeuron() = default;

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

    QuadraticIFNeuron() = default;

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

    ThetaNeuron() = default;

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

    NonlinearLIFNeuron() = default;

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

    SFANeuron() = default;

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

    MATNeuron() = default;

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

    NonResettingLIFNeuron() = default;

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

    AdaptiveThresholdIFNeuron() = default;

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

    EnergyLIFNeuron() = default;

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

}  // namespace neurons::trivial
