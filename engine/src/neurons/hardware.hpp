// Neuron models after the neuron circuits of neuromorphic chips. Five compute in signed
// 32-bit integers as the chips do: sums, differences and products wrap (done in unsigned
// arithmetic, where a wrap is defined), right shifts are arithmetic with the count taken
// modulo 32, divisions truncate toward zero, and a float becomes an integer by saturation.
// The other four are floating-point models stepped by forward Euler; each expression keeps
// its written grouping so that the Python class and the network's dispatch agree bit for bit.
#pragma once
#include <cmath>
#include <cstdint>

#include "error.hpp"
#include "neuron.hpp"
#include "neurons/args.hpp"

namespace neurons::hardware {

// ---------------------------------------------------------------- 32-bit integer rules

inline int32_t add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline int32_t sub32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

inline int32_t mul32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Arithmetic right shift (rounds toward minus infinity) by the low five bits of count.
inline int32_t shr32(int32_t x, int32_t count) { return x >> (count & 31); }

// Truncating division. The two quotients that i32 cannot give stop the call.
inline int32_t div32(int32_t a, int32_t b) {
    if (b == 0) engine::panic("attempt to divide by zero");
    if (a == INT32_MIN && b == -1) engine::panic("attempt to divide with overflow");
    return a / b;
}

// x truncated toward zero and saturated to the i32 range; NaN gives 0. The bounds are
// tested first because casting a value outside the range is undefined.
inline int32_t saturating_i32(double x) {
    if (x != x) return 0;
    if (x >= 2147483648.0) return INT32_MAX;
    if (x <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(x);
}

// ---------------------------------------------------------------- integer models

// Current-based LIF whose decays are integer divisions: u loses u / u_decay, v loses
// v / v_decay per step. The divisors are constants, so neither division can fail.
struct LoihiCUBANeuron {
    int32_t v = 0;
    int32_t u = 0;
    int32_t v_decay = 10;
    int32_t u_decay = 5;
    int32_t v_threshold = 1000;
    int32_t v_reset = 0;

    int32_t step(int32_t weighted_input) {
        u = add32(sub32(u, div32(u, u_decay)), weighted_input);
        v = add32(sub32(v, div32(v, v_decay)), u);
        if (v >= v_threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = 0;
        u = 0;
    }
};

// A decay shift below 2 acts as a shift by 1.
inline int32_t loihi_shift(int32_t k) { return k < 2 ? 1 : k; }

// Three state words with shift decays: s1 takes the input and fires, s2 follows s1 and feeds
// back into it, s3 counts spikes (it acts on neither s1 nor s2).
struct Loihi2Neuron {
    int32_t s1 = 0;
    int32_t s2 = 0;
    int32_t s3 = 0;
    int32_t s1_shift = 10;
    int32_t s2_shift = 5;
    int32_t s3_shift = 50;  // shifts by 18, the count being taken modulo 32
    int32_t w_s1_s2 = 1;
    int32_t w_s1_s3 = 0;
    int32_t w_s2_s3 = 0;
    int32_t v_threshold = 1000;
    int32_t s1_reset = 0;
    int32_t s3_spike_increment = 10;

    int32_t step(int32_t weighted_input) {
        const int32_t s1_old = s1;
        s2 = add32(sub32(s2, shr32(s2, loihi_shift(s2_shift))), mul32(w_s1_s2, s1_old));
        s3 = add32(sub32(add32(s3, mul32(w_s1_s3, s1_old)), shr32(s3, loihi_shift(s3_shift))),
                   mul32(w_s2_s3, s2));
        s1 = sub32(add32(add32(weighted_input, s1_old), s2), shr32(s1_old, loihi_shift(s1_shift)));
        if (s1 >= v_threshold) {
            s1 = s1_reset;
            s3 = add32(s3, s3_spike_increment);
            return 1;
        }
        return 0;
    }

    void reset() { s1 = s2 = s3 = 0; }
};

// Integrate with a constant leak.
struct TrueNorthNeuron {
    int32_t v = 0;
    int32_t leak = 0;
    int32_t threshold;
    int32_t v_reset = 0;

    SC_ARGS(TrueNorthNeuron, (int32_t, threshold, 100))
    explicit TrueNorthNeuron(const Args& a) : threshold(a.threshold) {}

    int32_t step(int32_t weighted_input) {
        v = add32(v, sub32(weighted_input, leak));
        if (v >= threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = 0; }
};

// Multiplicative decay toward rest: v - v_rest keeps decay_factor / 2^decay_shift of itself,
// rounded toward minus infinity (so a negative v stops one below rest). During the
// refractory count the input is dropped.
struct SpiNNaker2Neuron {
    int32_t v = 0;
    int32_t refrac_count = 0;
    int32_t v_rest = 0;
    int32_t v_reset = 0;
    int32_t v_threshold = 1024;
    int32_t decay_factor = 243;
    int32_t decay_shift = 8;
    int32_t refractory_period = 2;

    int32_t step(int32_t current) {
        if (refrac_count > 0) {
            refrac_count = refrac_count - 1;  // positive, so this cannot wrap
            return 0;
        }
        v = add32(add32(v_rest, current), shr32(mul32(sub32(v, v_rest), decay_factor), decay_shift));
        if (v >= v_threshold) {
            v = v_reset;
            refrac_count = refractory_period;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = v_rest;
        refrac_count = 0;
    }
};

// base^rank by binary exponentiation: the low bit picks base or 1, then for each higher bit
// of |rank| the base is squared and multiplied in where the bit is set. A negative rank gives
// the reciprocal. |rank| is formed unsigned, so INT32_MIN has a magnitude too.
inline double rank_power(double base, int32_t rank) {
    uint32_t n = rank < 0 ? 0u - static_cast<uint32_t>(rank) : static_cast<uint32_t>(rank);
    double result = (n & 1u) ? base : 1.0;
    for (n >>= 1; n != 0; n >>= 1) {
        base = base * base;
        if (n & 1u) result = result * base;
    }
    return rank < 0 ? 1.0 / result : result;
}

// Rank-order coding: the input of rank r counts decay^r times its weight. Fires at most once;
// after that it ignores every input until reset.
struct AkidaNeuron {
    int32_t v = 0;
    int32_t rank = 0;
    bool fired = false;
    int32_t threshold;
    double decay = 0.75;

    SC_ARGS(AkidaNeuron, (int32_t, threshold, 100))
    explicit AkidaNeuron(const Args& a) : threshold(a.threshold) {}

    int32_t step(int32_t weight) {
        if (fired) return 0;
        const int32_t c = saturating_i32(rank_power(decay, rank) * static_cast<double>(weight));
        v = add32(v, c);
        rank = add32(rank, 1);
        if (v >= threshold) {
            fired = true;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = 0;
        rank = 0;
        fired = false;
    }
};

// ---------------------------------------------------------------- floating-point models

// Current-mode integrator relaxing toward gain * input + i0.
struct DPINeuron {
    double i_mem = 0.0;
    double threshold = 1.0;
    double i_reset = 0.0;
    double i0 = 0.01;
    double tau = 20.0;
    double gain = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        i_mem = ((gain * current - i_mem) + i0) / tau * dt + i_mem;
        if (i_mem >= threshold) {
            i_mem = i_reset;
            return 1;
        }
        return 0;
    }

    void reset() { i_mem = 0.0; }
};

// LIF with a refractory countdown in time units; the input is dropped while it runs.
struct SpiNNakerLIFNeuron {
    double v = -70.0;
    double refrac_count = 0.0;
    double v_rest = -70.0;
    double v_reset = -70.0;
    double v_threshold = -50.0;
    double tau_m = 20.0;
    double i_offset = 0.0;
    double tau_refrac = 2.0;
    double dt = 1.0;

    int32_t step(double current) {
        if (refrac_count > 0.0) {
            refrac_count = refrac_count - dt;  // may end below zero; the next step integrates
            return 0;
        }
        v = v + dt * ((current - (v - v_rest)) + i_offset) / tau_m;
        if (v >= v_threshold) {
            v = v_reset;
            refrac_count = tau_refrac;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = v_rest;
        refrac_count = 0.0;
    }
};

// Adaptive exponential integrate-and-fire with AdExNeuron's defaults, stepped by the very
// same update.
struct BrainScaleSAdExNeuron {
    double v = -65.0;
    double w = 0.0;
    double v_rest = -65.0;
    double v_reset = -68.0;
    double v_peak = -50.0;
    double Delta_T = 2.0;
    double v_T = -55.0;
    double tau_m = 20.0;
    double tau_w = 100.0;
    double a = 0.5;
    double b = 7.0;
    double dt = 0.1;

    int32_t step(double current) { return neuron::adex_step(*this, current); }

    void reset() { neuron::adex_reset(*this); }
};

// Soma and dendrite: the dendrite integrates the input first, then the soma follows the new
// dendrite value. The spike current's exponent is capped from above only (NaN counts as the
// cap), so a very negative soma makes the term vanish.
struct NeuroGridNeuron {
    double v_s = -65.0;
    double v_d = -65.0;
    double tau_s = 20.0;
    double tau_d = 50.0;
    double g_c = 0.5;
    double Delta_T = 2.0;
    double v_rest = -65.0;
    double v_T = -50.0;
    double v_peak = 20.0;
    double v_reset = -65.0;
    double dt = 0.1;

    int32_t step(double current) {
        v_d = v_d + dt * ((current - (v_d - v_rest)) - g_c * (v_d - v_s)) / tau_d;
        const double z = (v_s - v_T) / Delta_T;
        const double e = std::exp(z < 20.0 ? z : 20.0);
        v_s = v_s + dt * ((g_c * (v_d - v_s) + Delta_T * e) - (v_s - v_rest)) / tau_s;
        if (v_s >= v_peak) {
            v_s = v_reset;
            return 1;
        }
        return 0;
    }

    // The start values, not copies of v_rest.
    void reset() {
        v_s = -65.0;
        v_d = -65.0;
    }
};

}  // namespace neurons::hardware
