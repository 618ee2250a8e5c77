#include "sc_arith.hpp"

#include <algorithm>
#include <cmath>

#include "error.hpp"

namespace sc_arith {

std::vector<uint8_t> cordiv(std::span<const uint8_t> numerator, std::span<const uint8_t> denominator) {
    const std::size_t n = std::min(numerator.size(), denominator.size());
    std::vector<uint8_t> out(n);
    uint8_t prev = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (numerator[i] == 1) prev = 1;
        else if (denominator[i] == 1) prev = 0;
        out[i] = prev;
    }
    return out;
}

uint64_t adaptive_length(double epsilon, double confidence) {
    constexpr uint64_t cap = 65536;
    if (epsilon <= 0.0 || confidence >= 1.0) return cap;
    const double bound = std::ceil(-std::log((1.0 - confidence) * 0.5) / ((epsilon + epsilon) * epsilon));
    const uint64_t b = std::max<uint64_t>(engine::saturating_u64(bound), 64);
    if (b > cap) return cap;
    uint64_t p = 64;
    while (p < b) p <<= 1;
    return p;
}

}  // namespace sc_arith
