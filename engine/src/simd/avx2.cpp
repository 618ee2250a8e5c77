// AVX2 forms. Bit counts use the nibble lookup with psadbw, and Harley-Seal carry-save adders
// over 16 vectors at a time for long slices.
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "error.hpp"
#include "simd/byte_compare.hpp"
#include "simd/kernels.hpp"
#include "simd/majority.hpp"

namespace simd::avx2 {
namespace {

enum class Op { One, And, Xor };

// Lanes 0..n-1 all ones (n <= 4), for masked loads of the last words.
SC_TARGET_AVX2 inline __m256i lane_mask(std::size_t n) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(n)), _mm256_setr_epi64x(0, 1, 2, 3));
}

template <Op op>
SC_TARGET_AVX2 inline __m256i load(const uint64_t* a, const uint64_t* b, std::size_t i) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    if constexpr (op == Op::One) return x;
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    if constexpr (op == Op::And) return _mm256_and_si256(x, y);
    else return _mm256_xor_si256(x, y);
}

// Reads only the lanes below n (masked lanes are neither read nor faulted on).
template <Op op>
SC_TARGET_AVX2 inline __m256i load_partial(const uint64_t* a, const uint64_t* b, std::size_t i, std::size_t n) {
    const __m256i m = lane_mask(n);
    const __m256i x = _mm256_maskload_epi64(reinterpret_cast<const long long*>(a + i), m);
    if constexpr (op == Op::One) return x;
    const __m256i y = _mm256_maskload_epi64(reinterpret_cast<const long long*>(b + i), m);
    if constexpr (op == Op::And) return _mm256_and_si256(x, y);
    else return _mm256_xor_si256(x, y);
}

// Bit count of each 64-bit lane.
SC_TARGET_AVX2 inline __m256i count256(__m256i v) {
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i lo = _mm256_and_si256(v, low);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low);
    const __m256i bytes = _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
    return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
}

// Carry-save adder: h:l = a + b + c bitwise.
SC_TARGET_AVX2 inline void csa(__m256i& h, __m256i& l, __m256i a, __m256i b, __m256i c) {
    const __m256i u = _mm256_xor_si256(a, b);
    h = _mm256_or_si256(_mm256_and_si256(a, b), _mm256_and_si256(u, c));
    l = _mm256_xor_si256(u, c);
}

SC_TARGET_AVX2 inline uint64_t lanes_sum(__m256i v) {
    alignas(32) uint64_t l[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(l), v);
    return l[0] + l[1] + l[2] + l[3];
}

template <Op op>
SC_TARGET_AVX2 uint64_t count(const uint64_t* a, const uint64_t* b, std::size_t n) {
    __m256i total = _mm256_setzero_si256();
    std::size_t i = 0;
    if (n >= 64) {
        __m256i ones = _mm256_setzero_si256(), twos = ones, fours = ones, eights = ones, sixteens = ones;
        __m256i twos_a, twos_b, fours_a, fours_b, eights_a, eights_b;
        for (; i + 64 <= n; i += 64) {
            csa(twos_a, ones, ones, load<op>(a, b, i + 0), load<op>(a, b, i + 4));
            csa(twos_b, ones, ones, load<op>(a, b, i + 8), load<op>(a, b, i + 12));
            csa(fours_a, twos, twos, twos_a, twos_b);
            csa(twos_a, ones, ones, load<op>(a, b, i + 16), load<op>(a, b, i + 20));
            csa(twos_b, ones, ones, load<op>(a, b, i + 24), load<op>(a, b, i + 28));
            csa(fours_b, twos, twos, twos_a, twos_b);
            csa(eights_a, fours, fours, fours_a, fours_b);
            csa(twos_a, ones, ones, load<op>(a, b, i + 32), load<op>(a, b, i + 36));
            csa(twos_b, ones, ones, load<op>(a, b, i + 40), load<op>(a, b, i + 44));
            csa(fours_a, twos, twos, twos_a, twos_b);
            csa(twos_a, ones, ones, load<op>(a, b, i + 48), load<op>(a, b, i + 52));
            csa(twos_b, ones, ones, load<op>(a, b, i + 56), load<op>(a, b, i + 60));
            csa(fours_b, twos, twos, twos_a, twos_b);
            csa(eights_b, fours, fours, fours_a, fours_b);
            csa(sixteens, eights, eights, eights_a, eights_b);
            total = _mm256_add_epi64(total, count256(sixteens));
        }
        total = _mm256_slli_epi64(total, 4);
        total = _mm256_add_epi64(total, _mm256_slli_epi64(count256(eights), 3));
        total = _mm256_add_epi64(total, _mm256_slli_epi64(count256(fours), 2));
        total = _mm256_add_epi64(total, _mm256_slli_epi64(count256(twos), 1));
        total = _mm256_add_epi64(total, count256(ones));
    }
    for (; i + 4 <= n; i += 4) total = _mm256_add_epi64(total, count256(load<op>(a, b, i)));
    if (i < n) total = _mm256_add_epi64(total, count256(load_partial<op>(a, b, i, n - i)));
    return lanes_sum(total);
}

