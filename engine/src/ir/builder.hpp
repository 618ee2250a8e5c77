// Builds an IR graph one operation at a time, numbering the values 0, 1, 2, ... in append order.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ir/graph.hpp"

namespace ir {

// Checks nothing: operand ids are stored as given, defined or not.
class ScGraphBuilder {
public:
    explicit ScGraphBuilder(std::string name);

    ValueId input(std::string_view name, ScType ty);
    ValueId output(std::string_view name, ValueId source);
    ValueId constant(ConstValue value, ScType ty);
    ValueId encode(ValueId prob, std::size_t length, uint16_t seed);
    ValueId bitwise_and(ValueId lhs, ValueId rhs);
    ValueId scale(ValueId input, double factor);
    ValueId offset(ValueId input, double offset);
    ValueId div_const(ValueId input, uint64_t divisor);
    ValueId popcount(ValueId input);
    ValueId lif_step(ValueId current, ValueId leak, ValueId gain, ValueId noise,
                     uint32_t data_width, uint32_t fraction, int64_t v_rest, int64_t v_reset,
                     int64_t v_threshold, uint32_t refractory_period);
    ValueId dense_forward(ValueId inputs, ValueId weights, ValueId leak, ValueId gain,
                          std::size_t n_inputs, std::size_t n_neurons, uint32_t data_width,
                          std::size_t stream_length, uint16_t seed, uint16_t weight_seed,
                          int64_t y_min, int64_t y_max);

    const ScGraph& graph() const { return graph_; }
    // Hands the graph over; the builder is left with an empty graph.
    ScGraph take() { return std::move(graph_); }

private:
    // Gives the operation the next id (next_id then advances modulo 2^32) and appends it.
    ValueId append(ScOp op);

    ScGraph graph_;
};

// The builder's type reader: ignores ASCII case ("FIXED<16, 8>", "Vec<U8,4>"); raises
// engine::Error with its message on a text it cannot read.
ScType parse_sc_type(std::string_view text);

// The builder as the Python class sees it: a builder until build() hands its graph over, after
// which every call raises "Builder already consumed by build().". Ids arrive as 32-bit values and
// seeds as 64-bit values, checked here; failures raise engine::Error and append nothing.
class BuilderSession {
public:
    explicit BuilderSession(std::string name);

    ValueId input(const std::string& name, const std::string& ty);
    ValueId output(const std::string& name, uint32_t source_id);
    ValueId constant_f64(double value, const std::string& ty);
    ValueId constant_i64(int64_t value, const std::string& ty);
    ValueId encode(uint32_t prob_id, std::size_t length, uint64_t seed);
    ValueId scale(uint32_t input_id, double factor);
    ValueId offset(uint32_t input_id, double offset_val);
    ValueId div_const(uint32_t input_id, uint64_t divisor);
    ValueId bitwise_and(uint32_t lhs_id, uint32_t rhs_id);
    ValueId popcount(uint32_t input_id);
    // Defaults: data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256,
    // refractory_period=2.
    ValueId lif_step(uint32_t current_id, uint32_t leak_id, uint32_t gain_id, uint32_t noise_id,
                     uint32_t data_width, uint32_t fraction, int64_t v_rest, int64_t v_reset,
                     int64_t v_threshold, uint32_t refractory_period);
    // Defaults: n_inputs=3, n_neurons=7, data_width=16, stream_length=1024, seed_base=44257,
    // y_min=0, y_max=65535. The weight seed is seed_base + 1 modulo 65536.
    ValueId dense_forward(uint32_t inputs_id, uint32_t weights_id, uint32_t leak_id,
                          uint32_t gain_id, std::size_t n_inputs, std::size_t n_neurons,
                          uint32_t data_width, std::size_t stream_length, uint64_t seed_base,
                          int64_t y_min, int64_t y_max);
    ScGraph build();

private:
    ScGraphBuilder& live();
    std::optional<ScGraphBuilder> b_;
};

}  // namespace ir
