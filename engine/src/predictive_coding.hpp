// Predictive XOR coding of multi-channel spike trains (frame-major: element t * n + c).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace predictive_coding {

std::pair<std::vector<int8_t>, std::size_t> predict_and_xor_ema(std::span<const int8_t> spikes,
                                                                 std::size_t n, double alpha,
                                                                 double threshold);
std::vector<int8_t> xor_and_recover_ema(std::span<const int8_t> errors, std::size_t n, double alpha,
                                        double threshold);
std::pair<std::vector<int8_t>, std::size_t> predict_and_xor_lfsr(std::span<const int8_t> spikes,
                                                                  std::size_t n, int32_t alpha_q8,
                                                                  uint16_t seed);
std::vector<int8_t> xor_and_recover_lfsr(std::span<const int8_t> errors, std::size_t n,
                                         int32_t alpha_q8, uint16_t seed);

// Set bits of predicted XOR actual over the shorter length, divided by length (0 for length 0).
double prediction_error(std::span<const uint64_t> predicted, std::span<const uint64_t> actual,
                        std::size_t length);

}  // namespace predictive_coding
