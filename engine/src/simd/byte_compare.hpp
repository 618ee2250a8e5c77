// Inline building blocks of the byte-form Bernoulli encoders: a 64-byte compare against a
// threshold per tier and the per-tier loops that draw, compare and (for the fused form) count
// without leaving the tier's code.
#pragma once
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rng.hpp"
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

// Unsigned byte < t as a signed compare of both sides shifted by 0x80; `bias_t` holds t ^ 0x80.
SC_TARGET_AVX2 inline uint32_t compare32_avx2(__m256i v, __m256i bias_t) {
    const __m256i biased = _mm256_xor_si256(v, _mm256_set1_epi8(static_cast<char>(0x80)));
    return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(bias_t, biased)));
}
SC_TARGET_AVX2 inline __m256i avx2_threshold(uint8_t t) { return _mm256_set1_epi8(static_cast<char>(t ^ 0x80u)); }

SC_TARGET_AVX2 inline uint32_t compare32_avx2(const uint8_t* bytes, uint8_t t) {
    return compare32_avx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)), avx2_threshold(t));
}

SC_TARGET_AVX512BW inline uint64_t compare64_avx512(__m512i v, __m512i t) {
    return _cvtmask64_u64(_mm512_cmplt_epu8_mask(v, t));
}
SC_TARGET_AVX512BW inline uint64_t compare64_avx512(const uint8_t* bytes, uint8_t t) {
    return compare64_avx512(_mm512_loadu_si512(bytes), _mm512_set1_epi8(static_cast<char>(t)));
}

// Draw 64 bytes (the generator's byte fill) and compare them with the threshold.
//
// The general form fills a 64-byte stack buffer. For xoshiro256++ a 64-byte fill is its next
// eight outputs in little-endian order, so they go straight into a vector register instead:
// writing eight words and reading them back as one wide load defeats store forwarding, which
// costs about a third of the encoder's time.
template <class Gen>
inline uint64_t draw_compare_portable(Gen& g, uint8_t t) {
    alignas(64) uint8_t buf[64];
    g.fill_bytes(buf, 64);
    return compare64_portable(buf, t);
}

template <class Gen>
SC_TARGET_AVX2 inline uint64_t draw_compare_avx2(Gen& g, __m256i bias_t) {
    alignas(64) uint8_t buf[64];
    g.fill_bytes(buf, 64);
    const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(buf));
    const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(buf + 32));
    return uint64_t{compare32_avx2(lo, bias_t)} | (uint64_t{compare32_avx2(hi, bias_t)} << 32);
}
SC_TARGET_AVX2 inline __m128i draw_pair(rng::Xoshiro256pp& g) {
    const uint64_t lo = g.next_u64();
    const uint64_t hi = g.next_u64();
    return _mm_insert_epi64(_mm_cvtsi64_si128(static_cast<long long>(lo)), static_cast<long long>(hi), 1);
}
SC_TARGET_AVX2 inline __m256i draw_quad(rng::Xoshiro256pp& g) {
    const __m128i lo = draw_pair(g);
    const __m128i hi = draw_pair(g);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}
SC_TARGET_AVX2 inline uint64_t draw_compare_avx2(rng::Xoshiro256pp& g, __m256i bias_t) {
    const __m256i lo = draw_quad(g);
    const __m256i hi = draw_quad(g);
    return uint64_t{compare32_avx2(lo, bias_t)} | (uint64_t{compare32_avx2(hi, bias_t)} << 32);
}

template <class Gen>
SC_TARGET_AVX512BW inline uint64_t draw_compare_avx512(Gen& g, __m512i t) {
    alignas(64) uint8_t buf[64];
    g.fill_bytes(buf, 64);
    return compare64_avx512(_mm512_load_si512(buf), t);
}
// GCC 12's _mm512_inserti64x4 passes an "undefined" register through a full mask and then
// warns about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
SC_TARGET_AVX512BW inline uint64_t draw_compare_avx512(rng::Xoshiro256pp& g, __m512i t) {
    const __m256i lo = draw_quad(g);
    const __m256i hi = draw_quad(g);
    return compare64_avx512(_mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1), t);
}
#pragma GCC diagnostic pop

// The loops below draw from a local copy of the generator and store it back at the end: its
// state words are uint64_t like the weights and outputs, so working on the caller's object
// would let every weight load or output store alias the state and push it through memory.

// out[k] for k < full: 64 drawn bytes compared with t.
template <class Gen>
void encode_words_portable(Gen& gen, uint64_t* out, std::size_t full, uint8_t t) {
    Gen g = gen;
    for (std::size_t k = 0; k < full; ++k) out[k] = draw_compare_portable(g, t);
    gen = g;
}
template <class Gen>
SC_TARGET_AVX2 void encode_words_avx2(Gen& gen, uint64_t* out, std::size_t full, uint8_t t) {
    Gen g = gen;
    const __m256i th = avx2_threshold(t);
    for (std::size_t k = 0; k < full; ++k) out[k] = draw_compare_avx2(g, th);
    gen = g;
}
template <class Gen>
SC_TARGET_AVX512BW void encode_words_avx512(Gen& gen, uint64_t* out, std::size_t full, uint8_t t) {
    Gen g = gen;
    const __m512i th = _mm512_set1_epi8(static_cast<char>(t));
    for (std::size_t k = 0; k < full; ++k) out[k] = draw_compare_avx512(g, th);
    gen = g;
}

// Sum over k < full of popcount(compare(64 drawn bytes, t) AND w[k]).
template <class Gen>
uint64_t encode_and_count_portable(Gen& gen, const uint64_t* w, std::size_t full, uint8_t t) {
    Gen g = gen;
    uint64_t count = 0;
    for (std::size_t k = 0; k < full; ++k) count += popcount_word(draw_compare_portable(g, t) & w[k]);
    gen = g;
    return count;
}
template <class Gen>
SC_TARGET_AVX2_POPCNT uint64_t encode_and_count_avx2(Gen& gen, const uint64_t* w, std::size_t full,
                                                     uint8_t t) {
    Gen g = gen;
    const __m256i th = avx2_threshold(t);
    uint64_t count = 0;
    for (std::size_t k = 0; k < full; ++k)
        count += static_cast<uint64_t>(_mm_popcnt_u64(draw_compare_avx2(g, th) & w[k]));
    gen = g;
    return count;
}
template <class Gen>
SC_TARGET_AVX512BW_POPCNT uint64_t encode_and_count_avx512(Gen& gen, const uint64_t* w,
                                                           std::size_t full, uint8_t t) {
    Gen g = gen;
    const __m512i th = _mm512_set1_epi8(static_cast<char>(t));
    uint64_t count = 0;
    for (std::size_t k = 0; k < full; ++k)
        count += static_cast<uint64_t>(_mm_popcnt_u64(draw_compare_avx512(g, th) & w[k]));
    gen = g;
    return count;
}

}  // namespace simd::detail
