// The fixed-point LIF neuron and the classic floating-point point neurons.
//
// Each model is a plain record: state fields first, then parameters. `step` is
// defined here so that the Python class, the batch runs and the network's
// dispatch all inline the same arithmetic; the expressions keep their written
// grouping because the build does not contract or reassociate floating point.
#pragma once
#include <cmath>
#include <cstdint>
#include <utility>

#include "neurons/args.hpp"

namespace neuron {

// Stops with "mask width must be 1..=32, got {width}".
[[noreturn]] void bad_mask_width(uint64_t width);

// Low k bits of x read as a signed k-bit number; k must already be 1..32.
inline int32_t wrap_bits_unchecked(int64_t x, uint32_t k) {
    const uint32_t sh = 64u - k;
    return static_cast<int32_t>(static_cast<int64_t>(static_cast<uint64_t>(x) << sh) >> sh);
}

// Two's-complement wrap of x to `width` bits (sign-extended from bit width - 1).
// The width is taken as 64 bits so that a doubled 32-bit width is never wrapped
// before it is checked.
inline int32_t wrap_to_width(int64_t x, uint64_t width) {
    if (width - 1 >= 32) bad_mask_width(width);  // width 0 wraps to a huge value
    return wrap_bits_unchecked(x, static_cast<uint32_t>(width));
}

// Hardware-style LIF: signed 16-bit membrane, integer leak and gain factors
// scaled down by 2^fraction, everything wrapped to data_width bits.
struct FixedPointLif {
    int32_t refractory_counter;
    uint32_t data_width;
    uint32_t fraction;
    int32_t refractory_period;
    int16_t v;
    int16_t v_rest;
    int16_t v_reset;
    int16_t v_threshold;

    SC_ARGS(FixedPointLif, (uint32_t, data_width, 16), (uint32_t, fraction, 8), (int16_t, v_rest, 0),
            (int16_t, v_reset, 0), (int16_t, v_threshold, 256), (int32_t, refractory_period, 2))

    // Nothing is validated here: a bad width is reported by the first step.
    explicit FixedPointLif(const Args& a)
        : refractory_counter(0),
          data_width(a.data_width),
          fraction(a.fraction),
          refractory_period(a.refractory_period),
          v(a.v_rest),
          v_rest(a.v_rest),
          v_reset(a.v_reset),
          v_threshold(a.v_threshold) {}

    // Returns (spike, membrane value as the hardware would present it).
    std::pair<int32_t, int16_t> step(int16_t leak_k, int16_t gain_k, int16_t i_t,
                                     int16_t noise_in = 0) {
        if (refractory_counter > 0) {
            refractory_counter -= 1;
            v = v_rest;
            // Wrapping an i16 to any width of 1..32 bits stays within i16.
            return {0, static_cast<int16_t>(wrap_to_width(v_rest, data_width))};
        }
        // The difference is wrapped at twice the width, so the width must be
        // 1..16. Checked before anything is written: a failed step changes nothing.
        const uint64_t w2 = 2 * static_cast<uint64_t>(data_width);
        if (w2 - 1 >= 32) bad_mask_width(w2);
        const uint32_t w = data_width;
        const int32_t d = wrap_bits_unchecked(
            wrap_bits_unchecked(int32_t{v_rest} - int32_t{v}, static_cast<uint32_t>(w2)), 16);
        const uint32_t sh = fraction & 31u;
        // i16 * i16 fits in i32 exactly; >> on a negative value rounds toward -inf.
        const int32_t leak = wrap_bits_unchecked((d * int32_t{leak_k}) >> sh, w);
        const int32_t input = wrap_bits_unchecked((int32_t{i_t} * int32_t{gain_k}) >> sh, w);
        // Four terms of at most 16 bits each: the sum is exact in 32 bits.
        const int32_t v_new = wrap_bits_unchecked(int32_t{v} + noise_in + input + leak, w);
        if (v_new >= v_threshold) {
            v = v_reset;
            refractory_counter = refractory_period;
            return {1, static_cast<int16_t>(wrap_bits_unchecked(v_reset, w))};
        }
        v = static_cast<int16_t>(v_new);  // w <= 16, so v_new is an i16 value
        return {0, static_cast<int16_t>(v_new)};
    }

    void reset() {
        v = v_rest;
        refractory_counter = 0;
    }
};

// Izhikevich's two-variable model, integrated as two Euler half-steps.
struct Izhikevich {
    double v;
    double u;
    double a;
    double b;
    double c;
    double d;
    double dt;

    SC_ARGS(Izhikevich, (double, a, 0.02), (double, b, 0.2), (double, c, -65.0), (double, d, 8.0), (double, dt, 1.0))

    explicit Izhikevich(const Args& p) : v(p.c), u(p.b * p.c), a(p.a), b(p.b), c(p.c), d(p.d), dt(p.dt) {}

