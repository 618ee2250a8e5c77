#include "predictive_coding.hpp"

#include <algorithm>

#include "error.hpp"
#include "lfsr.hpp"
#include "simd/kernels.hpp"

namespace predictive_coding {
namespace {

struct Frames {
    std::size_t count;     // whole frames coded
    std::size_t channels;  // channels that carry predictor state: n, or 0 when nothing is coded
};

// Predictor state is kept only for channels that are coded, so a channel count beyond the
// input's length needs no memory (nothing is coded and the output is all zeros).
Frames frames(std::size_t len, std::size_t n) {
    if (n == 0) engine::panic("attempt to divide by zero");
    const std::size_t count = len / n;
    return {count, count > 0 ? n : 0};
}

// Per-channel LFSR predictor: register seeded from (seed + 7919 c) mod 2^16, 0 replaced by 1.
struct LfsrPredictor {
    std::vector<uint16_t> reg;
    std::vector<int32_t> q;
    LfsrPredictor(std::size_t n, uint16_t seed) : reg(n), q(n, 0) {
        for (std::size_t c = 0; c < n; ++c) {
            const auto r = static_cast<uint16_t>(seed + 7919u * static_cast<uint64_t>(c));
            reg[c] = r == 0 ? 1 : r;
        }
    }
    int8_t predict(std::size_t c) {
        const uint16_t b = reg[c];
        reg[c] = lfsr::step16(b);
        return b < q[c] ? 1 : 0;
    }
    void update(std::size_t c, bool spike, int32_t alpha_q8) {
        const int32_t target = spike ? 255 : 0;
        // The product wraps to 32 bits; the shift is arithmetic.
        const auto prod = static_cast<int32_t>(static_cast<uint32_t>(
            static_cast<int64_t>(alpha_q8) * static_cast<int64_t>(target - q[c])));
        q[c] = std::clamp<int64_t>(static_cast<int64_t>(q[c]) + (prod >> 8), 0, 255);
    }
};

}  // namespace

std::pair<std::vector<int8_t>, std::size_t> predict_and_xor_ema(std::span<const int8_t> spikes,
                                                                 std::size_t n, double alpha,
                                                                 double threshold) {
    const auto [t_max, channels] = frames(spikes.size(), n);
    std::vector<int8_t> errors(spikes.size(), 0);
    std::vector<double> e(channels, 0.0);
    std::size_t correct = 0;
    for (std::size_t t = 0; t < t_max; ++t) {
        for (std::size_t c = 0; c < n; ++c) {
            const std::size_t i = t * n + c;
            const int8_t s = spikes[i];
            const int8_t p = e[c] > threshold ? 1 : 0;
            errors[i] = static_cast<int8_t>(p ^ s);
            e[c] = e[c] * (1.0 - alpha) + static_cast<double>(s) * alpha;
            if (p == s) ++correct;
        }
    }
    return {std::move(errors), correct};
}

std::vector<int8_t> xor_and_recover_ema(std::span<const int8_t> errors, std::size_t n, double alpha,
                                        double threshold) {
    const auto [t_max, channels] = frames(errors.size(), n);
    std::vector<int8_t> spikes(errors.size(), 0);
    std::vector<double> e(channels, 0.0);
    for (std::size_t t = 0; t < t_max; ++t) {
        for (std::size_t c = 0; c < n; ++c) {
            const std::size_t i = t * n + c;
            const int8_t p = e[c] > threshold ? 1 : 0;
            const auto s = static_cast<int8_t>(p ^ errors[i]);
            spikes[i] = s;
            e[c] = e[c] * (1.0 - alpha) + static_cast<double>(s) * alpha;
        }
    }
    return spikes;
}

std::pair<std::vector<int8_t>, std::size_t> predict_and_xor_lfsr(std::span<const int8_t> spikes,
                                                                  std::size_t n, int32_t alpha_q8,
                                                                  uint16_t seed) {
    const auto [t_max, channels] = frames(spikes.size(), n);
    std::vector<int8_t> errors(spikes.size(), 0);
    LfsrPredictor pred(channels, seed);
    std::size_t correct = 0;
    for (std::size_t t = 0; t < t_max; ++t) {
        for (std::size_t c = 0; c < n; ++c) {
            const std::size_t i = t * n + c;
            const int8_t s = spikes[i];
            const int8_t p = pred.predict(c);
            errors[i] = static_cast<int8_t>(s ^ p);
            if (s == p) ++correct;
            pred.update(c, s != 0, alpha_q8);
        }
    }
    return {std::move(errors), correct};
}

std::vector<int8_t> xor_and_recover_lfsr(std::span<const int8_t> errors, std::size_t n,
                                         int32_t alpha_q8, uint16_t seed) {
    const auto [t_max, channels] = frames(errors.size(), n);
    std::vector<int8_t> spikes(errors.size(), 0);
    LfsrPredictor pred(channels, seed);
    for (std::size_t t = 0; t < t_max; ++t) {
        for (std::size_t c = 0; c < n; ++c) {
            const std::size_t i = t * n + c;
            const int8_t p = pred.predict(c);
            const auto s = static_cast<int8_t>(p ^ errors[i]);
            spikes[i] = s;
            pred.update(c, s != 0, alpha_q8);
        }
    }
    return spikes;
}

double prediction_error(std::span<const uint64_t> predicted, std::span<const uint64_t> actual,
                        std::size_t length) {
    if (length == 0) return 0.0;
    // Counts over the shorter of the two, as the kernel does.
    return static_cast<double>(simd::fused_xor_popcount_dispatch(predicted, actual)) /
           static_cast<double>(length);
}

}  // namespace predictive_coding
