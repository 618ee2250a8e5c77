#include "brunel.hpp"

#include <algorithm>
#include <string>

#include "error.hpp"

namespace brunel {

namespace {

std::vector<std::size_t> as_sizes(std::span<const int64_t> a) {
    std::vector<std::size_t> out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = static_cast<std::size_t>(a[i]);
    return out;
}

// n + 1 in decimal, also for n = 2^64 - 1.
std::string plus_one(std::size_t n) {
    if (n != SIZE_MAX) return std::to_string(n + 1);
    return "18446744073709551616";
}

}  // namespace

BrunelNetwork BrunelNetwork::make(std::size_t n_neurons, std::span<const int64_t> w_indptr,
                                  std::span<const int64_t> w_indices, std::span<const int16_t> w_data,
                                  int16_t leak_k, int16_t gain_k, double ext_lambda, int16_t ext_weight_fp,
                                  uint32_t data_width, uint32_t fraction, int16_t v_rest, int16_t v_reset,
                                  int16_t v_threshold, int32_t refractory_period, uint64_t seed) {
    // len - 1 against n, so that n + 1 cannot wrap past the check.
    if (w_indptr.empty() || w_indptr.size() - 1 != n_neurons)
        throw engine::Error("w_row_offsets length " + std::to_string(w_indptr.size()) +
                            " != n_neurons+1=" + plus_one(n_neurons));
    if (w_indices.size() != w_data.size())
        throw engine::Error("w_col_indices len " + std::to_string(w_indices.size()) + " != w_values len " +
                            std::to_string(w_data.size()));
    return BrunelNetwork{
        std::vector<neuron::FixedPointLif>(
            n_neurons, neuron::FixedPointLif(neuron::FixedPointLif::Args{data_width, fraction, v_rest, v_reset,
                                                                          v_threshold, refractory_period})),
        {},
        as_sizes(w_indptr),
        as_sizes(w_indices),
        std::vector<int16_t>(w_data.begin(), w_data.end()),
        n_neurons,
        ext_lambda,
        poisson::Knuth(ext_lambda > 0 ? ext_lambda : 0.0, rng::Xoshiro256pp(seed)),
        leak_k,
        gain_k,
        ext_weight_fp,
    };
}

void BrunelNetwork::deliver(std::span<int32_t> syn) const {
    const std::size_t entries = indices.size();
    for (const std::size_t i : fired) {
        const std::size_t begin = indptr[i];
        const std::size_t end = engine::at(indptr, i + 1);
        if (begin >= end) continue;
        const std::size_t stop = std::min(end, entries);
        for (std::size_t j = begin; j < stop; ++j) {
            int32_t& s = engine::at(syn, indices[j]);
            // Two's-complement addition of the sign-extended weight.
            s = static_cast<int32_t>(static_cast<uint32_t>(s) + static_cast<uint32_t>(int32_t{weights[j]}));
        }
        if (end > entries) engine::panic_index(std::max(begin, entries), entries);
    }
}

void BrunelNetwork::run_into(std::span<uint32_t> counts) {
    const std::size_t n = n_neurons;
    const bool drive = ext_lambda > 0;  // false for NaN too: no draws
    const uint64_t width = neurons.empty() ? 16 : neurons[0].data_width;
    const uint32_t ext_weight = static_cast<uint32_t>(int32_t{ext_weight_fp});
    // One array of sums for the whole call; each neuron's entry is cleared as it is read.
    std::vector<int32_t> syn(n, 0);
    std::vector<std::size_t> next;
    next.reserve(n);
    fired.reserve(n);
    poisson::Knuth::Reader draws(external);
    for (uint32_t& count : counts) {
        deliver(syn);
        next.clear();
        for (std::size_t i = 0; i < n; ++i) {
            const uint64_t k = drive ? draws.draw() : 0;
            const uint32_t x = static_cast<uint32_t>(syn[i]) + static_cast<uint32_t>(k) * ext_weight;
            syn[i] = 0;
            const int32_t input = neuron::wrap_to_width(static_cast<int64_t>(x), width);
            // The neuron takes the wrapped sum as its 16-bit input current.
            const auto [spike, v] = neurons[i].step(leak_k, gain_k, static_cast<int16_t>(input), 0);
            (void)v;
            if (spike > 0) next.push_back(i);
        }
        fired.swap(next);
        count = static_cast<uint32_t>(fired.size());
    }
}

}  // namespace brunel
