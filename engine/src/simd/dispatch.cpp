// Every call reads the cached feature flags once and runs the widest form they allow.
#include <cmath>

#include "simd/features.hpp"
#include "simd/kernels.hpp"

namespace simd {

uint64_t popcount_dispatch(Words a) {
    const uint32_t f = features();
    if (has(f, kNeedCount512)) return avx512::popcount_avx512(a);
    if (has(f, kNeed256)) return avx2::popcount_avx2(a);
    return portable::popcount(a);
}

uint64_t fused_and_popcount_dispatch(Words a, Words b) {
    const uint32_t f = features();
    if (has(f, kNeedCount512)) return avx512::fused_and_popcount_avx512(a, b);
    if (has(f, kNeed256)) return avx2::fused_and_popcount_avx2(a, b);
    return portable::and_popcount(a, b);
}

uint64_t fused_xor_popcount_dispatch(Words a, Words b) {
    const uint32_t f = features();
    if (has(f, kNeedCount512)) return avx512::fused_xor_popcount_avx512(a, b);
    if (has(f, kNeed256)) return avx2::fused_xor_popcount_avx2(a, b);
    return portable::xor_popcount(a, b);
}

bitstream::BitStreamTensor pack_dispatch(std::span<const uint8_t> bytes) {
    const uint32_t f = features();
    if (has(f, kNeedBytes512)) return avx512::pack_avx512(bytes);
    if (has(f, kNeed256)) return avx2::pack_avx2(bytes);
    return bitstream::pack_fast(bytes);
}

uint64_t bernoulli_compare_dispatch(std::span<const uint8_t, 64> bytes, uint8_t t) {
    const uint32_t f = features();
    if (has(f, kNeedBytes512)) return avx512::bernoulli_compare_avx512(bytes, t);
    if (has(f, kNeed256))
        return static_cast<uint64_t>(avx2::bernoulli_compare_avx2(bytes.first<32>(), t)) |
               (static_cast<uint64_t>(avx2::bernoulli_compare_avx2(bytes.last<32>(), t)) << 32);
    return portable::bernoulli_compare(bytes, t);
}

double dot_f64_dispatch(F64s a, F64s b) {
    const uint32_t f = features();
    if (has(f, kNeedFloat512)) return avx512::dot_f64_avx512(a, b);
    if (has(f, kNeedDot256)) return avx2::dot_f64_avx2(a, b);
    return portable::dot_f64(a, b);
}

double max_f64_dispatch(F64s a) {
    const uint32_t f = features();
    if (has(f, kNeedFloat512)) return avx512::max_f64_avx512(a);
    if (has(f, kNeed256)) return avx2::max_f64_avx2(a);
    return portable::max_f64(a);
}

double sum_f64_dispatch(F64s a) {
    const uint32_t f = features();
    if (has(f, kNeedFloat512)) return avx512::sum_f64_avx512(a);
    if (has(f, kNeed256)) return avx2::sum_f64_avx2(a);
    return portable::sum_f64(a);
}

void scale_f64_dispatch(std::span<double> a, double factor) {
    const uint32_t f = features();
    if (has(f, kNeedFloat512)) return avx512::scale_f64_avx512(a, factor);
    if (has(f, kNeed256)) return avx2::scale_f64_avx2(a, factor);
    portable::scale_f64(a, factor);
}

void dot_rows_f64_dispatch(const RowDots& d) {
    const uint32_t f = features();
    if (has(f, kNeedFloat512)) return avx512::dot_rows_f64_avx512(d);
    if (has(f, kNeedDot256)) return avx2::dot_rows_f64_avx2(d);
    portable::dot_rows_f64(d);
}

void divide_f64_dispatch(std::span<double> a, double d) {
    const uint32_t f = features();
    if (has(f, kNeedFloat512)) return avx512::divide_f64_avx512(a, d);
    if (has(f, kNeed256)) return avx2::divide_f64_avx2(a, d);
    portable::divide_f64(a, d);
}

void combine_rows_f64_dispatch(const RowSums& s) {
    const uint32_t f = features();
    if (has(f, kNeedFloat512)) return avx512::combine_rows_f64_avx512(s);
    if (has(f, kNeed256)) return avx2::combine_rows_f64_avx2(s);
    portable::combine_rows_f64(s);
}

void majority_dispatch(const uint64_t* const* members, std::size_t n, std::size_t words, uint64_t* out) {
    const uint32_t f = features();
    if (has(f, kNeedBits512)) return avx512::majority_avx512(members, n, words, out);
    if (has(f, kNeed256)) return avx2::majority_avx2(members, n, words, out);
    portable::majority(members, n, words, out);
}

void softmax_inplace_f64_dispatch(std::span<double> values) {
    if (values.empty()) return;
    const double m = max_f64_dispatch(values);
    for (double& x : values) x = std::exp(x - m);
    const double s = sum_f64_dispatch(values);
    if (s > 0.0) scale_f64_dispatch(values, 1.0 / s);
}

}  // namespace simd
