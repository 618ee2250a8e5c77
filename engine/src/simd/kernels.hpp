// The hot loops in three forms (portable, AVX2, AVX-512) and the dispatchers that pick one at
// every call from the feature cache. The integer kernels give equal results on every tier; the
// float kernels each keep a fixed, documented order of operations per tier.
//
// A tier's kernel may be called directly only when its features are present
// (see simd/features.hpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "bitstream.hpp"
#include "simd/target.hpp"

namespace simd {

using Words = std::span<const uint64_t>;
using F64s = std::span<const double>;

// Weighted sums of matrix rows: for r < n_out and c < width,
//   out[r * width + c] = +0.0, then out[r * width + c] + coef[r * n + k] * row_k[c] for k < n in
//   order (each product rounded before its add),
// with row_k = base + (index ? index[k] : k) * stride holding at least width values. Every
// element is its own chain, so every tier gives the same bits.
struct RowSums {
    double* out;
    std::size_t width, n_out;
    const double* coef;
    std::size_t n;
    const std::size_t* index;
    const double* base;
    std::size_t stride;
};

// Dot products of m vectors with n rows, each of len values: out[i * out_stride + j] is the
// tier's dot_f64 of a_i = a + i * a_stride and row_j = rows + j * stride, bit for bit.
struct RowDots {
    const double* a;
    std::size_t a_stride, m, len;
    const double* rows;
    std::size_t stride, n;
    double* out;
    std::size_t out_stride;
};

namespace portable {
// Classic bit-parallel count, four words per step, then one at a time.
uint64_t popcount(Words a);
// The two-slice forms count over the first min(len a, len b) words.
uint64_t and_popcount(Words a, Words b);
uint64_t xor_popcount(Words a, Words b);
// Bit j is set when bytes[j] < t (unsigned).
uint64_t bernoulli_compare(std::span<const uint8_t, 64> bytes, uint8_t t);
// s = -0.0, then s = s + a[i] * b[i] left to right over min(len a, len b) elements.
double dot_f64(F64s a, F64s b);
// Starts at -inf; NaN elements are ignored.
double max_f64(F64s a);
// s = -0.0, then left to right.
double sum_f64(F64s a);
void scale_f64(std::span<double> a, double factor);
// out[k] for k < words: bit j set when more than n / 2 of the n >= 1 members have bit j of word
// k set. Every member holds at least `words` words.
void majority(const uint64_t* const* members, std::size_t n, std::size_t words, uint64_t* out);
void combine_rows_f64(const RowSums& s);
// a[i] = a[i] / d, element by element (IEEE division: equal on every tier).
void divide_f64(std::span<double> a, double d);
void dot_rows_f64(const RowDots& d);
}  // namespace portable

namespace avx2 {
SC_TARGET_AVX2 uint64_t popcount_avx2(Words a);
SC_TARGET_AVX2 uint64_t fused_and_popcount_avx2(Words a, Words b);
SC_TARGET_AVX2 uint64_t fused_xor_popcount_avx2(Words a, Words b);
SC_TARGET_AVX2 bitstream::BitStreamTensor pack_avx2(std::span<const uint8_t> bytes);
// 32 bytes at a time; bit j of the result is set when bytes[j] < t.
SC_TARGET_AVX2 uint32_t bernoulli_compare_avx2(std::span<const uint8_t, 32> bytes, uint8_t t);
// Four lanes from +0.0, lane k += a[4g+k] * b[4g+k] fused; s = ((l0 + l1) + l2) + l3; then the
// rest one by one as s = s + a[i] * b[i].
SC_TARGET_AVX2_FMA double dot_f64_avx2(F64s a, F64s b);
// Per-lane running maximum with the processor's max (a NaN element replaces the lane value);
// lanes and the rest then combined left to right ignoring NaNs.
SC_TARGET_AVX2 double max_f64_avx2(F64s a);
// Four lanes from +0.0, combined as ((l0 + l1) + l2) + l3, then the rest left to right.
SC_TARGET_AVX2 double sum_f64_avx2(F64s a);
SC_TARGET_AVX2 void scale_f64_avx2(std::span<double> a, double factor);
SC_TARGET_AVX2 void majority_avx2(const uint64_t* const* members, std::size_t n, std::size_t words,
                                  uint64_t* out);
SC_TARGET_AVX2 void combine_rows_f64_avx2(const RowSums& s);
SC_TARGET_AVX2 void divide_f64_avx2(std::span<double> a, double d);
SC_TARGET_AVX2_FMA void dot_rows_f64_avx2(const RowDots& d);
}  // namespace avx2

namespace detail {
// The AVX-512 tier's sum of its eight lanes: y_k = l_k + l_(k+4), x_k = y_k + y_(k+2), x0 + x1.
// One definition, so that every kernel that promises that tier's order keeps it.
inline double halving_sum(const double l[8]) {
    double y[4];
    for (int k = 0; k < 4; ++k) y[k] = l[k] + l[k + 4];
    const double x0 = y[0] + y[2], x1 = y[1] + y[3];
    return x0 + x1;
}
}  // namespace detail

namespace avx512 {
SC_TARGET_AVX512VPOPCNTDQ uint64_t popcount_avx512(Words a);
SC_TARGET_AVX512VPOPCNTDQ uint64_t fused_and_popcount_avx512(Words a, Words b);
SC_TARGET_AVX512VPOPCNTDQ uint64_t fused_xor_popcount_avx512(Words a, Words b);
SC_TARGET_AVX512BW bitstream::BitStreamTensor pack_avx512(std::span<const uint8_t> bytes);
// Compares the first 64 bytes; fewer than 64 stops with "buffer must contain at least 64 bytes".
SC_TARGET_AVX512BW uint64_t bernoulli_compare_avx512(std::span<const uint8_t> bytes, uint8_t t);
// Eight lanes from +0.0 with fused multiply-adds; y_k = l_k + l_(k+4), x_k = y_k + y_(k+2),
// s = x0 + x1; then the rest one by one as s = s + a[i] * b[i].
SC_TARGET_AVX512F double dot_f64_avx512(F64s a, F64s b);
// Per-lane running maximum; lanes combined by the same halving tree and the rest appended,
// all with the processor's max (second operand on NaN).
SC_TARGET_AVX512F double max_f64_avx512(F64s a);
// Eight lanes from +0.0, the halving tree of the dot product, then the rest left to right.
SC_TARGET_AVX512F double sum_f64_avx512(F64s a);
SC_TARGET_AVX512F void scale_f64_avx512(std::span<double> a, double factor);
SC_TARGET_AVX512F void majority_avx512(const uint64_t* const* members, std::size_t n,
                                       std::size_t words, uint64_t* out);
SC_TARGET_AVX512F void combine_rows_f64_avx512(const RowSums& s);
SC_TARGET_AVX512F void divide_f64_avx512(std::span<double> a, double d);
SC_TARGET_AVX512F void dot_rows_f64_avx512(const RowDots& d);
}  // namespace avx512

// Dispatchers. Counting: AVX-512 VPOPCNTDQ, else AVX2, else portable.
uint64_t popcount_dispatch(Words a);
uint64_t fused_and_popcount_dispatch(Words a, Words b);
uint64_t fused_xor_popcount_dispatch(Words a, Words b);
// AVX-512 BW, else AVX2, else bitstream::pack_fast.
bitstream::BitStreamTensor pack_dispatch(std::span<const uint8_t> bytes);
// AVX-512 BW, else AVX2 (low and high halves), else portable.
uint64_t bernoulli_compare_dispatch(std::span<const uint8_t, 64> bytes, uint8_t t);
// AVX-512 F, else AVX2 with FMA, else portable.
double dot_f64_dispatch(F64s a, F64s b);
// AVX-512 F, else AVX2, else portable.
double max_f64_dispatch(F64s a);
double sum_f64_dispatch(F64s a);
void scale_f64_dispatch(std::span<double> a, double factor);
// AVX-512 F, else AVX2, else portable; equal bits on every tier.
void majority_dispatch(const uint64_t* const* members, std::size_t n, std::size_t words, uint64_t* out);
// Dot products of many vectors with many rows (see RowDots): AVX-512 F, else AVX2 with FMA,
// else portable, each equal to that tier's dot_f64.
void dot_rows_f64_dispatch(const RowDots& d);
// AVX-512 F, else AVX2, else portable; equal on every tier.
void divide_f64_dispatch(std::span<double> a, double d);
// Weighted sums of rows (see RowSums): AVX-512 F, else AVX2, else portable; equal on every tier.
void combine_rows_f64_dispatch(const RowSums& s);
// Empty: unchanged. Else m = max, x = exp(x - m) for each value (C library, one at a time),
// s = sum, and when s > 0 every value is multiplied by 1 / s.
void softmax_inplace_f64_dispatch(std::span<double> values);

}  // namespace simd
