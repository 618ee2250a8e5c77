// The random draws of the stochastic models, from the record's own xoshiro256++ generator.
#pragma once
#include <cmath>
#include <cstdint>

#include "rng.hpp"

namespace neurons {

// Uniform in [0, 1): the generator's next output shifted right by 11, times 2^-53.
inline double uniform(rng::Xoshiro256pp& g) { return g.next_f64(); }

// Bernoulli spike: exactly one draw whatever p is; a spike when p exceeds the draw strictly,
// so p >= 1 always spikes and p <= 0 or NaN never does.
inline int32_t bernoulli_spike(rng::Xoshiro256pp& g, double p) { return p > uniform(g) ? 1 : 0; }

// A standard normal value from the cosine branch of Box-Muller: two draws, u1 floored at 1e-30.
inline double gaussian(rng::Xoshiro256pp& g) {
    const double u1 = uniform(g);
    const double u2 = uniform(g);
    return std::sqrt(-2.0 * std::log(u1 < 1e-30 ? 1e-30 : u1)) * std::cos(6.283185307179586 * u2);
}

}  // namespace neurons
