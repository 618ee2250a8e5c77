// Predictive XOR coding of spike trains.
#include "bindings.hpp"
#include "numpy.hpp"
#include "predictive_coding.hpp"

namespace py {

namespace pc = predictive_coding;
using I8 = np::Array<int8_t, 1>;
using U64 = np::Array<uint64_t, 1>;

static Ref coded(std::pair<std::vector<int8_t>, std::size_t>&& r) {
    Ref arr = np::array(std::move(r.first));
    return Ref::check(to_py(std::make_tuple(std::move(arr), r.second)));
}

Ref prediction_error_function() {
    return function<[](U64 predicted, U64 actual, std::size_t length) {
        return pc::prediction_error(predicted.slice("predicted array must be contiguous: "),
                                    actual.slice("actual array must be contiguous: "), length);
    }>("py_prediction_error", {arg("predicted"), arg("actual"), arg("length")});
}

Ref predict_xor_ema_function() {
    return function<[](I8 spikes, std::size_t n, double alpha, double threshold) {
        return coded(pc::predict_and_xor_ema(spikes.slice("spikes must be contiguous: "), n, alpha, threshold));
    }>("py_predict_xor_ema", {arg("spikes"), arg("n_channels"), arg("alpha"), arg("threshold")});
}

Ref predict_xor_lfsr_function() {
    return function<[](I8 spikes, std::size_t n, int32_t alpha_q8, uint16_t seed) {
        return coded(pc::predict_and_xor_lfsr(spikes.slice("spikes must be contiguous: "), n, alpha_q8, seed));
    }>("py_predict_xor_lfsr", {arg("spikes"), arg("n_channels"), arg("alpha_q8"), arg("seed")});
}

Ref recover_xor_ema_function() {
    return function<[](I8 errors, std::size_t n, double alpha, double threshold) {
        return np::array(pc::xor_and_recover_ema(errors.slice("errors must be contiguous: "), n, alpha, threshold));
    }>("py_recover_xor_ema", {arg("errors"), arg("n_channels"), arg("alpha"), arg("threshold")});
}

Ref recover_xor_lfsr_function() {
    return function<[](I8 errors, std::size_t n, int32_t alpha_q8, uint16_t seed) {
        return np::array(pc::xor_and_recover_lfsr(errors.slice("errors must be contiguous: "), n, alpha_q8, seed));
    }>("py_recover_xor_lfsr", {arg("errors"), arg("n_channels"), arg("alpha_q8"), arg("seed")});
}

}  // namespace py
