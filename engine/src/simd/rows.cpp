// Kernels over the rows of a matrix, in three forms: weighted sums of rows, and dot products
// of one vector with many rows.
//
// In a weighted sum each output element is its own chain of rounded products and adds in row
// order, so the vector lanes compute exactly what the portable loop does and every tier gives
// the same bits. The dot products are each tier's own dot product, computed for several rows at
// once so that their independent chains overlap; each result equals that tier's single dot.
#include <immintrin.h>

#include "simd/kernels.hpp"

// GCC 12's AVX-512 shuffles pass an "undefined" register through a full mask and then warn
// about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace simd {
namespace {

inline const double* row_of(const double* base, std::size_t stride, const std::size_t* index, std::size_t k) {
    return base + (index ? index[k] : k) * stride;
}

// The scalar tail of each tier's dot products of a (len values) with rows j0 .. j0 + R - 1,
// after its lanes: from element i0 on, one rounded product and add at a time.
inline void dot_tails(const double* a, std::size_t len, const double* rows, std::size_t stride, std::size_t j0,
                      std::size_t R, std::size_t i0, double* out) {
    for (std::size_t r = 0; r < R; ++r) {
        const double* b = rows + (j0 + r) * stride;
        double s = out[r];
        for (std::size_t i = i0; i < len; ++i) s = s + a[i] * b[i];
        out[r] = s;
    }
}

inline const double* vec_of(const RowDots& d, std::size_t i) { return d.a + i * d.a_stride; }
inline double* out_of(const RowDots& d, std::size_t i) { return d.out + i * d.out_stride; }

}  // namespace

namespace portable {
void combine_rows_f64(const RowSums& s) {
    for (std::size_t r = 0; r < s.n_out; ++r) {
        double* o = s.out + r * s.width;
        for (std::size_t c = 0; c < s.width; ++c) o[c] = 0.0;
        for (std::size_t k = 0; k < s.n; ++k) {
            const double a = s.coef[r * s.n + k];
            const double* row = row_of(s.base, s.stride, s.index, k);
            for (std::size_t c = 0; c < s.width; ++c) o[c] = o[c] + a * row[c];
        }
    }
}

void dot_rows_f64(const RowDots& d) {
    for (std::size_t i = 0; i < d.m; ++i)
        for (std::size_t j = 0; j < d.n; ++j) {
            out_of(d, i)[j] = -0.0;
            dot_tails(vec_of(d, i), d.len, d.rows, d.stride, j, 1, 0, out_of(d, i) + j);
        }
}
}  // namespace portable

namespace avx2 {
namespace {
// Rows r0 .. r0 + R - 1, columns c0 .. c0 + 4B - 1: R * B independent chains per term.
template <std::size_t R, std::size_t B>
SC_TARGET_AVX2 inline void sums_block(const RowSums& s, std::size_t r0, std::size_t c0) {
    __m256d acc[R][B];
    #pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r)
        #pragma GCC unroll 8
        for (std::size_t b = 0; b < B; ++b) acc[r][b] = _mm256_setzero_pd();
    for (std::size_t k = 0; k < s.n; ++k) {
        const double* row = row_of(s.base, s.stride, s.index, k) + c0;
        __m256d x[B];
        #pragma GCC unroll 8
        for (std::size_t b = 0; b < B; ++b) x[b] = _mm256_loadu_pd(row + 4 * b);
        #pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
            const __m256d a = _mm256_set1_pd(s.coef[(r0 + r) * s.n + k]);
            #pragma GCC unroll 8
            for (std::size_t b = 0; b < B; ++b) acc[r][b] = _mm256_add_pd(acc[r][b], _mm256_mul_pd(a, x[b]));
        }
    }
    #pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r)
        #pragma GCC unroll 8
        for (std::size_t b = 0; b < B; ++b) _mm256_storeu_pd(s.out + (r0 + r) * s.width + c0 + 4 * b, acc[r][b]);
}

// The last width % 4 columns of rows r0 .. r0 + R - 1, one element at a time.
inline void sums_tail(const RowSums& s, std::size_t r0, std::size_t R, std::size_t c0) {
    for (std::size_t r = r0; r < r0 + R; ++r)
        for (std::size_t c = c0; c < s.width; ++c) {
            double v = 0.0;
            for (std::size_t k = 0; k < s.n; ++k) v = v + s.coef[r * s.n + k] * row_of(s.base, s.stride, s.index, k)[c];
            s.out[r * s.width + c] = v;
        }
}
}  // namespace

