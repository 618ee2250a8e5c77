// Coherence scores of a layered phase network, each in [0, 1] (or NaN).
#pragma once
#include <array>
#include <cstddef>
#include <span>

namespace kvra::metrics {

// A fixed-length argument given with another length: engine::Error
// "expected a sequence of length {expected} (got {got})".
void check_length(std::size_t expected, std::size_t got);

struct KVRAMetrics {
    // Weighted mean of the metrics clamped to [0, 1], negative and NaN weights counting as 0;
    // 0.0 when no weight is positive.
    static double global_coherence(const std::array<double, 7>& weights,
                                   const std::array<double, 7>& metrics);

    // 0.7 * (phase coherence of the layer, capped at 1) + 0.3 * (glyph magnitude / sqrt(6),
    // capped at 1), clamped to [0, 1].
    static double consciousness_index(std::span<const double> phases_l4,
                                      const std::array<double, 6>& glyph_l7);
};

}  // namespace kvra::metrics
