// Neurons of the ai_optimized family: small spiking and rate units built around one idea each
// (several time scales, an input gate, a prediction error, a rate-stretched time constant, a
// phase code, a decision on the previous potential, a ring attractor, a plain LIF with two
// idle traces), and the Arcane neuron, which combines most of them with a learned prediction.
// Each expression keeps its written grouping so that the Python class and the network's
// dispatch agree bit for bit.
#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "neurons/args.hpp"
#include "neurons/buffers.hpp"
#include "neurons/kinetics.hpp"

namespace neurons::ai_optimized {

// Three leaky variables on time scales of 5, 200 and 10000 steps; the slowest one lowers the
// threshold of the fastest.
struct MultiTimescaleNeuron {
    double v_fast = 0.0;
    double v_medium = 0.0;
    double v_slow = 0.0;
    double tau_fast = 5.0;
    double tau_medium = 200.0;
    double tau_slow = 10000.0;
    double medium_gain = 10.0;
    double slow_gain = 0.05;
    double threshold_slope = 0.3;
    double base_threshold = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        v_fast = v_fast + (current - v_fast) / tau_fast * dt;
        const double thr = base_threshold - threshold_slope * v_slow;  // the old v_slow
        const int32_t s = v_fast >= thr ? 1 : 0;
        const double sf = s ? 1.0 : 0.0;
        v_medium = v_medium + (sf * medium_gain - v_medium) / tau_medium * dt;
        v_slow = v_slow + (v_medium * slow_gain - v_slow) / tau_slow * dt;  // the new v_medium
        if (s) v_fast = 0.0;
        return s;
    }

    void reset() { v_fast = v_medium = v_slow = 0.0; }
};

// A leaky unit whose input passes a sigmoid gate of the input and of its own potential.
struct AttentionGatedNeuron {
    double v = 0.0;
    double gate_input_weight = 1.0;
    double gate_v_weight = 0.5;
    double tau = 10.0;
    double threshold = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        const double g = logistic(-(gate_v_weight * v + gate_input_weight * current));
        v = v + (g * current - v) / tau * dt;
        if (v >= threshold) {
            v = 0.0;
            return 1;
        }
        return 0;
    }

    void reset() { v = 0.0; }
};

// Driven by the size of the error between its input and a slowly tracking prediction.
struct PredictiveCodingNeuron {
    double v = 0.0;
    double pred = 0.0;
    double tau = 10.0;
    double tau_pred = 50.0;
    double threshold = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        const double e = current - pred;
        v = v + dt * (std::fabs(e) - v) / tau;
        pred = pred + dt * e / tau_pred;
        if (v >= threshold) {  // the prediction keeps tracking through a spike
            v = 0.0;
            return 1;
        }
        return 0;
    }

    void reset() {
        v = 0.0;
        pred = 0.0;
    }
};

// A leaky unit whose time constant stretches with its own firing rate over the last 50 steps.
struct SelfReferentialNeuron {
    std::array<uint8_t, 50> spike_ring{};
    double v = 0.0;
    double tau = 10.0;
    double threshold = 1.0;
    double rate_scale = 0.1;
    double dt = 1.0;
    std::size_t ring_pos = 0;
    std::size_t window = 50;  // the ring's length, so ring_pos always indexes it

    int32_t step(double current) {
        unsigned count = 0;
        for (uint8_t b : spike_ring) count += b;
        // A rate, not an integer quotient.
        const double tau_eff =
            (static_cast<double>(count) / static_cast<double>(window) / rate_scale + 1.0) * tau;
        v = v + (current - v) / tau_eff * dt;
        const int32_t s = v >= threshold ? 1 : 0;
        if (s) v = 0.0;
        spike_ring[ring_pos] = static_cast<uint8_t>(s);
        ring_pos = (ring_pos + 1) % window;
        return s;
    }

    void reset() {
        v = 0.0;
        spike_ring.fill(0);
        ring_pos = 0;
    }
};

// A phase-amplitude oscillator that fires while amplitude * cos(phase) is above the threshold.
// Nothing resets on a spike, and the phase is never wrapped.
struct CompositionalBindingNeuron {
    double phi = 0.0;
    double amplitude = 0.0;
    double omega = 0.1;
    double tau = 10.0;
    double threshold = 0.8;
    double dt = 1.0;