SC_TARGET_AVX2 void combine_rows_f64_avx2(const RowSums& s) {
    const std::size_t full = s.width - s.width % 4;
    std::size_t r0 = 0;
    // Eight rows at a time share each loaded row block; single rows take four blocks at once.
    for (; r0 + 8 <= s.n_out; r0 += 8) {
        for (std::size_t c0 = 0; c0 < full; c0 += 4) sums_block<8, 1>(s, r0, c0);
        sums_tail(s, r0, 8, full);
    }
    for (; r0 < s.n_out; ++r0) {
        std::size_t c0 = 0;
        for (; c0 + 16 <= full; c0 += 16) sums_block<1, 4>(s, r0, c0);
        for (; c0 < full; c0 += 4) sums_block<1, 1>(s, r0, c0);
        sums_tail(s, r0, 1, full);
    }
}

namespace {
template <std::size_t R>
SC_TARGET_AVX2_FMA inline void dots_avx2(const double* a, std::size_t n, const double* rows, std::size_t stride,
                                         std::size_t j0, double* out) {
    __m256d acc[R];
    #pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) acc[r] = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_loadu_pd(a + i);
        #pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r)
            acc[r] = _mm256_fmadd_pd(x, _mm256_loadu_pd(rows + (j0 + r) * stride + i), acc[r]);
    }
    if constexpr (R % 4 == 0) {
        // ((l0 + l1) + l2) + l3 of four accumulators at once, on their transpose.
        for (std::size_t r = 0; r < R; r += 4) {
            const __m256d t0 = _mm256_unpacklo_pd(acc[r], acc[r + 1]), t1 = _mm256_unpackhi_pd(acc[r], acc[r + 1]);
            const __m256d t2 = _mm256_unpacklo_pd(acc[r + 2], acc[r + 3]), t3 = _mm256_unpackhi_pd(acc[r + 2], acc[r + 3]);
            const __m256d l0 = _mm256_permute2f128_pd(t0, t2, 0x20), l2 = _mm256_permute2f128_pd(t0, t2, 0x31);
            const __m256d l1 = _mm256_permute2f128_pd(t1, t3, 0x20), l3 = _mm256_permute2f128_pd(t1, t3, 0x31);
            _mm256_storeu_pd(out + r, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(l0, l1), l2), l3));
        }
    } else {
        #pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
            alignas(32) double l[4];
            _mm256_store_pd(l, acc[r]);
            out[r] = ((l[0] + l[1]) + l[2]) + l[3];
        }
    }
    dot_tails(a, n, rows, stride, j0, R, i, out);
}
}  // namespace

SC_TARGET_AVX2_FMA void dot_rows_f64_avx2(const RowDots& d) {
    for (std::size_t q = 0; q < d.m; ++q) {
        std::size_t j = 0;
        for (; j + 8 <= d.n; j += 8) dots_avx2<8>(vec_of(d, q), d.len, d.rows, d.stride, j, out_of(d, q) + j);
        for (; j < d.n; ++j) dots_avx2<1>(vec_of(d, q), d.len, d.rows, d.stride, j, out_of(d, q) + j);
    }
}
}  // namespace avx2

