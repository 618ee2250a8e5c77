#include "kvra/metrics.hpp"

#include <cmath>
#include <string>

#include "error.hpp"

namespace kvra::metrics {
namespace {

// Keeps x above 0, else 0 (NaN too).
double positive_or_zero(double x) { return x > 0.0 ? x : 0.0; }

// Clamps to [0, 1], letting NaN through.
double unit_clamp(double x) {
    if (x < 0.0) return 0.0;
    if (x > 1.0) return 1.0;
    return x;
}

// min(x, 1) that lets NaN through.
double cap_one(double x) { return x > 1.0 ? 1.0 : x; }

}  // namespace

void check_length(std::size_t expected, std::size_t got) {
    if (got != expected)
        throw engine::Error("expected a sequence of length " + std::to_string(expected) +
                            " (got " + std::to_string(got) + ")");
}

double KVRAMetrics::global_coherence(const std::array<double, 7>& weights,
                                     const std::array<double, 7>& metrics) {
    std::array<double, 7> w;
    double total = 0.0;
    for (std::size_t i = 0; i < 7; ++i) {
        w[i] = positive_or_zero(weights[i]);
        total += w[i];
    }
    if (total == 0.0) return 0.0;
    double s = 0.0;
    for (std::size_t i = 0; i < 7; ++i) s += w[i] * unit_clamp(metrics[i]);
    return unit_clamp(s / total);
}

double KVRAMetrics::consciousness_index(std::span<const double> phases_l4,
                                        const std::array<double, 6>& glyph_l7) {
    double r = 0.0;
    if (!phases_l4.empty()) {
        double c = -0.0, s = -0.0;
        for (const double p : phases_l4) c += std::cos(p);
        for (const double p : phases_l4) s += std::sin(p);
        const double inv = 1.0 / static_cast<double>(phases_l4.size());
        const double mc = inv * c, ms = inv * s;
        r = 0.7 * cap_one(std::sqrt(mc * mc + ms * ms));
    }
    double g2 = glyph_l7[0] * glyph_l7[0];
    for (std::size_t i = 1; i < 6; ++i) g2 += glyph_l7[i] * glyph_l7[i];
    const double g = std::sqrt(g2) / 2.449489742783178;
    return unit_clamp(0.3 * cap_one(g) + r);
}

}  // namespace kvra::metrics
