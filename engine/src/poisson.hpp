// Poisson counts by Knuth's product-of-uniforms method, for the networks' external drive.
#pragma once
#include <cmath>
#include <cstdint>

#include "rng.hpp"

namespace poisson {

// Largest mean of one product run. Beyond ~708 exp(-mean) is no longer a normal double and
// the product stops near 745 draws whatever the mean; a larger mean is drawn as the sum of
// equal runs of at most this mean (a sum of Poisson counts is a Poisson count).
inline constexpr double kMaxRunMean = 700.0;

// Runs needed for a mean: ceil(mean / kMaxRunMean), saturating.
inline uint64_t runs_for(double mean) {
    const double r = std::ceil(mean / kMaxRunMean);
    if (!(r < 18446744073709551616.0)) return UINT64_MAX;
    return static_cast<uint64_t>(r);
}

// Draws counts of one mean >= 0. A mean up to kMaxRunMean (and an infinite one, whose
// single run ends when the product underflows) is one run with limit exp(-mean).
struct Knuth {
    double limit;
    uint64_t runs = 1;

    explicit Knuth(double mean) {
        if (mean > kMaxRunMean && std::isfinite(mean)) {
            runs = runs_for(mean);
            mean = mean / static_cast<double>(runs);
        }
        limit = std::exp(-mean);
    }

    // k = -1, p = 1; repeat { p *= U; k += 1 } until p <= limit, once per run, summed.
    uint64_t draw(rng::Xoshiro256pp& g) const {
        uint64_t k = draw_run(g);
        for (uint64_t r = 1; r < runs; ++r) k += draw_run(g);
        return k;
    }

    uint64_t draw_run(rng::Xoshiro256pp& g) const {
        double p = g.next_f64();
        uint64_t k = 0;
        while (p > limit) {
            p *= g.next_f64();
            ++k;
        }
        return k;
    }
};

}  // namespace poisson
