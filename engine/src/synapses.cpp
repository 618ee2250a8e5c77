#include "synapses.hpp"

#include <algorithm>

#include "neuron.hpp"

namespace synapses {
namespace {

// |a| in 16-bit two's complement: -32768 has no positive counterpart and stays itself.
int32_t wrapping_abs(int16_t a) {
    return a == INT16_MIN ? int32_t{INT16_MIN} : (a < 0 ? -int32_t{a} : int32_t{a});
}

}  // namespace

void StdpSynapse::step(bool pre_spike, bool post_spike, int16_t a_plus, int16_t a_minus, int16_t decay,
                       int16_t w_min, int16_t w_max) {
    // Unsigned: width 0 wraps to a huge value and fails with the rest.
    if (data_width - 1u >= 32u) neuron::bad_mask_width(data_width);
    const uint32_t w = data_width;
    const uint32_t f = fraction & 31u;
    // Every intermediate below is at most a 16-bit sum plus a product of two 16-bit values,
    // exact in 32 bits; the wrapped value is stored in the 16-bit field by truncation.
    auto wrap = [w](int32_t x) { return static_cast<int16_t>(neuron::wrap_bits_unchecked(x, w)); };

    pre_trace = wrap((int32_t{pre_trace} * decay) >> f);
    post_trace = wrap((int32_t{post_trace} * decay) >> f);
    if (pre_spike) pre_trace = wrap(int32_t{pre_trace} + a_plus);
    if (post_spike) {
        post_trace = wrap(int32_t{post_trace} + a_minus);
        const int32_t gain = (int32_t{pre_trace} * wrapping_abs(a_plus)) >> f;
        weight = wrap(std::min(int32_t{weight} + gain, int32_t{w_max}));
    } else if (pre_spike) {
        // The post trace carries a_minus's sign (negative by default); its true magnitude is
        // what depresses (32768 included), or a post-then-pre pairing would raise the weight.
        const int32_t trace = post_trace < 0 ? -int32_t{post_trace} : int32_t{post_trace};
        const int32_t loss = (trace * wrapping_abs(a_minus)) >> f;
        weight = wrap(std::max(int32_t{weight} - loss, int32_t{w_min}));
    }
}

}  // namespace synapses
