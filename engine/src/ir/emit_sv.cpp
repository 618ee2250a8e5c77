#include "ir/emit_sv.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

#include "error.hpp"
#include "ir/id_map.hpp"

namespace ir {

uint64_t type_width(const ScType& t) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    uint64_t w = 1;
    // Multiplying in any order gives min(true width, 2^64 - 1): zero still wins.
    const ScType* p = &t;
    for (; p && p->kind == ScType::Kind::Vec; p = p->elem.get()) {
        const uint64_t c = p->count;
        if (c == 0 || w == 0) w = 0;
        else w = w > kMax / c ? kMax : w * c;
    }
    uint64_t leaf = 16;
    if (p) {
        switch (p->kind) {
            case ScType::Kind::Bitstream:
            case ScType::Kind::Bool:
                leaf = 1;
                break;
            case ScType::Kind::Rate:
                leaf = 16;
                break;
            case ScType::Kind::UInt:
            case ScType::Kind::SInt:
            case ScType::Kind::FixedPoint:
                leaf = p->width;
                break;
            case ScType::Kind::Vec:
                break;
        }
    }
    if (leaf == 0 || w == 0) return 0;
    return w > kMax / leaf ? kMax : w * leaf;
}

int64_t fx(double x) {
    const double y = x * 256.0;
    if (std::isnan(y)) return 0;
    // 2^63 is exact as a double; every double below it and at least -2^63 converts safely.
    if (y >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (y <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(y);
}

namespace {

std::string dec(uint64_t v) { return std::to_string(v); }
std::string sdec(int64_t v) { return std::to_string(v); }

// Upper index of the range of a width: w - 1, and 0 for a width of 0.
std::string upper(uint64_t w) { return dec(w == 0 ? 0 : w - 1); }

// A 16-bit signed literal. The sign goes in front of the size: "-16'sd256", which is how
// SystemVerilog writes a negative sized literal.
std::string sd16(int64_t v) {
    if (v < 0) return "-16'sd" + dec(0 - static_cast<uint64_t>(v));
    return "16'sd" + dec(static_cast<uint64_t>(v));
}

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", static_cast<unsigned>(v));
    return b;
}

// Value ids resolved once: the first operation with each id, and for outputs the operation
// that their chain of output sources ends at.
class Index {
public:
    explicit Index(const std::vector<ScOp>& ops)
        : ops_(ops), first_(ops.size()), state_(ops.size(), kUnknown), width_(ops.size(), 0) {
        for (std::size_t i = 0; i < ops.size(); ++i) first_.try_emplace(ops[i].id(), i);
    }

    const ScOp* first(ValueId id) const {
        const std::size_t* i = first_.find(id);
        return i ? &ops_[*i] : nullptr;
    }

    std::string wire(ValueId id) const {
        const ScOp* o = first(id);
        const std::string n = dec(id);
        if (!o) return "v" + n;
        switch (o->tag()) {
            case OpTag::Input:
                return o->get<op::Input>()->name;
            // An output is read through its own port: no v-net is declared for it.
            case OpTag::Output:
                return o->get<op::Output>()->name;
            case OpTag::Constant:
                return "c" + n;
            case OpTag::LifStep:
                return "v" + n + "_spike";
            case OpTag::DenseForward:
                return "v" + n + "_spikes";
            default:
                return "v" + n;
        }
    }

    // Width of the output port at index. Chains of outputs are followed once for all outputs
    // on them; a chain that comes back to an output already on it gets the width of an
    // unresolved source, 16.
    uint64_t output_width(std::size_t index) {
        std::vector<std::size_t> chain;
        uint64_t w = 16;
        std::size_t cur = index;
        while (true) {
            if (state_[cur] == kResolved) {
                w = width_[cur];
                break;
            }
            if (state_[cur] == kOnChain) break;  // a cycle: 16
            state_[cur] = kOnChain;
            chain.push_back(cur);
            const std::size_t* src = first_.find(ops_[cur].get<op::Output>()->source);
            if (!src) break;  // no operation: 16
            if (ops_[*src].tag() == OpTag::Output) {
                cur = *src;
                continue;
            }
            w = source_width(ops_[*src]);
            break;
        }
        for (std::size_t c : chain) {
            state_[c] = kResolved;
            width_[c] = w;
        }
        return w;
    }

private:
    enum : uint8_t { kUnknown, kOnChain, kResolved };

    static uint64_t source_width(const ScOp& s) {
        switch (s.tag()) {
            case OpTag::Input:
                return type_width(s.get<op::Input>()->ty);
            case OpTag::Constant:
                return type_width(s.get<op::Constant>()->ty);
            case OpTag::Encode:
            case OpTag::BitwiseAnd:
            case OpTag::BitwiseXor:
                return 1;
            case OpTag::LifStep:
                return s.get<op::LifStep>()->data_width;
            case OpTag::DenseForward:
                return s.get<op::DenseForward>()->n_neurons;
            case OpTag::GraphForward:
                return s.get<op::GraphForward>()->n_features;
            default:
                return 64;
        }
    }

    const std::vector<ScOp>& ops_;
    IdMap<std::size_t> first_;
    std::vector<uint8_t> state_;
    std::vector<uint64_t> width_;
};

void port(std::string& out, const char* dir, uint64_t width, const std::string& name) {
    out += ",\n    ";
    out += dir;
    out += " wire ";
    if (width != 1) out += "[" + upper(width) + ":0] ";
    out += name;
}

void declare(std::string& out, const ScOp& o) {
    const std::string id = dec(o.id());
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, op::Constant>) {
                switch (const_kind(x.value)) {
                    case ConstKind::F64:
                        out += "    localparam signed [15:0] c" + id + " = " +
                               sd16(fx(std::get<double>(x.value))) + ";\n";
                        break;
                    case ConstKind::I64:
                        out += "    localparam signed [15:0] c" + id + " = " +
                               sd16(std::get<int64_t>(x.value)) + ";\n";
                        break;
                    case ConstKind::U64:
                        out += "    localparam [31:0] c" + id + " = 32'd" +
                               dec(std::get<uint64_t>(x.value)) + ";\n";
                        break;
                    case ConstKind::F64List:
                    case ConstKind::I64List: {
                        std::vector<int64_t> elems;
                        if (const auto* f = std::get_if<std::vector<double>>(&x.value))
                            for (double e : *f) elems.push_back(fx(e));
                        else
                            elems = std::get<std::vector<int64_t>>(x.value);
                        if (elems.empty()) {
                            out += "    wire [0:0] c" + id + ";\n";
                            break;
                        }
                        // 16 bits per element, saturating like every other width.
                        const uint64_t m = elems.size();
                        const uint64_t bits = m > std::numeric_limits<uint64_t>::max() / 16
                                                  ? std::numeric_limits<uint64_t>::max()
                                                  : 16 * m;
                        out += "    wire [" + dec(bits - 1) + ":0] c" + id + ";\n";
                        for (std::size_t k = 0; k < elems.size(); ++k)
                            out += "    assign c" + id + "[" + dec(16 * uint64_t{k}) +
                                   " +: 16] = " + sd16(elems[k]) + ";\n";
                        break;
                    }
                }
            } else if constexpr (std::is_same_v<T, op::Encode> ||
                                 std::is_same_v<T, op::BitwiseAnd> ||
                                 std::is_same_v<T, op::BitwiseXor>) {
                out += "    wire v" + id + ";\n";
            } else if constexpr (std::is_same_v<T, op::Popcount>) {
                out += "    logic [63:0] v" + id + ";\n";
            } else if constexpr (std::is_same_v<T, op::LifStep>) {
                out += "    wire v" + id + "_spike;\n    wire signed [" + upper(x.data_width) +
                       ":0] v" + id + "_v_out;\n";
            } else if constexpr (std::is_same_v<T, op::DenseForward>) {
                out += "    wire [" + upper(x.n_neurons) + ":0] v" + id + "_spikes;\n    wire v" +
                       id + "_running;\n    wire v" + id + "_done;\n";
            } else if constexpr (std::is_same_v<T, op::Reduce> || std::is_same_v<T, op::Scale> ||
                                 std::is_same_v<T, op::Offset> ||
                                 std::is_same_v<T, op::DivConst>) {
                out += "    wire [63:0] v" + id + ";\n";
            }
        },
        o.kind);
}