    int32_t step(double current) {
        const double h = dt * 0.5;
        for (int half = 0; half < 2; ++half) {
            const double f = (((5.0 * v + (0.04 * v) * v) + 140.0) - u) + current;
            const double g = (b * v - u) * a;
            v = v + f * h;
            u = u + g * h;
        }
        // Selects rather than a branch, so that a loop over many neurons can step them side by
        // side; the values are those of the branch.
        const bool spike = v >= 30.0;
        v = spike ? c : v;
        u = spike ? u + d : u;
        return spike;
    }

    void reset() {
        v = c;
        u = c * b;
    }
};

// The exponential term's argument (v - v_T) / Delta_T, clamped to [-20, 20].
inline double exp_argument(double v, double v_T, double Delta_T) {
    return std::fmin(std::fmax((v - v_T) / Delta_T, -20.0), 20.0);
}

// One step of adaptive exponential integrate-and-fire on a record with AdExNeuron's fields
// (both derivatives from the old v and w). Every AdEx-type record steps through this one
// function, so that they cannot drift apart.
template <class M>
inline int32_t adex_step(M& m, double current) {
    const double e = std::exp(exp_argument(m.v, m.v_T, m.Delta_T));
    const double dv = (((e * m.Delta_T - (m.v - m.v_rest)) - m.w) + current) / m.tau_m;
    const double dw = (m.a * (m.v - m.v_rest) - m.w) / m.tau_w;
    m.v = m.v + m.dt * dv;
    m.w = m.w + m.dt * dw;
    if (m.v >= m.v_peak) {
        m.v = m.v_reset;
        m.w = m.w + m.b;
        return 1;
    }
    return 0;
}

template <class M>
inline void adex_reset(M& m) {
    m.v = m.v_rest;
    m.w = 0.0;
}

// Adaptive exponential integrate-and-fire.
struct AdExNeuron {
    double v = -65.0;
    double w = 0.0;
    double v_rest = -65.0;
    double v_reset = -68.0;
    double v_peak = -50.0;
    double v_T = -55.0;
    double Delta_T = 2.0;
    double tau_m = 20.0;
    double tau_w = 100.0;
    double a = 0.5;
    double b = 7.0;
    double dt = 0.1;

    int32_t step(double current) { return adex_step(*this, current); }

    void reset() { adex_reset(*this); }
};

// Exponential integrate-and-fire.
struct ExpIFNeuron {
    double v = -65.0;
    double v_rest = -65.0;
    double v_reset = -68.0;
    double v_peak = -50.0;
    double v_T = -55.0;
    double Delta_T = 2.0;
    double tau = 20.0;
    double dt = 0.1;

    int32_t step(double current) {
        v = v + (((std::exp(exp_argument(v, v_T, Delta_T)) * Delta_T - (v - v_rest)) + current) / tau) * dt;
        if (v >= v_peak) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = v_rest; }
};

// Lapicque's leaky integrate-and-fire with a membrane resistance.
struct LapicqueNeuron {
    double v;
    double v_rest;
    double v_reset;
    double threshold;
    double tau;
    double resistance;
    double dt;

    SC_ARGS(LapicqueNeuron, (double, tau, 20.0), (double, resistance, 1.0), (double, threshold, 1.0), (double, dt, 1.0))

    explicit LapicqueNeuron(const Args& a)
        : v(0.0), v_rest(0.0), v_reset(0.0), threshold(a.threshold), tau(a.tau), resistance(a.resistance),
          dt(a.dt) {}

    int32_t step(double current) {
        v = v + ((current * resistance - (v - v_rest)) / tau) * dt;
        if (v >= threshold) {
            v = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() { v = v_rest; }
};

// LIF whose threshold adapts to keep a running spike rate near a target.
// Built only by the network, with the defaults below; it has no reset.
struct HomeostaticLif {
    double v;
    double theta;
    double v_rest;
    double v_reset;
    double rate;
    double target;
    double eta;
    double decay;
    double theta0;

    explicit HomeostaticLif(double v_ = 0.0, double theta_ = 1.0, double v_rest_ = 0.0,
                            double v_reset_ = 0.0, double rate_ = 0.0, double target_ = 0.1,
                            double eta_ = 0.01, double decay_ = 0.95, double theta0_ = 1.0)
        : v(v_),
          theta(theta_),
          v_rest(v_rest_),
          v_reset(v_reset_),
          rate(rate_),
          target(target_),
          eta(eta_),
          decay(decay_),
          theta0(theta0_) {}

    int32_t step(double current) {
        v = v + (current - (v - v_rest)) / 20.0;
        int32_t spike = 0;
        if (v >= theta) {  // the threshold before this step's adaptation
            spike = 1;
            v = v_reset;
        }
        const double s = spike;
        rate = (1.0 - decay) * s + rate * decay;
        theta = theta + (rate - target) * eta;
        // Plain comparisons: a NaN threshold stays NaN.
        if (theta < 0.1) theta = 0.1;
        if (theta > 10.0 * theta0) theta = 10.0 * theta0;
        return spike;
    }
};

}  // namespace neuron
