#include "ir/builder.hpp"

#include <utility>
#include <vector>

#include "error.hpp"
#include "ir/lexical.hpp"

namespace ir {

ScGraphBuilder::ScGraphBuilder(std::string name) { graph_.name = std::move(name); }

ValueId ScGraphBuilder::append(ScOp op) {
    const ValueId id = graph_.next_id;
    graph_.next_id = id + 1u;
    op.set_id(id);
    graph_.ops.push_back(std::move(op));
    return id;
}

ValueId ScGraphBuilder::input(std::string_view name, ScType ty) {
    return append(op::Input{0, std::move(ty), std::string(name)});
}
ValueId ScGraphBuilder::output(std::string_view name, ValueId source) {
    return append(op::Output{0, source, std::string(name)});
}
ValueId ScGraphBuilder::constant(ConstValue value, ScType ty) {
    return append(op::Constant{0, std::move(ty), std::move(value)});
}
ValueId ScGraphBuilder::encode(ValueId prob, std::size_t length, uint16_t seed) {
    return append(op::Encode{0, prob, length, seed});
}
ValueId ScGraphBuilder::bitwise_and(ValueId lhs, ValueId rhs) {
    return append(op::BitwiseAnd{0, lhs, rhs});
}
ValueId ScGraphBuilder::scale(ValueId input, double factor) {
    return append(op::Scale{0, input, factor});
}
ValueId ScGraphBuilder::offset(ValueId input, double offset) {
    return append(op::Offset{0, input, offset});
}
ValueId ScGraphBuilder::div_const(ValueId input, uint64_t divisor) {
    return append(op::DivConst{0, input, divisor});
}
ValueId ScGraphBuilder::popcount(ValueId input) { return append(op::Popcount{0, input}); }

ValueId ScGraphBuilder::lif_step(ValueId current, ValueId leak, ValueId gain, ValueId noise,
                                 uint32_t data_width, uint32_t fraction, int64_t v_rest,
                                 int64_t v_reset, int64_t v_threshold,
                                 uint32_t refractory_period) {
    op::LifStep o;
    o.current = current;
    o.leak = leak;
    o.gain = gain;
    o.noise = noise;
    o.data_width = data_width;
    o.fraction = fraction;
    o.v_rest = v_rest;
    o.v_reset = v_reset;
    o.v_threshold = v_threshold;
    o.refractory_period = refractory_period;
    return append(o);
}

ValueId ScGraphBuilder::dense_forward(ValueId inputs, ValueId weights, ValueId leak, ValueId gain,
                                      std::size_t n_inputs, std::size_t n_neurons,
                                      uint32_t data_width, std::size_t stream_length,
                                      uint16_t seed, uint16_t weight_seed, int64_t y_min,
                                      int64_t y_max) {
    op::DenseForward o;
    o.inputs = inputs;
    o.weights = weights;
    o.leak = leak;
    o.gain = gain;
    o.n_inputs = n_inputs;
    o.n_neurons = n_neurons;
    o.data_width = data_width;
    o.stream_length = stream_length;
    o.seed = seed;
    o.weight_seed = weight_seed;
    o.y_min = y_min;
    o.y_max = y_max;
    return append(o);
}

// ---------------------------------------------------------------- parse_sc_type

namespace {

[[noreturn]] void type_error(std::string msg) { throw engine::Error(std::move(msg)); }

std::string quoted(std::string_view prefix, std::string_view text) {
    return std::string(prefix) + "'" + std::string(text) + "'";
}

// Every step but the vector one: l is the lower-cased text, shown the text named in messages.
ScType scalar_sc_type(std::string_view l, std::string_view shown) {
    if (l == "bool") return ScType::boolean();
    if (l == "rate") return ScType::rate();
    if (l == "bitstream") return ScType::bitstream(0);
    uint32_t w = 0;
    if (l.starts_with('u') && !lex::parse_uint(l.substr(1), w)) return ScType::uint(w);
    if (l.starts_with('i') && !lex::parse_uint(l.substr(1), w)) return ScType::sint(w);
    if (l.size() > 10 && l.starts_with("bitstream<") && l.ends_with('>')) {
        const std::string_view between = l.substr(10, l.size() - 11);
        std::size_t n = 0;
        if (lex::parse_uint(between, n)) type_error(quoted("Invalid bitstream length: ", between));
        return ScType::bitstream(n);
    }
    if (l.starts_with("fixed<") && l.size() > 6 && l.ends_with('>')) {
        const auto pieces = lex::split(l.substr(6, l.size() - 7), ',');
        if (pieces.size() != 2) type_error(quoted("fixed type needs 2 params: ", shown));
        uint32_t width = 0, frac = 0;
        if (lex::parse_uint(lex::trim(pieces[0]), width))
            type_error(quoted("Invalid fixed width: ", pieces[0]));
        if (lex::parse_uint(lex::trim(pieces[1]), frac))
            type_error(quoted("Invalid fixed frac: ", pieces[1]));
        return ScType::fixed(width, frac);
    }
    type_error(quoted("Unknown IR type: ", shown));
}

}  // namespace

ScType parse_sc_type(std::string_view text) {
    const std::string_view t = lex::trim(text);
    std::string lower(t);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');

    // Vector layers are peeled in a loop (they nest to any depth); the element is read first
    // and the counts after it, innermost first, as a recursive reading would.
    std::string_view l = lower;
    std::string_view shown = t;  // the outermost text keeps its case in messages
    std::vector<std::string_view> counts;
    while (l.starts_with("vec<") && l.ends_with('>') && l.size() > 4) {
        const std::string_view between = l.substr(4, l.size() - 5);
        const std::size_t comma = between.rfind(',');
        if (comma == std::string_view::npos) break;
        counts.push_back(lex::trim(between.substr(comma + 1)));
        l = lex::trim(between.substr(0, comma));
        shown = l;
    }
    ScType ty = scalar_sc_type(l, shown);
    for (auto it = counts.rbegin(); it != counts.rend(); ++it) {
        std::size_t n = 0;
        if (lex::parse_uint(*it, n)) type_error(quoted("Invalid vec count: ", *it));
        ty = ScType::vec(std::move(ty), n);
    }
    return ty;
}

// ---------------------------------------------------------------- BuilderSession

BuilderSession::BuilderSession(std::string name) : b_(std::in_place, std::move(name)) {}

ScGraphBuilder& BuilderSession::live() {
    if (!b_) throw engine::Error("Builder already consumed by build().");
    return *b_;
}

ValueId BuilderSession::input(const std::string& name, const std::string& ty) {
    ScType t = parse_sc_type(ty);
    return live().input(name, std::move(t));
}
ValueId BuilderSession::output(const std::string& name, uint32_t source_id) {
    return live().output(name, source_id);
}
ValueId BuilderSession::constant_f64(double value, const std::string& ty) {
    ScType t = parse_sc_type(ty);
    return live().constant(value, std::move(t));
}
ValueId BuilderSession::constant_i64(int64_t value, const std::string& ty) {
    ScType t = parse_sc_type(ty);
    return live().constant(value, std::move(t));
}
ValueId BuilderSession::encode(uint32_t prob_id, std::size_t length, uint64_t seed) {
    if (seed >= 65536) throw engine::Error("Seed out of range for u16: " + std::to_string(seed));
    return live().encode(prob_id, length, static_cast<uint16_t>(seed));
}
ValueId BuilderSession::scale(uint32_t input_id, double factor) {
    return live().scale(input_id, factor);
}
ValueId BuilderSession::offset(uint32_t input_id, double offset_val) {
    return live().offset(input_id, offset_val);
}
ValueId BuilderSession::div_const(uint32_t input_id, uint64_t divisor) {
    return live().div_const(input_id, divisor);
}
ValueId BuilderSession::bitwise_and(uint32_t lhs_id, uint32_t rhs_id) {
    return live().bitwise_and(lhs_id, rhs_id);
}
ValueId BuilderSession::popcount(uint32_t input_id) { return live().popcount(input_id); }

ValueId BuilderSession::lif_step(uint32_t current_id, uint32_t leak_id, uint32_t gain_id,
                                 uint32_t noise_id, uint32_t data_width, uint32_t fraction,
                                 int64_t v_rest, int64_t v_reset, int64_t v_threshold,
                                 uint32_t refractory_period) {
    return live().lif_step(current_id, leak_id, gain_id, noise_id, data_width, fraction, v_rest,
                           v_reset, v_threshold, refractory_period);
}

ValueId BuilderSession::dense_forward(uint32_t inputs_id, uint32_t weights_id, uint32_t leak_id,
                                      uint32_t gain_id, std::size_t n_inputs,
                                      std::size_t n_neurons, uint32_t data_width,
                                      std::size_t stream_length, uint64_t seed_base,
                                      int64_t y_min, int64_t y_max) {
    if (seed_base >= 65536)
        throw engine::Error("seed_base out of range for u16: " + std::to_string(seed_base));
    const auto seed = static_cast<uint16_t>(seed_base);
    const auto weight_seed = static_cast<uint16_t>(seed + 1u);
    return live().dense_forward(inputs_id, weights_id, leak_id, gain_id, n_inputs, n_neurons,
                                data_width, stream_length, seed, weight_seed, y_min, y_max);
}

ScGraph BuilderSession::build() {
    ScGraph g = live().take();
    b_.reset();
    return g;
}

}  // namespace ir
