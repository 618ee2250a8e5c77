#include "neuron.hpp"

#include <string>

#include "error.hpp"

namespace neuron {

void bad_mask_width(uint64_t width) {
    engine::panic("mask width must be 1..=32, got " + std::to_string(width));
}

}  // namespace neuron
