// Surrogate-gradient training pieces: a fixed-point LIF that records each step for a later
// backward pass, and a dense layer with input/output caches, backward pass and weight update.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "layer.hpp"
#include "neuron.hpp"

namespace grad::surrogate {

// The derivative that stands in for the spike function's.
enum class SurrogateKind : uint8_t {
    FastSigmoid = 0,
    SuperSpike = 1,
    ArcTan = 2,
    StraightThrough = 3,
};

struct Surrogate {
    SurrogateKind kind;
    float k;  // sharpness; not used by straight-through
};

// Case-insensitive (ASCII) with "-" read as "_"; k defaults per kind when not given.
// Throws the unknown-name message quoting the name as given.
Surrogate parse_surrogate(const std::string& name, std::optional<float> k);

// g(x), evaluated in single precision.
float surrogate_grad(SurrogateKind kind, float k, float x);

struct SurrogateLif {
    std::vector<std::pair<float, float>> trace;  // (x, spike) per step not yet consumed, oldest first
    SurrogateKind kind;
    float k;
    neuron::FixedPointLif lif;

    SurrogateLif(uint32_t data_width, uint32_t fraction, int16_t v_rest, int16_t v_reset,
                 int16_t v_threshold, int32_t refractory_period, Surrogate s)
        : kind(s.kind),
          k(s.k),
          lif(neuron::FixedPointLif::Args{data_width, fraction, v_rest, v_reset, v_threshold, refractory_period}) {}

    std::pair<int32_t, int16_t> forward(int16_t leak_k, int16_t gain_k, int16_t i_t, int16_t noise_in);
    // Consumes the newest step.
    float backward(float grad_output);
    void reset();
    void clear_trace() { trace.clear(); }
};

struct DifferentiableDenseLayer {
    layer::DenseLayer layer;
    std::vector<double> input_cache;
    std::vector<double> output_cache;
    SurrogateKind kind;
    float k;

    DifferentiableDenseLayer(layer::DenseLayer l, Surrogate s)
        : layer(std::move(l)), kind(s.kind), k(s.k) {}

    // The caches change only when the pass succeeds.
    std::vector<double> forward(std::span<const double> input_values, uint64_t seed);
    // (grad_input, weight_grads); reads the caches without consuming them.
    std::pair<std::vector<double>, std::vector<std::vector<double>>> backward(
        std::span<const double> grad_output) const;
    // Gradient step clamped to [0, 1], then repacking; a grid of the wrong shape is refused with its
    // message and changes nothing.
    void update_weights(const std::vector<std::vector<double>>& weight_grads, double lr);
    void clear_cache() {
        input_cache.clear();
        output_cache.clear();
    }
};

}  // namespace grad::surrogate
