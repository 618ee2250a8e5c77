// A plastic synapse in signed fixed-point arithmetic: pair-based spike-timing-dependent
// plasticity with decaying pre- and postsynaptic traces.
#pragma once
#include <cstdint>

namespace synapses {

struct StdpSynapse {
    uint32_t data_width;
    uint32_t fraction;
    int16_t weight;
    int16_t pre_trace;
    int16_t post_trace;

    // Nothing is validated here: a bad width is reported by every step.
    explicit StdpSynapse(int16_t initial_weight, uint32_t data_width_ = 16, uint32_t fraction_ = 8)
        : data_width(data_width_), fraction(fraction_), weight(initial_weight), pre_trace(0), post_trace(0) {}

    // One time step. A post spike potentiates by the pre trace; a pre spike alone depresses by
    // the magnitude of the post trace, so depression lowers the weight whatever a_minus's sign.
    void step(bool pre_spike, bool post_spike, int16_t a_plus = 16, int16_t a_minus = -16,
              int16_t decay = 250, int16_t w_min = 0, int16_t w_max = 32767);
};

}  // namespace synapses
