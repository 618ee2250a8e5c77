// Portable forms: the reference every wider tier is tested against.
#include <algorithm>
#include <limits>

#include "simd/byte_compare.hpp"
#include "simd/kernels.hpp"
#include "simd/majority.hpp"

namespace simd::portable {
namespace {

enum class Op { One, And, Xor };

template <Op op>
uint64_t word(const uint64_t* a, const uint64_t* b, std::size_t i) {
    if constexpr (op == Op::One) return a[i];
    else if constexpr (op == Op::And) return a[i] & b[i];
    else return a[i] ^ b[i];
}

template <Op op>
uint64_t count(const uint64_t* a, const uint64_t* b, std::size_t n) {
    using detail::popcount_word;
    uint64_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        c0 += popcount_word(word<op>(a, b, i));
        c1 += popcount_word(word<op>(a, b, i + 1));
        c2 += popcount_word(word<op>(a, b, i + 2));
        c3 += popcount_word(word<op>(a, b, i + 3));
    }
    for (; i < n; ++i) c0 += popcount_word(word<op>(a, b, i));
    return c0 + c1 + c2 + c3;
}

}  // namespace

uint64_t popcount(Words a) { return count<Op::One>(a.data(), nullptr, a.size()); }
uint64_t and_popcount(Words a, Words b) {
    return count<Op::And>(a.data(), b.data(), std::min(a.size(), b.size()));
}
uint64_t xor_popcount(Words a, Words b) {
    return count<Op::Xor>(a.data(), b.data(), std::min(a.size(), b.size()));
}

uint64_t bernoulli_compare(std::span<const uint8_t, 64> bytes, uint8_t t) {
    return detail::compare64_portable(bytes.data(), t);
}

double dot_f64(F64s a, F64s b) {
    const std::size_t n = std::min(a.size(), b.size());
    double s = -0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + a[i] * b[i];
    return s;
}

double max_f64(F64s a) {
    double m = -std::numeric_limits<double>::infinity();
    for (double x : a)
        if (x > m) m = x;  // false for NaN: NaN elements are skipped
    return m;
}

double sum_f64(F64s a) {
    double s = -0.0;
    for (double x : a) s = s + x;
    return s;
}

void scale_f64(std::span<double> a, double factor) {
    for (double& x : a) x = x * factor;
}

void majority(const uint64_t* const* members, std::size_t n, std::size_t words, uint64_t* out) {
    typedef uint64_t Lanes __attribute__((vector_size(16)));
    const std::size_t full = words / 2 * 2;
    detail::majority_words<Lanes>(members, n, 0, full, out);
    detail::majority_words<uint64_t>(members, n, full, words, out);
}

}  // namespace simd::portable
