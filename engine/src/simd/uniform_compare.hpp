// Inline building blocks of the float-form Bernoulli encoder on a ChaCha8 keystream: draws are
// compared with the threshold eight at a time, read straight from the generator's buffer.
//
// Draw j of a group is the 64-bit value of keystream words 2j (low half) and 2j + 1, so the
// 16 words of a group read as eight little-endian 64-bit lanes are the eight draws in order.
#pragma once
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rng.hpp"
#include "simd/target.hpp"

namespace simd::detail {

// The next 16 keystream words (eight draws), advancing the generator exactly as eight 64-bit
// draws would. They are read in place unless they straddle a refill; then they are gathered
// into tmp.
inline const uint32_t* next_draw_group(rng::ChaCha8& g, uint32_t* tmp) {
    if (g.pos + 16 <= 64) {
        const uint32_t* p = g.buf + g.pos;
        g.pos += 16;
        return p;
    }
    const unsigned left = 64 - g.pos;
    std::memcpy(tmp, g.buf + g.pos, left * sizeof(uint32_t));
    g.refill();
    std::memcpy(tmp + left, g.buf, (16 - left) * sizeof(uint32_t));
    g.pos = 16 - left;
    return tmp;
}

// Bit j of the result: (draw j >> 11) < t, for the eight draws of a group.
inline unsigned below_portable(const uint32_t* w, uint64_t t) {
    unsigned m = 0;
    for (unsigned j = 0; j < 8; ++j) {
        const uint64_t d = uint64_t{w[2 * j]} | (uint64_t{w[2 * j + 1]} << 32);
        m |= static_cast<unsigned>((d >> 11) < t) << j;
    }
    return m;
}
// Both sides are below 2^63 after the shift, so the signed compare is the unsigned one.
SC_TARGET_AVX2 inline unsigned below_avx2(const uint32_t* w, __m256i t) {
    const __m256i lo = _mm256_srli_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w)), 11);
    const __m256i hi = _mm256_srli_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 8)), 11);
    const unsigned a = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(t, lo))));
    const unsigned b = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(t, hi))));
    return a | (b << 4);
}
// GCC 12's AVX-512 shifts pass an "undefined" register through a full mask and then warn
// about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
SC_TARGET_AVX512F inline unsigned below_avx512(const uint32_t* w, __m512i t) {
    return _mm512_cmplt_epu64_mask(_mm512_srli_epi64(_mm512_loadu_si512(w), 11), t);
}
#pragma GCC diagnostic pop

// out[k] for k < full: 64 draws compared with t, bit j from draw 64k + j.
inline void uniform_words_portable(rng::ChaCha8& g, uint64_t* out, std::size_t full, uint64_t t) {
    alignas(64) uint32_t tmp[16];
    for (std::size_t k = 0; k < full; ++k) {
        uint64_t w = 0;
        for (unsigned j = 0; j < 64; j += 8) w |= uint64_t{below_portable(next_draw_group(g, tmp), t)} << j;
        out[k] = w;
    }
}
SC_TARGET_AVX2 inline void uniform_words_avx2(rng::ChaCha8& g, uint64_t* out, std::size_t full, uint64_t t) {
    const __m256i th = _mm256_set1_epi64x(static_cast<long long>(t));
    alignas(64) uint32_t tmp[16];
    for (std::size_t k = 0; k < full; ++k) {
        uint64_t w = 0;
        for (unsigned j = 0; j < 64; j += 8) w |= uint64_t{below_avx2(next_draw_group(g, tmp), th)} << j;
        out[k] = w;
    }
}
SC_TARGET_AVX512F inline void uniform_words_avx512(rng::ChaCha8& g, uint64_t* out, std::size_t full, uint64_t t) {
    const __m512i th = _mm512_set1_epi64(static_cast<long long>(t));
    alignas(64) uint32_t tmp[16];
    for (std::size_t k = 0; k < full; ++k) {
        uint64_t w = 0;
        for (unsigned j = 0; j < 64; j += 8) w |= uint64_t{below_avx512(next_draw_group(g, tmp), th)} << j;
        out[k] = w;
    }
}

}  // namespace simd::detail
