#include "poisson.hpp"

#include <emmintrin.h>

namespace poisson {

std::size_t Knuth::refill(std::size_t pos) {
    const std::size_t kept = kBlock - pos;
    for (std::size_t i = 0; i < kept; ++i) u_[i] = u_[pos + i];
    rng::Xoshiro256pp g = gen_;
    for (std::size_t i = kept; i < kBlock; ++i) u_[i] = g.next_f64();
    gen_ = g;
    // The products fall monotonically (each factor is below 1), so the number above the limit
    // is the number of leading ones above it. Two start positions at a time (SSE2 is part of
    // every x86-64 processor); the products are the same IEEE products as one at a time.
    const __m128d limit = _mm_set1_pd(limit_);
    const double* u = u_.data();
    std::size_t s = 0;
    for (; s + 5 <= kBlock; s += 2) {
        const __m128d q1 = _mm_loadu_pd(u + s);
        const __m128d q2 = _mm_mul_pd(q1, _mm_loadu_pd(u + s + 1));
        const __m128d q3 = _mm_mul_pd(q2, _mm_loadu_pd(u + s + 2));
        const __m128d q4 = _mm_mul_pd(q3, _mm_loadu_pd(u + s + 3));
        // Each compare gives all ones (-1) per lane where the product is above the limit.
        const __m128i sum = _mm_add_epi64(
            _mm_add_epi64(_mm_castpd_si128(_mm_cmpgt_pd(q1, limit)), _mm_castpd_si128(_mm_cmpgt_pd(q2, limit))),
            _mm_add_epi64(_mm_castpd_si128(_mm_cmpgt_pd(q3, limit)), _mm_castpd_si128(_mm_cmpgt_pd(q4, limit))));
        lead_[s] = static_cast<uint8_t>(-_mm_cvtsi128_si64(sum));
        lead_[s + 1] = static_cast<uint8_t>(-_mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum)));
    }
    for (; s + 3 < kBlock; ++s) {
        const double q1 = u[s], q2 = q1 * u[s + 1], q3 = q2 * u[s + 2], q4 = q3 * u[s + 3];
        lead_[s] = static_cast<uint8_t>((q1 > limit_) + (q2 > limit_) + (q3 > limit_) + (q4 > limit_));
    }
    return 0;
}

}  // namespace poisson
