#include "poisson.hpp"

#include <emmintrin.h>

#include "error.hpp"

namespace poisson {

// Transformed rejection with squeeze (Hoermann's PTRS): the hat is built from the mean alone.
Knuth::Rejection::Rejection(double mu)
    : mean(mu), log_mean(std::log(mu)), whole(std::floor(mu)), frac(mu - std::floor(mu)) {
    const double s = std::sqrt(mu);
    b = 0.931 + 2.53 * s;
    a = -0.059 + 0.02483 * b;
    log_inv_alpha = std::log(1.1239 + 1.1328 / (b - 3.4));
    v_r = 0.9277 - 3.6224 / (b - 2.0);
}

namespace {

// ln of the Poisson probability of k = mu + d at mean mu. Written as d - k ln(1 + d/mu) less
// the Stirling terms of ln k!, so that no two terms of size mu ln mu cancel: the plain
// -mu + k ln mu - ln k! loses every digit for the means this path serves. d comes exact from
// the draw; k (as a double) only enters the small terms.
double log_probability(double k, double d, double mu, double log_mean) {
    if (k < 16.0) {
        double log_factorial = 0.0;
        for (double i = 2.0; i <= k; i += 1.0) log_factorial += std::log(i);
        return -mu + k * log_mean - log_factorial;
    }
    const double inv = 1.0 / k, inv2 = inv * inv;
    const double stirling = inv * (1.0 / 12.0 - inv2 * (1.0 / 360.0 - inv2 * (1.0 / 1260.0)));
    return d - k * std::log1p(d / mu) - 0.5 * std::log(6.283185307179586 * k) - stirling;
}

}  // namespace

namespace {

// whole + j as a count: 0 below, 2^64 - 1 above what a count can hold.
uint64_t count_of(double whole, double j) {
    if (!(whole < 18446744073709551616.0)) return UINT64_MAX;
    const uint64_t w = static_cast<uint64_t>(whole);
    if (j < 0.0) return -j >= whole ? 0 : w - static_cast<uint64_t>(-j);
    uint64_t k;
    return __builtin_add_overflow(w, engine::saturating_u64(j), &k) ? UINT64_MAX : k;
}

}  // namespace

uint64_t Knuth::Reader::draw_rejection() {
    const Rejection& c = k_.large_;
    for (;;) {
        const double u = uniform() - 0.5;
        const double v = uniform();
        const double us = 0.5 - std::fabs(u);
        // k = floor(x + mean + 0.43), taken as floor(mean) plus the small offset j, so that a
        // mean beyond 2^53 keeps the count's low digits.
        const double j = std::floor((2.0 * c.a / us + c.b) * u + c.frac + 0.43);
        if (us >= 0.07 && v <= c.v_r) return count_of(c.whole, j);
        if (j < -c.whole || (us < 0.013 && v > us)) continue;
        const double k = c.whole + j;
        if (std::log(v) + c.log_inv_alpha - std::log(c.a / (us * us) + c.b) <=
            log_probability(k, j - c.frac, c.mean, c.log_mean))
            return count_of(c.whole, j);
    }
}

std::size_t Knuth::refill(std::size_t pos) {
    const std::size_t kept = kBlock - pos;
    for (std::size_t i = 0; i < kept; ++i) u_[i] = u_[pos + i];
    rng::Xoshiro256pp g = gen_;
    for (std::size_t i = kept; i < kBlock; ++i) u_[i] = g.next_f64();
    gen_ = g;
    if (large_.mean > 0.0) return 0;  // the rejection method reads no product table
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