namespace avx512 {
namespace {
// Rows r0 .. r0 + R - 1, columns c0 .. c0 + 8B - 1 of which the last block holds the columns
// in `last` (masked lanes are neither read nor written).
template <std::size_t R, std::size_t B>
SC_TARGET_AVX512F inline void sums_block(const RowSums& s, std::size_t r0, std::size_t c0, __mmask8 last) {
    __m512d acc[R][B];
    #pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r)
        #pragma GCC unroll 8
        for (std::size_t b = 0; b < B; ++b) acc[r][b] = _mm512_setzero_pd();
    for (std::size_t k = 0; k < s.n; ++k) {
        const double* row = row_of(s.base, s.stride, s.index, k) + c0;
        __m512d x[B];
        #pragma GCC unroll 8
        for (std::size_t b = 0; b + 1 < B; ++b) x[b] = _mm512_loadu_pd(row + 8 * b);
        x[B - 1] = _mm512_maskz_loadu_pd(last, row + 8 * (B - 1));
        #pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
            const __m512d a = _mm512_set1_pd(s.coef[(r0 + r) * s.n + k]);
            #pragma GCC unroll 8
            for (std::size_t b = 0; b < B; ++b) acc[r][b] = _mm512_add_pd(acc[r][b], _mm512_mul_pd(a, x[b]));
        }
    }
    #pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
        double* o = s.out + (r0 + r) * s.width + c0;
        #pragma GCC unroll 8
        for (std::size_t b = 0; b + 1 < B; ++b) _mm512_storeu_pd(o + 8 * b, acc[r][b]);
        _mm512_mask_storeu_pd(o + 8 * (B - 1), last, acc[r][B - 1]);
    }
}

inline __mmask8 lanes(std::size_t n) { return n >= 8 ? static_cast<__mmask8>(0xFF) : static_cast<__mmask8>((1u << n) - 1); }
}  // namespace

SC_TARGET_AVX512F void combine_rows_f64_avx512(const RowSums& s) {
    std::size_t r0 = 0;
    // Eight rows at a time share each loaded row block; single rows take four blocks at once.
    for (; r0 + 8 <= s.n_out; r0 += 8)
        for (std::size_t c0 = 0; c0 < s.width; c0 += 8) sums_block<8, 1>(s, r0, c0, lanes(s.width - c0));
    for (; r0 < s.n_out; ++r0) {
        std::size_t c0 = 0;
        for (; c0 + 32 <= s.width; c0 += 32) sums_block<1, 4>(s, r0, c0, 0xFF);
        for (; c0 < s.width; c0 += 8) sums_block<1, 1>(s, r0, c0, lanes(s.width - c0));
    }
}

namespace {
// detail::halving_sum of eight accumulators at once: the same adds, lane for lane.
SC_TARGET_AVX512F inline void halving_sums8(const __m512d acc[8], double* out) {
    __m512d y[4];  // y[p]: y0 y1 | y2 y3 of accumulator 2p, then of 2p + 1
    #pragma GCC unroll 4
    for (int p = 0; p < 4; ++p)
        y[p] = _mm512_add_pd(_mm512_shuffle_f64x2(acc[2 * p], acc[2 * p + 1], 0x44),
                             _mm512_shuffle_f64x2(acc[2 * p], acc[2 * p + 1], 0xEE));
    // x0 x1 of accumulators 0..3 and of 4..7.
    const __m512d x03 = _mm512_add_pd(_mm512_shuffle_f64x2(y[0], y[1], 0x88), _mm512_shuffle_f64x2(y[0], y[1], 0xDD));
    const __m512d x47 = _mm512_add_pd(_mm512_shuffle_f64x2(y[2], y[3], 0x88), _mm512_shuffle_f64x2(y[2], y[3], 0xDD));
    // s0 s4 s1 s5 s2 s6 s3 s7, then in order.
    const __m512d s = _mm512_add_pd(_mm512_unpacklo_pd(x03, x47), _mm512_unpackhi_pd(x03, x47));
    _mm512_storeu_pd(out, _mm512_permutexvar_pd(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), s));
}