    int32_t step(double current) {
        phi = phi + omega * dt;
        amplitude = amplitude + (current - amplitude) / tau * dt;
        return amplitude * std::cos(phi) > threshold ? 1 : 0;
    }

    void reset() {
        phi = 0.0;
        amplitude = 0.0;
    }
};

// A discrete leaky neuron that decides its spike on the potential before the update; the
// update then restarts the potential from the input.
struct DifferentiableSurrogateNeuron {
    double v = 0.0;
    double decay = 0.9;
    double threshold = 1.0;

    int32_t step(double current) {
        const int32_t s = v >= threshold ? 1 : 0;
        v = current + decay * v * (s ? 0.0 : 1.0);
        return s;
    }

    void reset() { v = 0.0; }
};

// A ring of rate units with distance-dependent recurrent weights that holds a bump of
// activity. The weights are one row-major n_units x n_units matrix.
struct ContinuousAttractorNeuron {
    std::vector<double> u;
    std::vector<double> weights;
    double tau;
    double dt;
    std::size_t n_units;
    std::vector<double> rates;  // scratch: f(u) of the step's old u, one per unit

    SC_ARGS(ContinuousAttractorNeuron, (std::size_t, n_units, 16))
    // The n x n weights come first, so that a size whose matrix cannot exist fails before
    // anything of size n is allocated.
    explicit ContinuousAttractorNeuron(const Args& a) : ContinuousAttractorNeuron(ring_weights(a.n_units), a.n_units) {}

    // W[i][j] = 4 exp(-d^2 / 2) - 1/2 for the distance d between i and j around the ring.
    static std::vector<double> ring_weights(std::size_t n) {
        std::vector<double> w = filled(n, n, 0.0);
        const double nf = static_cast<double>(n);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                const double diff = std::fabs(static_cast<double>(i) - static_cast<double>(j));
                const double around = nf - diff;
                const double d = around < diff ? around : diff;
                w[i * n + j] = 4.0 * std::exp(-0.5 * (d * d)) - 0.5;
            }
        }
        return w;
    }

    int32_t step(double current) {
        // f(x) = r^2 / (r^2 + 1), r = max(x, 0) with NaN giving 0; each unit's f is formed
        // once from the old u, which leaves every sum as it would be term by term.
        for (std::size_t j = 0; j < n_units; ++j) {
            const double r = clip_pool(u[j]);  // NaN counts as 0
            rates[j] = r * r / (r * r + 1.0);
        }
        // Every a_i reads only the rates of the old u, so u can be overwritten in place.
        bool fired = false;
        for (std::size_t i = 0; i < n_units; ++i) {
            const double* row = weights.data() + i * n_units;
            double a = -0.0;
            for (std::size_t j = 0; j < n_units; ++j) a = a + rates[j] * row[j];
            u[i] = u[i] + (a - u[i] + current) / tau * dt;
            // The largest new u, NaN ignored, is above 1.0 exactly when some new u is.
            if (u[i] > 1.0) fired = true;
        }
        return fired ? 1 : 0;
    }

    // Index of the largest u; equal values move it to the later index, and a NaN entry is
    // taken and then left for the next one.
    std::size_t bump_position() const {
        if (n_units < 2) return 0;
        std::size_t idx = 0;
        double best = u[0];
        for (std::size_t k = 1; k < n_units; ++k) {
            if (!(best > u[k])) {
                idx = k;
                best = u[k];
            }
        }
        return idx;
    }

    void reset() { std::fill(u.begin(), u.end(), 0.0); }

private:
    ContinuousAttractorNeuron(std::vector<double>&& w, std::size_t n)
        : u(filled(n, 0.0)), weights(std::move(w)), tau(10.0), dt(1.0), n_units(n), rates(filled(n, 0.0)) {}
};

// A leaky integrate-and-fire unit that also reports two traces no operation but reset writes.
struct MetaPlasticNeuron {
    double v = 0.0;
    double error_trace = 0.0;
    double expected_reward = 0.0;
    double tau = 10.0;
    double threshold = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        v = v + (current - v) / tau * dt;
        if (v >= threshold) {
            v = 0.0;
            return 1;
        }
        return 0;
    }

    void reset() { v = error_trace = expected_reward = 0.0; }
};

