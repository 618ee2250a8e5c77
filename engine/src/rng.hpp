// The two seeded generators every random draw of the engine comes from.
#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "simd/features.hpp"

namespace rng {

namespace detail {
// The four blocks of a ChaCha8 refill with AVX2 or AVX-512 F registers (simd/chacha.cpp);
// callable only when the processor has those features.
void chacha8_four_blocks_avx2(const uint32_t key[8], uint64_t ctr, uint32_t out[64]);
void chacha8_four_blocks_avx512(const uint32_t key[8], uint64_t ctr, uint32_t out[64]);
}  // namespace detail

// Uniform float in [0, 1) with 53 random bits from a 64-bit draw.
inline double unit_f64(uint64_t x) { return static_cast<double>(x >> 11) * 0x1.0p-53; }

// xoshiro256++ seeded through SplitMix64.
struct Xoshiro256pp {
    uint64_t s[4];

    explicit Xoshiro256pp(uint64_t seed) {
        for (int k = 1; k <= 4; ++k) {
            uint64_t z = seed + static_cast<uint64_t>(k) * 0x9E3779B97F4A7C15ull;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            s[k - 1] = z ^ (z >> 31);
        }
        if ((s[0] | s[1] | s[2] | s[3]) == 0) *this = Xoshiro256pp(0);
    }
    Xoshiro256pp(uint64_t s0, uint64_t s1, uint64_t s2, uint64_t s3) : s{s0, s1, s2, s3} {}

    uint64_t next_u64() {
        const uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = std::rotl(s[3], 45);
        return result;
    }
    uint32_t next_u32() { return static_cast<uint32_t>(next_u64() >> 32); }
    double next_f64() { return unit_f64(next_u64()); }

    // Whole 8-byte groups little-endian; a remainder takes the low bytes of one more draw.
    void fill_bytes(uint8_t* out, std::size_t n) {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const uint64_t v = next_u64();
            std::memcpy(out + i, &v, 8);
        }
        if (i < n) {
            const uint64_t v = next_u64();
            std::memcpy(out + i, &v, n - i);
        }
    }
};

// ChaCha with 8 rounds, key from the PCG32 expansion of a 64-bit seed, stream 0.
struct ChaCha8 {
    uint32_t key[8];
    uint64_t counter = 0;
    uint32_t buf[64];
    unsigned pos = 64;

    explicit ChaCha8(uint64_t seed) {
        uint64_t x = seed;
        for (int i = 0; i < 8; ++i) {
            x = x * 6364136223846793005ull + 11634580027462260723ull;
            const uint32_t w = static_cast<uint32_t>(((x >> 18) ^ x) >> 27);
            key[i] = std::rotr(w, static_cast<int>(x >> 59));
        }
    }

