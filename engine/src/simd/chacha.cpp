// The four ChaCha8 blocks of a refill with wide registers. Each 128-bit lane carries one row
// (four words) of one block, so a quarter round works on whole rows and the diagonal round
// is reached by rotating rows b, c and d within their lanes. The words equal the portable
// block function's.
#include <immintrin.h>

#include "rng.hpp"
#include "simd/target.hpp"

// GCC 12's AVX-512 intrinsics pass an "undefined" register through a full mask and then warn
// about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace rng::detail {
namespace {

constexpr uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

// Row d of the block with counter c: the counter's two words, then stream 0.
void counter_rows(uint64_t ctr, uint32_t rows[16]) {
    for (int b = 0; b < 4; ++b) {
        const uint64_t c = ctr + static_cast<uint64_t>(b);
        rows[4 * b + 0] = static_cast<uint32_t>(c);
        rows[4 * b + 1] = static_cast<uint32_t>(c >> 32);
        rows[4 * b + 2] = 0;
        rows[4 * b + 3] = 0;
    }
}

SC_TARGET_AVX2 inline __m256i rotl_avx2(__m256i v, int r) {
    return _mm256_or_si256(_mm256_slli_epi32(v, r), _mm256_srli_epi32(v, 32 - r));
}

// One quarter round on two independent pairs of blocks, interleaved to hide latency.
SC_TARGET_AVX2 inline void quarter_avx2(__m256i (&a)[2], __m256i (&b)[2], __m256i (&c)[2], __m256i (&d)[2],
                                        __m256i rot16, __m256i rot8) {
    for (int h = 0; h < 2; ++h) { a[h] = _mm256_add_epi32(a[h], b[h]); d[h] = _mm256_shuffle_epi8(_mm256_xor_si256(d[h], a[h]), rot16); }
    for (int h = 0; h < 2; ++h) { c[h] = _mm256_add_epi32(c[h], d[h]); b[h] = rotl_avx2(_mm256_xor_si256(b[h], c[h]), 12); }
    for (int h = 0; h < 2; ++h) { a[h] = _mm256_add_epi32(a[h], b[h]); d[h] = _mm256_shuffle_epi8(_mm256_xor_si256(d[h], a[h]), rot8); }
    for (int h = 0; h < 2; ++h) { c[h] = _mm256_add_epi32(c[h], d[h]); b[h] = rotl_avx2(_mm256_xor_si256(b[h], c[h]), 7); }
}

SC_TARGET_AVX512F inline void quarter_avx512(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
    a = _mm512_add_epi32(a, b); d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 16);
    c = _mm512_add_epi32(c, d); b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 12);
    a = _mm512_add_epi32(a, b); d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 8);
    c = _mm512_add_epi32(c, d); b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 7);
}

}  // namespace

SC_TARGET_AVX2 void chacha8_four_blocks_avx2(const uint32_t key[8], uint64_t ctr, uint32_t out[64]) {
    alignas(32) uint32_t drows[16];
    counter_rows(ctr, drows);
    const __m256i a0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kSigma)));
    const __m256i b0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key)));
    const __m256i c0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4)));
    // Pair h holds blocks 2h (low lane) and 2h + 1 (high lane).
    const __m256i d0[2] = {_mm256_load_si256(reinterpret_cast<const __m256i*>(drows)),
                           _mm256_load_si256(reinterpret_cast<const __m256i*>(drows + 8))};
    __m256i a[2] = {a0, a0}, b[2] = {b0, b0}, c[2] = {c0, c0}, d[2] = {d0[0], d0[1]};
    const __m256i rot16 = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                           2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    const __m256i rot8 = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                          3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    for (int r = 0; r < 4; ++r) {
        quarter_avx2(a, b, c, d, rot16, rot8);
        for (int h = 0; h < 2; ++h) {
            b[h] = _mm256_shuffle_epi32(b[h], 0x39);
            c[h] = _mm256_shuffle_epi32(c[h], 0x4E);
            d[h] = _mm256_shuffle_epi32(d[h], 0x93);
        }
        quarter_avx2(a, b, c, d, rot16, rot8);
        for (int h = 0; h < 2; ++h) {
            b[h] = _mm256_shuffle_epi32(b[h], 0x93);
            c[h] = _mm256_shuffle_epi32(c[h], 0x4E);
            d[h] = _mm256_shuffle_epi32(d[h], 0x39);
        }
    }
    for (int h = 0; h < 2; ++h) {
        const __m256i ra = _mm256_add_epi32(a[h], a0), rb = _mm256_add_epi32(b[h], b0);
        const __m256i rc = _mm256_add_epi32(c[h], c0), rd = _mm256_add_epi32(d[h], d0[h]);
        uint32_t* blk = out + 32 * h;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(blk + 0), _mm256_permute2x128_si256(ra, rb, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(blk + 8), _mm256_permute2x128_si256(rc, rd, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(blk + 16), _mm256_permute2x128_si256(ra, rb, 0x31));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(blk + 24), _mm256_permute2x128_si256(rc, rd, 0x31));
    }
}

SC_TARGET_AVX512F void chacha8_four_blocks_avx512(const uint32_t key[8], uint64_t ctr, uint32_t out[64]) {
    alignas(64) uint32_t drows[16];
    counter_rows(ctr, drows);
    // Lane k of every register belongs to block k.
    const __m512i a0 = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kSigma)));
    const __m512i b0 = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key)));
    const __m512i c0 = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4)));
    const __m512i d0 = _mm512_load_si512(drows);
    __m512i a = a0, b = b0, c = c0, d = d0;
    for (int r = 0; r < 4; ++r) {
        quarter_avx512(a, b, c, d);
        b = _mm512_shuffle_epi32(b, static_cast<_MM_PERM_ENUM>(0x39));
        c = _mm512_shuffle_epi32(c, static_cast<_MM_PERM_ENUM>(0x4E));
        d = _mm512_shuffle_epi32(d, static_cast<_MM_PERM_ENUM>(0x93));
        quarter_avx512(a, b, c, d);
        b = _mm512_shuffle_epi32(b, static_cast<_MM_PERM_ENUM>(0x93));
        c = _mm512_shuffle_epi32(c, static_cast<_MM_PERM_ENUM>(0x4E));
        d = _mm512_shuffle_epi32(d, static_cast<_MM_PERM_ENUM>(0x39));
    }
    a = _mm512_add_epi32(a, a0);
    b = _mm512_add_epi32(b, b0);
    c = _mm512_add_epi32(c, c0);
    d = _mm512_add_epi32(d, d0);
    // Rows to blocks: [a_k b_k c_k d_k] for block k.
    const __m512i ab01 = _mm512_shuffle_i32x4(a, b, 0x44), cd01 = _mm512_shuffle_i32x4(c, d, 0x44);
    const __m512i ab23 = _mm512_shuffle_i32x4(a, b, 0xEE), cd23 = _mm512_shuffle_i32x4(c, d, 0xEE);
    _mm512_storeu_si512(out + 0, _mm512_shuffle_i32x4(ab01, cd01, 0x88));
    _mm512_storeu_si512(out + 16, _mm512_shuffle_i32x4(ab01, cd01, 0xDD));
    _mm512_storeu_si512(out + 32, _mm512_shuffle_i32x4(ab23, cd23, 0x88));
    _mm512_storeu_si512(out + 48, _mm512_shuffle_i32x4(ab23, cd23, 0xDD));
}

}  // namespace rng::detail