// Dot products of A vectors (a_q = a + q * a_stride) with rows j0 .. j0 + R - 1: each loaded
// row block serves every vector. Results go to out + q * out_stride.
template <std::size_t A, std::size_t R>
SC_TARGET_AVX512F inline void dots_avx512(const double* a, std::size_t a_stride, std::size_t n, const double* rows,
                                          std::size_t stride, std::size_t j0, double* out, std::size_t out_stride) {
    __m512d acc[A][R];
    #pragma GCC unroll 2
    for (std::size_t q = 0; q < A; ++q) {
        #pragma GCC unroll 16
        for (std::size_t r = 0; r < R; ++r) acc[q][r] = _mm512_setzero_pd();
    }
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m512d x[A];
        #pragma GCC unroll 2
        for (std::size_t q = 0; q < A; ++q) x[q] = _mm512_loadu_pd(a + q * a_stride + i);
        #pragma GCC unroll 16
        for (std::size_t r = 0; r < R; ++r) {
            const __m512d y = _mm512_loadu_pd(rows + (j0 + r) * stride + i);
            #pragma GCC unroll 2
            for (std::size_t q = 0; q < A; ++q) acc[q][r] = _mm512_fmadd_pd(x[q], y, acc[q][r]);
        }
    }
    #pragma GCC unroll 2
    for (std::size_t q = 0; q < A; ++q) {
        double* o = out + q * out_stride;
        if constexpr (R % 8 == 0) {
            #pragma GCC unroll 2
            for (std::size_t r = 0; r < R; r += 8) halving_sums8(acc[q] + r, o + r);
        } else {
            #pragma GCC unroll 8
            for (std::size_t r = 0; r < R; ++r) {
                alignas(64) double l[8];
                _mm512_store_pd(l, acc[q][r]);
                o[r] = detail::halving_sum(l);
            }
        }
        dot_tails(a + q * a_stride, n, rows, stride, j0, R, i, o);
    }
}
}  // namespace

SC_TARGET_AVX512F void dot_rows_f64_avx512(const RowDots& d) {
    std::size_t q = 0;
    // Two vectors at a time halve the row loads per product.
    for (; q + 2 <= d.m; q += 2) {
        std::size_t j = 0;
        for (; j + 8 <= d.n; j += 8)
            dots_avx512<2, 8>(vec_of(d, q), d.a_stride, d.len, d.rows, d.stride, j, out_of(d, q) + j, d.out_stride);
        for (; j < d.n; ++j)
            dots_avx512<2, 1>(vec_of(d, q), d.a_stride, d.len, d.rows, d.stride, j, out_of(d, q) + j, d.out_stride);
    }
    for (; q < d.m; ++q) {
        std::size_t j = 0;
        for (; j + 16 <= d.n; j += 16) dots_avx512<1, 16>(vec_of(d, q), 0, d.len, d.rows, d.stride, j, out_of(d, q) + j, 0);
        for (; j + 8 <= d.n; j += 8) dots_avx512<1, 8>(vec_of(d, q), 0, d.len, d.rows, d.stride, j, out_of(d, q) + j, 0);
        for (; j < d.n; ++j) dots_avx512<1, 1>(vec_of(d, q), 0, d.len, d.rows, d.stride, j, out_of(d, q) + j, 0);
    }
}
}  // namespace avx512

namespace portable {
void divide_f64(std::span<double> a, double d) {
    for (double& x : a) x = x / d;
}
}  // namespace portable

SC_TARGET_AVX2 void avx2::divide_f64_avx2(std::span<double> a, double d) {
    const __m256d v = _mm256_set1_pd(d);
    std::size_t i = 0;
    for (; i + 4 <= a.size(); i += 4) _mm256_storeu_pd(&a[i], _mm256_div_pd(_mm256_loadu_pd(&a[i]), v));
    for (; i < a.size(); ++i) a[i] = a[i] / d;
}

SC_TARGET_AVX512F void avx512::divide_f64_avx512(std::span<double> a, double d) {
    const __m512d v = _mm512_set1_pd(d);
    std::size_t i = 0;
    for (; i + 8 <= a.size(); i += 8) _mm512_storeu_pd(&a[i], _mm512_div_pd(_mm512_loadu_pd(&a[i]), v));
    for (; i < a.size(); ++i) a[i] = a[i] / d;
}

}  // namespace simd
