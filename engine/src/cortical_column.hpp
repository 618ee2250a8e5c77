// One cortical column: five layers of leaky threshold units joined by seven fixed random
// pathway matrices and driven by a thalamic input vector.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace cortical_column {

struct CorticalColumnNative {
    // Layer values, n each.
    std::vector<double> l4, l23_exc, l23_inh, l5, l6;
    // Pathway matrices, n * n each, row-major: row = receiving unit, column = sending unit.
    std::vector<double> thal_to_l4, l4_to_l23_exc, l23_exc_to_l23_inh, l23_inh_to_l23_exc,
        l23_exc_to_l5, l5_to_l6, l6_to_l4;
    std::size_t n = 0;
    double decay = 0.0;
    double threshold = 0.0;
    double gain = 0.0;

    // Draws the seven matrices from a xorshift64 generator started at seed + 1. Nothing is
    // validated.
    static CorticalColumnNative make(std::size_t n, uint64_t seed, double tau, double dt, double threshold,
                                     double w_exc, double w_inh);

    // One propagation through the column; returns the spikes (1.0 or 0.0) of l4, l23_exc,
    // l23_inh, l5 and l6. The input needs at least n values (an index panic before anything
    // changes otherwise); the values beyond the first n are ignored.
    std::array<std::vector<double>, 5> step(std::span<const double> thalamic_input);

    void reset();
};

}  // namespace cortical_column