    static void block(const uint32_t key[8], uint64_t ctr, uint32_t out[16]) {
        uint32_t in[16] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
                           key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
                           static_cast<uint32_t>(ctr), static_cast<uint32_t>(ctr >> 32), 0u, 0u};
        uint32_t x[16];
        std::memcpy(x, in, sizeof x);
        auto qr = [&x](int a, int b, int c, int d) {
            x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 16);
            x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 12);
            x[a] += x[b]; x[d] = std::rotl(x[d] ^ x[a], 8);
            x[c] += x[d]; x[b] = std::rotl(x[b] ^ x[c], 7);
        };
        for (int r = 0; r < 4; ++r) {
            qr(0, 4, 8, 12); qr(1, 5, 9, 13); qr(2, 6, 10, 14); qr(3, 7, 11, 15);
            qr(0, 5, 10, 15); qr(1, 6, 11, 12); qr(2, 7, 8, 13); qr(3, 4, 9, 14);
        }
        for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
    }

    // The four blocks of a refill side by side, one block per 32-bit lane (SSE2 is part of
    // every x86-64 processor); the words equal four calls of block().
    static void four_blocks_sse2(const uint32_t key[8], uint64_t ctr, uint32_t out[64]) {
        __m128i x[16], in[16];
        const uint32_t consts[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
        for (int i = 0; i < 4; ++i) in[i] = _mm_set1_epi32(static_cast<int>(consts[i]));
        for (int i = 0; i < 8; ++i) in[4 + i] = _mm_set1_epi32(static_cast<int>(key[i]));
        uint32_t lo[4], hi[4];
        for (int b = 0; b < 4; ++b) {
            const uint64_t c = ctr + static_cast<uint64_t>(b);
            lo[b] = static_cast<uint32_t>(c);
            hi[b] = static_cast<uint32_t>(c >> 32);
        }
        in[12] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo));
        in[13] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi));
        in[14] = _mm_setzero_si128();
        in[15] = _mm_setzero_si128();
        for (int i = 0; i < 16; ++i) x[i] = in[i];
        auto rotl = [](__m128i v, int r) { return _mm_or_si128(_mm_slli_epi32(v, r), _mm_srli_epi32(v, 32 - r)); };
        auto qr = [&](int a, int b, int c, int d) {
            x[a] = _mm_add_epi32(x[a], x[b]); x[d] = rotl(_mm_xor_si128(x[d], x[a]), 16);
            x[c] = _mm_add_epi32(x[c], x[d]); x[b] = rotl(_mm_xor_si128(x[b], x[c]), 12);
            x[a] = _mm_add_epi32(x[a], x[b]); x[d] = rotl(_mm_xor_si128(x[d], x[a]), 8);
            x[c] = _mm_add_epi32(x[c], x[d]); x[b] = rotl(_mm_xor_si128(x[b], x[c]), 7);
        };
        for (int r = 0; r < 4; ++r) {
            qr(0, 4, 8, 12); qr(1, 5, 9, 13); qr(2, 6, 10, 14); qr(3, 7, 11, 15);
            qr(0, 5, 10, 15); qr(1, 6, 11, 12); qr(2, 7, 8, 13); qr(3, 4, 9, 14);
        }
        // Transpose each group of four words from lanes to blocks.
        for (int g = 0; g < 4; ++g) {
            __m128i a = _mm_add_epi32(x[4 * g + 0], in[4 * g + 0]);
            __m128i b = _mm_add_epi32(x[4 * g + 1], in[4 * g + 1]);
            __m128i c = _mm_add_epi32(x[4 * g + 2], in[4 * g + 2]);
            __m128i d = _mm_add_epi32(x[4 * g + 3], in[4 * g + 3]);
            const __m128i ab_lo = _mm_unpacklo_epi32(a, b), ab_hi = _mm_unpackhi_epi32(a, b);
            const __m128i cd_lo = _mm_unpacklo_epi32(c, d), cd_hi = _mm_unpackhi_epi32(c, d);
            a = _mm_unpacklo_epi64(ab_lo, cd_lo);
            b = _mm_unpackhi_epi64(ab_lo, cd_lo);
            c = _mm_unpacklo_epi64(ab_hi, cd_hi);
            d = _mm_unpackhi_epi64(ab_hi, cd_hi);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 * 16 + 4 * g), a);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 * 16 + 4 * g), b);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * 16 + 4 * g), c);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * 16 + 4 * g), d);
        }
    }

    // The widest form the processor offers; every form gives the same words.
    static void four_blocks(const uint32_t key[8], uint64_t ctr, uint32_t out[64]) {
        const uint32_t f = simd::features();
        if (simd::has(f, simd::kNeedBits512)) return detail::chacha8_four_blocks_avx512(key, ctr, out);
        if (simd::has(f, simd::kNeed256)) return detail::chacha8_four_blocks_avx2(key, ctr, out);
        four_blocks_sse2(key, ctr, out);
    }

    void refill() {
        four_blocks(key, counter, buf);
        counter += 4;
        pos = 0;
    }

    // Puts the generator where it would stand after k 32-bit outputs since seeding; the
    // buffer is refilled at multiples of 64 words, so any position is reached exactly.
    void seek_words(uint64_t k) {
        counter = (k / 64) * 4;
        pos = 64;
        if (k % 64 != 0) {
            refill();
            pos = static_cast<unsigned>(k % 64);
        }
    }

    uint32_t next_u32() {
        if (pos >= 64) refill();
        return buf[pos++];
    }
    uint64_t next_u64() {
        if (pos <= 62) {
            const uint64_t lo = buf[pos], hi = buf[pos + 1];
            pos += 2;
            return lo | (hi << 32);
        }
        if (pos == 63) {
            const uint64_t lo = buf[63];
            refill();
            const uint64_t hi = buf[0];
            pos = 1;
            return lo | (hi << 32);
        }
        refill();
        pos = 2;
        return static_cast<uint64_t>(buf[0]) | (static_cast<uint64_t>(buf[1]) << 32);
    }
    double next_f64() { return unit_f64(next_u64()); }

    // Whole words little-endian from the buffer; a remainder consumes one more whole word.
    void fill_bytes(uint8_t* out, std::size_t n) {
        std::size_t i = 0;
        while (i + 4 <= n) {
            if (pos >= 64) refill();
            const std::size_t words = std::min<std::size_t>((n - i) / 4, 64 - pos);
            std::memcpy(out + i, buf + pos, words * 4);
            pos += static_cast<unsigned>(words);
            i += words * 4;
        }
        if (i < n) {
            const uint32_t w = next_u32();
            std::memcpy(out + i, &w, n - i);
        }
    }
};

}  // namespace rng
