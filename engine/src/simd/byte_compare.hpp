// Inline building blocks of the byte-form Bernoulli encoders: a 64-byte compare against a
// threshold per tier and the per-tier loops that draw, compare and (for the fused form) count
// without leaving the tier's code.
#pragma once
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd/target.hpp"

namespace simd::detail {

inline uint64_t popcount_word(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (x * 0x0101010101010101ull) >> 56;
}

inline uint64_t compare64_portable(const uint8_t* bytes, uint8_t t) {
    uint64_t m = 0;
    for (unsigned j = 0; j < 64; ++j) m |= static_cast<uint64_t>(bytes[j] < t) << j;
    return m;
}

// Unsigned byte < t as a signed compare of both sides shifted by 0x80.
SC_TARGET_AVX2 inline uint32_t compare32_avx2(const uint8_t* bytes, uint8_t t) {
    const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i v = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)), bias);
    const __m256i th = _mm256_set1_epi8(static_cast<char>(t ^ 0x80u));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(th, v)));
}

SC_TARGET_AVX2 inline uint64_t compare64_avx2(const uint8_t* bytes, uint8_t t) {
    return static_cast<uint64_t>(compare32_avx2(bytes, t)) |
           (static_cast<uint64_t>(compare32_avx2(bytes + 32, t)) << 32);
}

SC_TARGET_AVX512BW inline uint64_t compare64_avx512(const uint8_t* bytes, uint8_t t) {
    const __m512i v = _mm512_loadu_si512(bytes);
    return _cvtmask64_u64(_mm512_cmplt_epu8_mask(v, _mm512_set1_epi8(static_cast<char>(t))));
}

// out[k] for k < full: 64 drawn bytes compared with t.
template <class Gen>
void encode_words_portable(Gen& g, uint64_t* out, std::size_t full, uint8_t t) {
    alignas(64) uint8_t buf[64];
    for (std::size_t k = 0; k < full; ++k) {
        g.fill_bytes(buf, 64);
        out[k] = compare64_portable(buf, t);
    }
}
template <class Gen>
SC_TARGET_AVX2 void encode_words_avx2(Gen& g, uint64_t* out, std::size_t full, uint8_t t) {
    alignas(64) uint8_t buf[64];
    for (std::size_t k = 0; k < full; ++k) {
        g.fill_bytes(buf, 64);
        out[k] = compare64_avx2(buf, t);
    }
}
template <class Gen>
SC_TARGET_AVX512BW void encode_words_avx512(Gen& g, uint64_t* out, std::size_t full, uint8_t t) {
    alignas(64) uint8_t buf[64];
    for (std::size_t k = 0; k < full; ++k) {
        g.fill_bytes(buf, 64);
        out[k] = compare64_avx512(buf, t);
    }
}

// Sum over k < full of popcount(compare(64 drawn bytes, t) AND w[k]).
template <class Gen>
uint64_t encode_and_count_portable(Gen& g, const uint64_t* w, std::size_t full, uint8_t t) {
    alignas(64) uint8_t buf[64];
    uint64_t count = 0;
    for (std::size_t k = 0; k < full; ++k) {
        g.fill_bytes(buf, 64);
        count += popcount_word(compare64_portable(buf, t) & w[k]);
    }
    return count;
}
template <class Gen>
SC_TARGET_AVX2_POPCNT uint64_t encode_and_count_avx2(Gen& g, const uint64_t* w, std::size_t full,
                                                     uint8_t t) {
    alignas(64) uint8_t buf[64];
    uint64_t count = 0;
    for (std::size_t k = 0; k < full; ++k) {
        g.fill_bytes(buf, 64);
        count += static_cast<uint64_t>(_mm_popcnt_u64(compare64_avx2(buf, t) & w[k]));
    }
    return count;
}
template <class Gen>
SC_TARGET_AVX512BW_POPCNT uint64_t encode_and_count_avx512(Gen& g, const uint64_t* w,
                                                           std::size_t full, uint8_t t) {
    alignas(64) uint8_t buf[64];
    uint64_t count = 0;
    for (std::size_t k = 0; k < full; ++k) {
        g.fill_bytes(buf, 64);
        count += static_cast<uint64_t>(_mm_popcnt_u64(compare64_avx512(buf, t) & w[k]));
    }
    return count;
}

}  // namespace simd::detail
