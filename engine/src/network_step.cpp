// The runner's innermost loop: one chunk of a population through its records' steps. This
// file is compiled with -O3, whose loop vectorizer steps several neurons of a columnar
// population at once on processors with AVX-512 (the same IEEE operations, lane by lane, in
// the order each record's step writes them: the results are those of one neuron at a time).
#include <array>
#include <bit>

#include "network_runner.hpp"
#include "simd/features.hpp"
#include "simd/target.hpp"

namespace network_runner {
namespace {

// The columns, the currents and the flags are three separate arrays (so the pointers say);
// the columns of one array are told apart by the loop's own run-time overlap test, which a
// chunk of one population always passes.
template <class R, std::size_t... F>
inline uint32_t step_columns(uint64_t* __restrict words, std::size_t n, std::size_t begin, std::size_t end,
                             double* __restrict cur, uint8_t* __restrict spikes, std::index_sequence<F...>) {
    uint32_t fired = 0;
    for (std::size_t k = begin; k < end; ++k) {
        const std::array<uint64_t, sizeof...(F)> old{words[F * n + k]...};
        R r = std::bit_cast<R>(old);
        const bool spike = r.step(cur[k]) != 0;
        __builtin_clear_padding(&r);  // so that every word read back is determinate
        const auto now = std::bit_cast<std::array<uint64_t, sizeof...(F)>>(r);
        // Only the words a step changed are written back: the parameters never are.
        ((now[F] != old[F] ? void(words[F * n + k] = now[F]) : void()), ...);
        cur[k] = 0.0;
        spikes[k] = spike;
        fired += spike;
    }
    return fired;
}

template <class R>
SC_TARGET_AVX512BW uint32_t step_columns_avx512(
    Columns<R>& c, std::size_t begin, std::size_t end, double* cur, uint8_t* spikes) {
    return step_columns<R>(c.words.data(), c.n, begin, end, cur, spikes,
                           std::make_index_sequence<Columns<R>::kWords>{});
}

template <class R>
uint32_t step_columns_plain(Columns<R>& c, std::size_t begin, std::size_t end, double* cur, uint8_t* spikes) {
    return step_columns<R>(c.words.data(), c.n, begin, end, cur, spikes,
                           std::make_index_sequence<Columns<R>::kWords>{});
}

template <class R>
uint32_t step_records(std::vector<R>& neurons, std::size_t begin, std::size_t end, double* cur, uint8_t* spikes) {
    R* n = neurons.data();
    uint32_t fired = 0;
    for (std::size_t k = begin; k < end; ++k) {
        const bool spike = n[k].step(cur[k]) != 0;
        cur[k] = 0.0;
        spikes[k] = spike;
        fired += spike;
    }
    return fired;
}

}  // namespace

void step_chunk(PopulationRunner& p, std::size_t c) {
    const std::size_t begin = c * kChunk, end = std::min(p.size(), begin + kChunk);
    double* cur = p.currents.data();
    uint8_t* spikes = p.spikes.data();
    const bool wide = simd::has(simd::features(), simd::kNeedBytes512);
    p.chunk_spikes[c] = std::visit(
        [&]<class S>(S& store) {
            if constexpr (requires { store.words; }) {
                using R = std::remove_cvref_t<decltype(store.get(0))>;
                return wide ? step_columns_avx512<R>(store, begin, end, cur, spikes)
                            : step_columns_plain<R>(store, begin, end, cur, spikes);
            } else {
                return step_records(store, begin, end, cur, spikes);
            }
        },
        p.neurons);
}

}  // namespace network_runner
