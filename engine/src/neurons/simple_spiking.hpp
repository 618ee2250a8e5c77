// Spiking models of the simple_spiking family: an adapting rate neuron that
// fires at random (BendaHerzNeuron, seeded), and integrate-and-fire neurons
// driven through synaptic state: first-order synaptic currents (AlphaNeuron) or
// conductances (COBALIFNeuron). One forward-Euler step per call.
#pragma once
#include <cmath>
#include <cstdint>

#include "neurons/args.hpp"
#include "neurons/draws.hpp"
#include "rng.hpp"

namespace neurons::simple_spiking {

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

}  // namespace neurons::simple_spiking