// Appends the lines, each ended by "\n".
template <class... L>
void lines(std::string& out, const L&... l) {
    ((out += l, out += '\n'), ...);
}

// Appends the logic block of one operation; returns the refusal for one with no hardware form.
std::optional<std::string> logic(std::string& out, const ScOp& o, const Index& ix,
                                 uint64_t& instance) {
    const std::string id = dec(o.id());
    std::optional<std::string> refusal;
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, op::Output>) {
                out += "    assign " + x.name + " = " + ix.wire(x.source) + ";\n";
            } else if constexpr (std::is_same_v<T, op::Encode>) {
                lines(out, "    sc_bitstream_encoder #(", "        .DATA_WIDTH(16),",
                      "        .SEED_INIT(16'h" + hex4(x.seed) + ")",
                      "    ) u_enc_" + dec(instance++) + " (", "        .clk(clk),",
                      "        .rst_n(rst_n),", "        .x_value(" + ix.wire(x.prob) + "),",
                      "        .t_index(32'd0),", "        .bit_out(v" + id + ")", "    );", "");
            } else if constexpr (std::is_same_v<T, op::BitwiseAnd>) {
                lines(out, "    sc_bitstream_synapse u_syn_" + dec(instance++) + " (",
                      "        .pre_bit(" + ix.wire(x.lhs) + "),",
                      "        .w_bit(" + ix.wire(x.rhs) + "),", "        .post_bit(v" + id + ")",
                      "    );", "");
            } else if constexpr (std::is_same_v<T, op::Popcount>) {
                lines(out, "    // Combinatorial popcount for v" + id, "    always_comb begin",
                      "        v" + id + " = 64'd0;",
                      "        for (integer _pc_i = 0; _pc_i < 64; _pc_i = _pc_i + 1)",
                      "            v" + id + " = v" + id + " + {63'd0, " + ix.wire(x.input) +
                          "[_pc_i]};",
                      "    end", "");
            } else if constexpr (std::is_same_v<T, op::LifStep>) {
                lines(out, "    sc_lif_neuron #(", "        .DATA_WIDTH(" + dec(x.data_width) + "),",
                      "        .FRACTION(" + dec(x.fraction) + "),",
                      "        .V_REST(" + sdec(x.v_rest) + "),",
                      "        .V_RESET(" + sdec(x.v_reset) + "),",
                      "        .V_THRESHOLD(" + sdec(x.v_threshold) + "),",
                      "        .REFRACTORY_PERIOD(" + dec(x.refractory_period) + ")",
                      "    ) u_lif_" + dec(instance++) + " (", "        .clk(clk),",
                      "        .rst_n(rst_n),", "        .leak_k(" + ix.wire(x.leak) + "),",
                      "        .gain_k(" + ix.wire(x.gain) + "),",
                      "        .I_t(" + ix.wire(x.current) + "),",
                      "        .noise_in(" + ix.wire(x.noise) + "),",
                      "        .spike_out(v" + id + "_spike),", "        .v_out(v" + id + "_v_out)",
                      "    );", "");
            } else if constexpr (std::is_same_v<T, op::DenseForward>) {
                lines(out, "    sc_dense_layer_core #(", "        .N_INPUTS(" + dec(x.n_inputs) + "),",
                      "        .N_NEURONS(" + dec(x.n_neurons) + "),",
                      "        .DATA_WIDTH(" + dec(x.data_width) + ")",
                      "    ) u_dense_" + dec(instance++) + " (", "        .clk(clk),",
                      "        .rst_n(rst_n),", "        .start_pulse(1'b1),",
                      "        .stream_len(32'd" + dec(x.stream_length) + "),",
                      "        .x_input_fp(" + ix.wire(x.inputs) + "),",
                      "        .weight_fp(" + ix.wire(x.weights) + "),", "        .y_min_fp(16'd0),",
                      "        .y_max_fp(16'd256),", "        .cfg_leak(" + ix.wire(x.leak) + "),",
                      "        .cfg_gain(" + ix.wire(x.gain) + "),", "        .I_t(),",
                      "        .spikes(v" + id + "_spikes),", "        .step_valid(),",
                      "        .run_done(v" + id + "_done),", "        .running(v" + id + "_running)",
                      "    );", "");
            } else if constexpr (std::is_same_v<T, op::BitwiseXor>) {
                out += "    assign v" + id + " = " + ix.wire(x.lhs) + " ^ " + ix.wire(x.rhs) + ";\n";
            } else if constexpr (std::is_same_v<T, op::Reduce>) {
                out += std::string("    // ") +
                       (x.mode == ReduceMode::Max ? "reduce_max" : "reduce_sum") +
                       ": passthrough for single-element; multi-element requires adder/comparator "
                       "tree\n    assign v" +
                       id + " = " + ix.wire(x.input) + ";\n";
            } else if constexpr (std::is_same_v<T, op::Scale>) {
                out += "    assign v" + id + " = (" + ix.wire(x.input) + " * " + sdec(fx(x.factor)) +
                       ") >>> 8;\n";
            } else if constexpr (std::is_same_v<T, op::Offset>) {
                out += "    assign v" + id + " = " + ix.wire(x.input) + " + " + sdec(fx(x.offset)) +
                       ";\n";
            } else if constexpr (std::is_same_v<T, op::DivConst>) {
                out += "    assign v" + id + " = " + ix.wire(x.input) + " / " + dec(x.divisor) + ";\n";
            } else if constexpr (std::is_same_v<T, op::GraphForward>) {
                refusal = "GraphForward (v" + id + ", " + dec(x.n_nodes) + " nodes \xC3\x97 " +
                          dec(x.n_features) + " features) has no synthesizable RTL implementation yet";
            } else if constexpr (std::is_same_v<T, op::SoftmaxAttention>) {
                refusal = "SoftmaxAttention (v" + id + ", dim_k=" + dec(x.dim_k) +
                          ") has no synthesizable RTL implementation yet";
            } else if constexpr (std::is_same_v<T, op::KuramotoStep>) {
                refusal = "KuramotoStep (v" + id + ") has no synthesizable RTL implementation yet";
            }
        },
        o.kind);
    return refusal;
}

}  // namespace

