// AVX-512 forms: per-word population count (VPOPCNTDQ) with four accumulators, byte tests and
// compares into mask registers (BW), and eight-lane float loops (F).
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "error.hpp"
#include "simd/byte_compare.hpp"
#include "simd/kernels.hpp"
#include "simd/majority.hpp"

namespace simd::avx512 {
namespace {

enum class Op { One, And, Xor };

template <Op op>
SC_TARGET_AVX512VPOPCNTDQ inline __m512i load(const uint64_t* a, const uint64_t* b, std::size_t i) {
    const __m512i x = _mm512_loadu_si512(a + i);
    if constexpr (op == Op::One) return x;
    const __m512i y = _mm512_loadu_si512(b + i);
    if constexpr (op == Op::And) return _mm512_and_si512(x, y);
    else return _mm512_xor_si512(x, y);
}

// The last 1..7 words; masked-off lanes are neither read nor faulted on.
template <Op op>
SC_TARGET_AVX512VPOPCNTDQ inline __m512i load_partial(const uint64_t* a, const uint64_t* b, std::size_t i,
                                                      std::size_t n) {
    const __mmask8 m = static_cast<__mmask8>((1u << n) - 1);
    const __m512i x = _mm512_maskz_loadu_epi64(m, a + i);
    if constexpr (op == Op::One) return x;
    const __m512i y = _mm512_maskz_loadu_epi64(m, b + i);
    if constexpr (op == Op::And) return _mm512_and_si512(x, y);
    else return _mm512_xor_si512(x, y);
}

// Words fetched ahead of the count. On long slices the loop outruns the hardware prefetcher
// from the outer caches; requesting the lines 8 KiB ahead keeps the loads fed.
constexpr std::size_t kPrefetchAhead = 1024;

template <Op op>
SC_TARGET_AVX512VPOPCNTDQ inline void prefetch(const uint64_t* a, const uint64_t* b, std::size_t i) {
    for (std::size_t k = 0; k < 32; k += 8) {
        _mm_prefetch(reinterpret_cast<const char*>(a + i + k), _MM_HINT_T0);
        if constexpr (op != Op::One) _mm_prefetch(reinterpret_cast<const char*>(b + i + k), _MM_HINT_T0);
    }
}

template <Op op>
SC_TARGET_AVX512VPOPCNTDQ uint64_t count(const uint64_t* a, const uint64_t* b, std::size_t n) {
    __m512i c0 = _mm512_setzero_si512(), c1 = c0, c2 = c0, c3 = c0;
    std::size_t i = 0;
    // Prefetched addresses stay inside the slices.
    for (; n >= kPrefetchAhead + 32 && i <= n - kPrefetchAhead - 32; i += 32) {
        prefetch<op>(a, b, i + kPrefetchAhead);
        c0 = _mm512_add_epi64(c0, _mm512_popcnt_epi64(load<op>(a, b, i)));
        c1 = _mm512_add_epi64(c1, _mm512_popcnt_epi64(load<op>(a, b, i + 8)));
        c2 = _mm512_add_epi64(c2, _mm512_popcnt_epi64(load<op>(a, b, i + 16)));
        c3 = _mm512_add_epi64(c3, _mm512_popcnt_epi64(load<op>(a, b, i + 24)));
    }
    for (; i + 32 <= n; i += 32) {
        c0 = _mm512_add_epi64(c0, _mm512_popcnt_epi64(load<op>(a, b, i)));
        c1 = _mm512_add_epi64(c1, _mm512_popcnt_epi64(load<op>(a, b, i + 8)));
        c2 = _mm512_add_epi64(c2, _mm512_popcnt_epi64(load<op>(a, b, i + 16)));
        c3 = _mm512_add_epi64(c3, _mm512_popcnt_epi64(load<op>(a, b, i + 24)));
    }
    for (; i + 8 <= n; i += 8) c0 = _mm512_add_epi64(c0, _mm512_popcnt_epi64(load<op>(a, b, i)));
    if (i < n) c1 = _mm512_add_epi64(c1, _mm512_popcnt_epi64(load_partial<op>(a, b, i, n - i)));
    const __m512i sum = _mm512_add_epi64(_mm512_add_epi64(c0, c1), _mm512_add_epi64(c2, c3));
    alignas(64) uint64_t l[8];
    _mm512_store_si512(l, sum);
    return ((l[0] + l[1]) + (l[2] + l[3])) + ((l[4] + l[5]) + (l[6] + l[7]));
}

// The processor's max: the second operand unless the first is greater (so NaN gives b).
inline double hw_max(double a, double b) { return a > b ? a : b; }

}  // namespace

uint64_t popcount_avx512(Words a) { return count<Op::One>(a.data(), nullptr, a.size()); }
uint64_t fused_and_popcount_avx512(Words a, Words b) {
    return count<Op::And>(a.data(), b.data(), std::min(a.size(), b.size()));
}
uint64_t fused_xor_popcount_avx512(Words a, Words b) {
    return count<Op::Xor>(a.data(), b.data(), std::min(a.size(), b.size()));
}

bitstream::BitStreamTensor pack_avx512(std::span<const uint8_t> bytes) {
    const std::size_t n = bytes.size(), full = n / 64, rest = n % 64;
    std::vector<uint64_t> words(engine::ceil_div(n, 64));
    for (std::size_t w = 0; w < full; ++w) {
        const __m512i v = _mm512_loadu_si512(bytes.data() + 64 * w);
        words[w] = _cvtmask64_u64(_mm512_test_epi8_mask(v, v));
    }
    if (rest) words[full] = bitstream::pack_fast_word(bytes.data() + 64 * full, rest);
    return bitstream::BitStreamTensor{std::move(words), n};
}

uint64_t bernoulli_compare_avx512(std::span<const uint8_t> bytes, uint8_t t) {
    if (bytes.size() < 64) engine::panic("buffer must contain at least 64 bytes");
    return detail::compare64_avx512(bytes.data(), t);
}

double dot_f64_avx512(F64s a, F64s b) {
    const std::size_t n = std::min(a.size(), b.size());
    __m512d acc = _mm512_setzero_pd();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) acc = _mm512_fmadd_pd(_mm512_loadu_pd(&a[i]), _mm512_loadu_pd(&b[i]), acc);
    alignas(64) double l[8];
    _mm512_store_pd(l, acc);
    double s = detail::halving_sum(l);
    for (; i < n; ++i) s = s + a[i] * b[i];
    return s;
}

