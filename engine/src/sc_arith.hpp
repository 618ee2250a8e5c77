// Small stochastic-computing helpers: the divider and the stream length for an accuracy.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sc_arith {

// Stochastic divider: a numerator 1 sets the output, else a denominator 1 clears it, else the
// previous output holds. Only the value 1 counts as set. Over the shorter length.
std::vector<uint8_t> cordiv(std::span<const uint8_t> numerator, std::span<const uint8_t> denominator);

// Stream length for a Hoeffding bound: a power of two from 64 to 65536.
uint64_t adaptive_length(double epsilon, double confidence);

}  // namespace sc_arith
