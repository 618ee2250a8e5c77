// Weighted sums of matrix rows, in three forms. Each output element is its own chain of
// rounded products and adds in row order, so the vector lanes compute exactly what the
// portable loop does and every tier gives the same bits.
#include <immintrin.h>

#include "simd/kernels.hpp"

namespace simd {
namespace {

inline const double* row_of(const double* base, std::size_t stride, const std::size_t* index, std::size_t k) {
    return base + (index ? index[k] : k) * stride;
}

}  // namespace

namespace portable {
void combine_rows_f64(std::span<double> out, F64s coef, const std::size_t* index, const double* base,
                      std::size_t stride) {
    for (double& o : out) o = 0.0;
    for (std::size_t k = 0; k < coef.size(); ++k) {
        const double a = coef[k];
        const double* r = row_of(base, stride, index, k);
        for (std::size_t c = 0; c < out.size(); ++c) out[c] = out[c] + a * r[c];
    }
}
}  // namespace portable

namespace avx2 {
SC_TARGET_AVX2 void combine_rows_f64_avx2(std::span<double> out, F64s coef, const std::size_t* index,
                                          const double* base, std::size_t stride) {
    const std::size_t w = out.size(), n = coef.size();
    std::size_t c0 = 0;
    for (; c0 + 16 <= w; c0 += 16) {
        __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
        for (std::size_t k = 0; k < n; ++k) {
            const __m256d a = _mm256_set1_pd(coef[k]);
            const double* r = row_of(base, stride, index, k) + c0;
            s0 = _mm256_add_pd(s0, _mm256_mul_pd(a, _mm256_loadu_pd(r)));
            s1 = _mm256_add_pd(s1, _mm256_mul_pd(a, _mm256_loadu_pd(r + 4)));
            s2 = _mm256_add_pd(s2, _mm256_mul_pd(a, _mm256_loadu_pd(r + 8)));
            s3 = _mm256_add_pd(s3, _mm256_mul_pd(a, _mm256_loadu_pd(r + 12)));
        }
        _mm256_storeu_pd(&out[c0], s0);
        _mm256_storeu_pd(&out[c0 + 4], s1);
        _mm256_storeu_pd(&out[c0 + 8], s2);
        _mm256_storeu_pd(&out[c0 + 12], s3);
    }
    for (; c0 + 4 <= w; c0 += 4) {
        __m256d s = _mm256_setzero_pd();
        for (std::size_t k = 0; k < n; ++k)
            s = _mm256_add_pd(s, _mm256_mul_pd(_mm256_set1_pd(coef[k]), _mm256_loadu_pd(row_of(base, stride, index, k) + c0)));
        _mm256_storeu_pd(&out[c0], s);
    }
    if (c0 < w) {
        double tail[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t k = 0; k < n; ++k) {
            const double* r = row_of(base, stride, index, k) + c0;
            for (std::size_t c = 0; c < w - c0; ++c) tail[c] = tail[c] + coef[k] * r[c];
        }
        for (std::size_t c = 0; c < w - c0; ++c) out[c0 + c] = tail[c];
    }
}
}  // namespace avx2

namespace avx512 {
SC_TARGET_AVX512F void combine_rows_f64_avx512(std::span<double> out, F64s coef, const std::size_t* index,
                                               const double* base, std::size_t stride) {
    const std::size_t w = out.size(), n = coef.size();
    std::size_t c0 = 0;
    for (; c0 + 32 <= w; c0 += 32) {
        __m512d s0 = _mm512_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
        for (std::size_t k = 0; k < n; ++k) {
            const __m512d a = _mm512_set1_pd(coef[k]);
            const double* r = row_of(base, stride, index, k) + c0;
            s0 = _mm512_add_pd(s0, _mm512_mul_pd(a, _mm512_loadu_pd(r)));
            s1 = _mm512_add_pd(s1, _mm512_mul_pd(a, _mm512_loadu_pd(r + 8)));
            s2 = _mm512_add_pd(s2, _mm512_mul_pd(a, _mm512_loadu_pd(r + 16)));
            s3 = _mm512_add_pd(s3, _mm512_mul_pd(a, _mm512_loadu_pd(r + 24)));
        }
        _mm512_storeu_pd(&out[c0], s0);
        _mm512_storeu_pd(&out[c0 + 8], s1);
        _mm512_storeu_pd(&out[c0 + 16], s2);
        _mm512_storeu_pd(&out[c0 + 24], s3);
    }
    for (; c0 < w; c0 += 8) {
        // The last block reads and writes only the columns that exist.
        const __mmask8 m = w - c0 >= 8 ? static_cast<__mmask8>(0xFF) : static_cast<__mmask8>((1u << (w - c0)) - 1);
        __m512d s = _mm512_setzero_pd();
        for (std::size_t k = 0; k < n; ++k)
            s = _mm512_add_pd(s, _mm512_mul_pd(_mm512_set1_pd(coef[k]),
                                               _mm512_maskz_loadu_pd(m, row_of(base, stride, index, k) + c0)));
        _mm512_mask_storeu_pd(&out[c0], m, s);
    }
}
}  // namespace avx512

void combine_rows_f64_dispatch(std::span<double> out, F64s coef, const std::size_t* index, const double* base,
                               std::size_t stride) {
    const uint32_t f = features();
    if (has(f, kAvx512f)) return avx512::combine_rows_f64_avx512(out, coef, index, base, stride);
    if (has(f, kAvx2)) return avx2::combine_rows_f64_avx2(out, coef, index, base, stride);
    portable::combine_rows_f64(out, coef, index, base, stride);
}

}  // namespace simd