// GCC 12's _mm512_max_pd starts from an "undefined" register that it then warns about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
double max_f64_avx512(F64s a) {
    const std::size_t n = a.size();
    __m512d m = _mm512_set1_pd(-std::numeric_limits<double>::infinity());
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) m = _mm512_max_pd(m, _mm512_loadu_pd(&a[i]));
    alignas(64) double l[8];
    _mm512_store_pd(l, m);
    double y[4];
    for (int k = 0; k < 4; ++k) y[k] = hw_max(l[k], l[k + 4]);
    double r = hw_max(hw_max(y[0], y[2]), hw_max(y[1], y[3]));
    for (; i < n; ++i) r = hw_max(r, a[i]);
    return r;
}
#pragma GCC diagnostic pop

double sum_f64_avx512(F64s a) {
    const std::size_t n = a.size();
    __m512d acc = _mm512_setzero_pd();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) acc = _mm512_add_pd(acc, _mm512_loadu_pd(&a[i]));
    alignas(64) double l[8];
    _mm512_store_pd(l, acc);
    double s = detail::halving_sum(l);
    for (; i < n; ++i) s = s + a[i];
    return s;
}

void scale_f64_avx512(std::span<double> a, double factor) {
    const std::size_t n = a.size();
    const __m512d f = _mm512_set1_pd(factor);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm512_storeu_pd(&a[i], _mm512_mul_pd(_mm512_loadu_pd(&a[i]), f));
    for (; i < n; ++i) a[i] = a[i] * factor;
}

SC_TARGET_AVX512F void majority_avx512(const uint64_t* const* members, std::size_t n, std::size_t words, uint64_t* out) {
    typedef uint64_t Lanes __attribute__((vector_size(64)));
    const std::size_t full = words / 8 * 8;
    detail::majority_words<Lanes>(members, n, 0, full, out);
    detail::majority_words<uint64_t>(members, n, full, words, out);
}

}  // namespace simd::avx512