std::string value_to_wire(const std::vector<ScOp>& ops, ValueId id) { return Index(ops).wire(id); }

std::variant<std::string, EmitRefusal> emit(const ScGraph& g) {
    Index ix(g.ops);
    std::string out;
    out += "// Auto-generated by SC-Dravik IR Compiler v3.0\n// Source graph: " + g.name +
           "\n// Do not edit \xE2\x80\x94 regenerate from IR source.\n\n";
    out += "`timescale 1ns / 1ps\n\n";
    out += "module " + g.name + " (\n    input wire clk,\n    input wire rst_n";
    for (std::size_t i = 0; i < g.ops.size(); ++i) {
        const ScOp& o = g.ops[i];
        if (const auto* in = o.get<op::Input>())
            port(out, "input", type_width(in->ty), in->name);
        else if (const auto* po = o.get<op::Output>())
            port(out, "output", ix.output_width(i), po->name);
    }
    out += "\n);\n\n";
    for (const ScOp& o : g.ops) declare(out, o);
    out += "\n";
    uint64_t instance = 0;
    for (const ScOp& o : g.ops)
        if (auto refusal = logic(out, o, ix, instance)) return EmitRefusal{std::move(*refusal)};
    out += "\nendmodule\n";
    return out;
}

std::string emit_or_throw(const ScGraph& g) {
    auto r = emit(g);
    if (auto* e = std::get_if<EmitRefusal>(&r)) throw engine::Error(e->message);
    return std::move(std::get<std::string>(r));
}

}  // namespace ir
