// A Brunel-style network of fixed-point LIF neurons with CSR recurrent synapses and
// Poisson external drive.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "neuron.hpp"
#include "poisson.hpp"

namespace brunel {

struct BrunelNetwork {
    std::vector<neuron::FixedPointLif> neurons;
    // Neurons that spiked in the last step, in increasing order (the spike flags).
    std::vector<std::size_t> fired;
    // Row i (source neuron i) owns entries indptr[i] .. indptr[i+1] - 1; taken as given and
    // checked only when a neuron of the row spikes.
    std::vector<std::size_t> indptr;
    std::vector<std::size_t> indices;
    std::vector<int16_t> weights;
    std::size_t n_neurons;
    double ext_lambda;
    // The external counts, drawn from the generator seeded with the seed.
    poisson::Knuth external;
    int16_t leak_k;
    int16_t gain_k;
    int16_t ext_weight_fp;

    // Copies the arrays (64-bit patterns kept, so a negative entry is a huge index) after
    // checking their lengths.
    static BrunelNetwork make(std::size_t n_neurons, std::span<const int64_t> w_indptr,
                              std::span<const int64_t> w_indices, std::span<const int16_t> w_data,
                              int16_t leak_k, int16_t gain_k, double ext_lambda, int16_t ext_weight_fp,
                              uint32_t data_width, uint32_t fraction, int16_t v_rest, int16_t v_reset,
                              int16_t v_threshold, int32_t refractory_period, uint64_t seed);

    // Advances counts.size() steps, writing the number of neurons that spiked in each.
    void run_into(std::span<uint32_t> counts);

private:
    // Adds the weights of the rows of the neurons in `fired` to syn.
    void deliver(std::span<int32_t> syn) const;
};

}  // namespace brunel