SC_TARGET_AVX2 inline uint64_t pack_word(const uint8_t* p) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const uint32_t zlo = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, zero)));
    const uint32_t zhi = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, zero)));
    return ~(static_cast<uint64_t>(zlo) | (static_cast<uint64_t>(zhi) << 32));
}

}  // namespace

uint64_t popcount_avx2(Words a) { return count<Op::One>(a.data(), nullptr, a.size()); }
uint64_t fused_and_popcount_avx2(Words a, Words b) {
    return count<Op::And>(a.data(), b.data(), std::min(a.size(), b.size()));
}
uint64_t fused_xor_popcount_avx2(Words a, Words b) {
    return count<Op::Xor>(a.data(), b.data(), std::min(a.size(), b.size()));
}

bitstream::BitStreamTensor pack_avx2(std::span<const uint8_t> bytes) {
    const std::size_t n = bytes.size(), full = n / 64, rest = n % 64;
    std::vector<uint64_t> words(engine::ceil_div(n, 64));
    for (std::size_t w = 0; w < full; ++w) words[w] = pack_word(bytes.data() + 64 * w);
    if (rest) words[full] = bitstream::pack_fast_word(bytes.data() + 64 * full, rest);
    return bitstream::BitStreamTensor{std::move(words), n};
}

uint32_t bernoulli_compare_avx2(std::span<const uint8_t, 32> bytes, uint8_t t) {
    return detail::compare32_avx2(bytes.data(), t);
}

double dot_f64_avx2(F64s a, F64s b) {
    const std::size_t n = std::min(a.size(), b.size());
    __m256d acc = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) acc = _mm256_fmadd_pd(_mm256_loadu_pd(&a[i]), _mm256_loadu_pd(&b[i]), acc);
    alignas(32) double l[4];
    _mm256_store_pd(l, acc);
    double s = ((l[0] + l[1]) + l[2]) + l[3];
    for (; i < n; ++i) s = s + a[i] * b[i];
    return s;
}

double max_f64_avx2(F64s a) {
    const std::size_t n = a.size();
    const double neg_inf = -std::numeric_limits<double>::infinity();
    __m256d m = _mm256_set1_pd(neg_inf);
    std::size_t i = 0;
    // max(m, x) yields x when either is NaN.
    for (; i + 4 <= n; i += 4) m = _mm256_max_pd(m, _mm256_loadu_pd(&a[i]));
    alignas(32) double l[4];
    _mm256_store_pd(l, m);
    double r = neg_inf;
    for (double x : l)
        if (x > r) r = x;
    for (; i < n; ++i)
        if (a[i] > r) r = a[i];
    return r;
}

double sum_f64_avx2(F64s a) {
    const std::size_t n = a.size();
    __m256d acc = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) acc = _mm256_add_pd(acc, _mm256_loadu_pd(&a[i]));
    alignas(32) double l[4];
    _mm256_store_pd(l, acc);
    double s = ((l[0] + l[1]) + l[2]) + l[3];
    for (; i < n; ++i) s = s + a[i];
    return s;
}

void scale_f64_avx2(std::span<double> a, double factor) {
    const std::size_t n = a.size();
    const __m256d f = _mm256_set1_pd(factor);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(&a[i], _mm256_mul_pd(_mm256_loadu_pd(&a[i]), f));
    for (; i < n; ++i) a[i] = a[i] * factor;
}

SC_TARGET_AVX2 void majority_avx2(const uint64_t* const* members, std::size_t n, std::size_t words, uint64_t* out) {
    typedef uint64_t Lanes __attribute__((vector_size(32)));
    const std::size_t full = words / 4 * 4;
    detail::majority_words<Lanes>(members, n, 0, full, out);
    detail::majority_words<uint64_t>(members, n, full, words, out);
}

}  // namespace simd::avx2