// Three potentials on time scales of 5, 200 and 10000 steps, a sigmoid input gate, a learned
// unit-length prediction of the fast potential, the surprise at its error, a novelty level from
// the last 20 surprises, and a threshold that rises with the deep potential and falls with
// novelty. Reset clears the fast and working potentials and the spike memory only: what the
// neuron has learned (weights, v_deep, surprises) stays.
struct ArcaneNeuron {
    std::array<uint8_t, 50> spike_ring{};
    std::array<double, 20> surprise_ring = filled_surprises();
    double v_fast = 0.0;
    double v_work = 0.0;
    double v_deep = 0.0;
    double w_fast = 0.6;
    double w_work = 0.3;
    double w_deep = 0.1;
    std::size_t spike_pos = 0;     // spike flags written; the next slot is spike_pos mod 50
    std::size_t surprise_pos = 0;  // surprises written; the next slot is surprise_pos mod 20
    double tau_fast = 5.0;
    double tau_work = 200.0;
    double tau_deep = 10000.0;
    double work_gain = 0.3;
    double deep_gain = 0.05;
    double threshold_base = 1.0;
    double threshold_deep = 0.2;
    double threshold_novelty = 0.3;
    double gate_input = 0.8;
    double gate_fast = 0.1;
    double gate_work = 0.05;
    double gate_novelty = 0.05;
    double surprise_slope = 5.0;
    double surprise_offset = 0.1;
    double learning_rate = 0.01;
    double surprise_boost = 2.0;
    double rate_inhibition = 0.3;
    double dt = 1.0;

    static constexpr std::array<double, 20> filled_surprises() {
        std::array<double, 20> r{};
        r.fill(0.5);
        return r;
    }

    int32_t step(double current) {
        double spikes = -0.0;
        for (uint8_t b : spike_ring) spikes = spikes + static_cast<double>(b);
        const double rate = spikes / 50.0;
        double surprises = -0.0;
        for (double x : surprise_ring) surprises = surprises + x;
        const double novelty = 1.0 - surprises / 20.0;

        const double gate =
            logistic(-(((gate_input * current + gate_fast * v_fast) + gate_work * v_work) + gate_novelty * novelty));
        const double vf = v_fast + ((gate * current - v_fast) - rate * rate_inhibition) / tau_fast * dt;
        const double prediction = w_deep * v_deep + (w_work * v_work + w_fast * vf);
        const double error = std::fabs(vf - prediction);
        const double surprise = logistic(-surprise_slope * (error - surprise_offset));
        v_fast = vf;
        surprise_ring[surprise_pos % 20] = surprise;
        surprise_pos = surprise_pos + 1;

        // The old v_deep; a NaN product gives the floor.
        const double thr_raw = (1.0 - threshold_novelty * novelty) * ((threshold_deep * v_deep + 1.0) * threshold_base);
        const double thr = at_least(thr_raw, 0.1);

        int32_t s = 0;
        double post = vf;  // the potential after the spike's reset, which learning predicts
        if (vf >= thr) {
            s = 1;
            v_work = v_work + vf * work_gain / tau_work * dt;
            v_fast = 0.0;
            post = 0.0;
        }
        v_work = v_work - v_work / tau_work * dt;
        v_deep = v_deep + (deep_gain * v_work * surprise - v_deep) / tau_deep * dt;

        const double delta = (post - prediction) * ((surprise * surprise_boost + 1.0) * learning_rate);
        w_fast = w_fast + delta * post;
        w_work = w_work + delta * v_work;
        w_deep = w_deep + delta * v_deep;
        const double n2 = w_deep * w_deep + (w_fast * w_fast + w_work * w_work);
        if (n2 > 0.0) {  // zero or NaN: left unnormalised
            const double norm = std::sqrt(n2);
            w_fast = w_fast / norm;
            w_work = w_work / norm;
            w_deep = w_deep / norm;
        }

        spike_ring[spike_pos % 50] = static_cast<uint8_t>(s);
        spike_pos = spike_pos + 1;
        return s;
    }

    void reset() {
        v_fast = 0.0;
        v_work = 0.0;
        spike_ring.fill(0);
        spike_pos = 0;
    }
};

}  // namespace neurons::ai_optimized
