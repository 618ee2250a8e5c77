// Many steps of the fixed-point LIF neuron in one call, written into caller-owned outputs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "neuron.hpp"

namespace batch_lif {

// The parameters each run builds its fresh neuron from.
using LifParams = neuron::FixedPointLif::Args;

// The factors every step of a run takes.
struct Gains {
    int16_t leak_k;
    int16_t gain_k;
};

// One neuron stepped spikes.size() times with the same input and noise; voltages has the
// same length.
void run_constant(const LifParams& p, Gains g, int16_t i_t, int16_t noise_in, std::span<int32_t> spikes,
                  std::span<int16_t> voltages);

// Row r of the row-major currents.size() x n_steps outputs is a fresh neuron driven by
// currents[r] without noise. Rows run on the worker pool when the call is large enough.
void run_multi(const LifParams& p, Gains g, std::span<const int16_t> currents, std::size_t n_steps,
               std::span<int32_t> spikes, std::span<int16_t> voltages);

// Step t takes currents[t] and noises[t]; an empty noises means no noise.
void run_varying(const LifParams& p, Gains g, std::span<const int16_t> currents,
                 std::span<const int16_t> noises, std::span<int32_t> spikes, std::span<int16_t> voltages);

}  // namespace batch_lif
