// The stochastic dense layer: float weights, their stored bitstreams, and the forward passes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace layer {

struct DenseLayer {
    std::vector<std::vector<double>> weights;  // n_neurons rows of n_inputs
    std::vector<uint64_t> packed_weights;      // stream (j, i) at ((j * n_inputs) + i) * words
    std::size_t n_inputs = 0;
    std::size_t n_neurons = 0;
    std::size_t length = 0;
    std::size_t words = 0;
    uint64_t weight_seed = 0;

    // Stops on a zero length, n_inputs or n_neurons (checked in that order).
    static DenseLayer make(std::size_t n_inputs, std::size_t n_neurons, std::size_t length,
                           uint64_t seed);

    void refresh_packed_weights();
    void set_weights(std::vector<std::vector<double>> rows);

    std::vector<double> forward(std::span<const double> input_values, uint64_t seed) const;
    std::vector<double> forward_fused(std::span<const double> input_values, uint64_t seed) const;
    std::vector<double> forward_prepacked(std::span<const std::vector<uint64_t>> packed_inputs) const;
    std::vector<double> forward_prepacked_2d(std::span<const uint64_t> flat, std::size_t rows,
                                             std::size_t words_per_row) const;
    void forward_batch_into(std::span<const double> inputs, std::size_t n_samples, uint64_t seed,
                            std::span<double> out) const;

    // The fused form computed literally, re-encoding every input for every neuron; kept to
    // check and measure the shared-mask path against.
    std::vector<double> forward_fused_reference(std::span<const double> input_values,
                                                uint64_t seed) const;

    std::span<const uint64_t> stream(std::size_t j, std::size_t i) const {
        return {packed_weights.data() + (j * n_inputs + i) * words, words};
    }
    std::span<const uint64_t> neuron_streams(std::size_t j) const {
        return {packed_weights.data() + j * n_inputs * words, n_inputs * words};
    }
};

}  // namespace layer
