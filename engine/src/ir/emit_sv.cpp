#include "ir/emit_sv.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

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

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

std::string dec(uint64_t v) { return std::to_string(v); }
std::string sdec(int64_t v) { return std::to_string(v); }

// Upper index of the range of a width: w - 1, and 0 for a width of 0.
std::string upper(uint64_t w) { return dec(w == 0 ? 0 : w - 1); }

uint64_t magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

// A sized literal: the sign goes in front of the size ("-16'sd256"), which is how SystemVerilog
// writes a negative sized literal.
std::string sized(int64_t v, std::string_view size_base) {
    return (v < 0 ? "-" : "") + std::string(size_base) + dec(magnitude(v));
}

bool fits16(int64_t v) { return v >= -32768 && v <= 32767; }

// An integer in an expression of the given signedness. An unsized decimal is a 32-bit signed
// integer: it holds magnitudes below 2^31 where the expression is signed and below 2^32 where it
// is unsigned (and extends without sign there); anything larger is written as a 64-bit literal.
std::string int_lit(int64_t v, bool signed_expr) {
    if (magnitude(v) < (signed_expr ? uint64_t{1} << 31 : uint64_t{1} << 32)) return sdec(v);
    return sized(v, signed_expr ? "64'sd" : "64'd");
}
std::string uint_lit(uint64_t v) { return v < (uint64_t{1} << 32) ? dec(v) : "64'd" + dec(v); }

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", static_cast<unsigned>(v));
    return b;
}

// ---------------------------------------------------------------- names

constexpr const char* kKeywords[] = {
    "accept_on", "alias", "always", "always_comb", "always_ff", "always_latch", "and", "assert",
    "assign", "assume", "automatic", "before", "begin", "bind", "bins", "binsof", "bit", "break",
    "buf", "bufif0", "bufif1", "byte", "case", "casex", "casez", "cell", "chandle", "checker",
    "class", "clocking", "cmos", "config", "const", "constraint", "context", "continue", "cover",
    "covergroup", "coverpoint", "cross", "deassign", "default", "defparam", "design", "disable",
    "dist", "do", "edge", "else", "end", "endcase", "endchecker", "endclass", "endclocking",
    "endconfig", "endfunction", "endgenerate", "endgroup", "endinterface", "endmodule",
    "endpackage", "endprimitive", "endprogram", "endproperty", "endsequence", "endspecify",
    "endtable", "endtask", "enum", "event", "eventually", "expect", "export", "extends", "extern",
    "final", "first_match", "for", "force", "foreach", "forever", "fork", "forkjoin", "function",
    "generate", "genvar", "global", "highz0", "highz1", "if", "iff", "ifnone", "ignore_bins",
    "illegal_bins", "implements", "implies", "import", "incdir", "include", "initial", "inout",
    "input", "inside", "instance", "int", "integer", "interconnect", "interface", "intersect",
    "join", "join_any", "join_none", "large", "let", "liblist", "library", "local", "localparam",
    "logic", "longint", "macromodule", "matches", "medium", "modport", "module", "nand",
    "negedge", "nettype", "new", "nexttime", "nmos", "nor", "noshowcancelled", "not", "notif0",
    "notif1", "null", "or", "output", "package", "packed", "parameter", "pmos", "posedge",
    "primitive", "priority", "program", "property", "protected", "pull0", "pull1", "pulldown",
    "pullup", "pulsestyle_ondetect", "pulsestyle_onevent", "pure", "rand", "randc", "randcase",
    "randsequence", "rcmos", "real", "realtime", "ref", "reg", "reject_on", "release", "repeat",
    "restrict", "return", "rnmos", "rpmos", "rtran", "rtranif0", "rtranif1", "s_always",
    "s_eventually", "s_nexttime", "s_until", "s_until_with", "scalared", "sequence", "shortint",
    "shortreal", "showcancelled", "signed", "small", "soft", "solve", "specify", "specparam",
    "static", "string", "strong", "strong0", "strong1", "struct", "super", "supply0", "supply1",
    "sync_accept_on", "sync_reject_on", "table", "tagged", "task", "this", "throughout", "time",
    "timeprecision", "timeunit", "tran", "tranif0", "tranif1", "tri", "tri0", "tri1", "triand",
    "trior", "trireg", "type", "typedef", "union", "unique", "unique0", "unsigned", "until",
    "until_with", "untyped", "use", "uwire", "var", "vectored", "virtual", "void", "wait",
    "wait_order", "wand", "weak", "weak0", "weak1", "while", "wildcard", "wire", "with", "within",
    "wor", "xnor", "xor",
};

bool is_keyword(const std::string& s) {
    for (const char* k : kKeywords)
        if (s == k) return true;
    return false;
}

bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

// A simple identifier: a letter or "_", then letters, digits, "_" and "$"; no keyword.
bool plain_identifier(const std::string& s) {
    if (s.empty() || !(ascii_letter(s[0]) || s[0] == '_')) return false;
    for (char c : s)
        if (!(ascii_letter(c) || ascii_digit(c) || c == '_' || c == '$')) return false;
    return !is_keyword(s);
}

// An escaped identifier holds printable ASCII only and ends at the first white space, so a
// name with white space, a control character or a byte outside ASCII has no written form.
bool writable(const std::string& s) {
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 33 || u > 126) return false;
    }
    return !s.empty();
}

// The name as the module text writes it: verbatim when it is a simple identifier, else escaped
// ("\" and the name, ended by a space).
std::string sv_name(const std::string& s) { return plain_identifier(s) ? s : "\\" + s + " "; }

// ---------------------------------------------------------------- nets

bool signed_type(const ScType& t) {
    return t.kind == ScType::Kind::SInt || t.kind == ScType::Kind::FixedPoint;
}

// What the module knows of the net that carries a value.
struct Net {
    std::string name;           // as the module text writes it
    uint64_t width = 64;        // bits of the net as declared (a width of 0 is declared [0:0])
    uint64_t value_width = 64;  // bits of the value as the graph types it
    bool is_signed = false;     // the value can be negative: it extends with its sign
    bool declared_signed = false;
    bool known = false;         // an operation defines it
};

// The integer of a float or signed constant (a float in fixed point), and the elements of a
// list constant so.
int64_t signed_value(const ConstValue& v) {
    if (const auto* f = std::get_if<double>(&v)) return fx(*f);
    return std::get<int64_t>(v);
}
std::vector<int64_t> list_values(const ConstValue& v) {
    if (const auto* i = std::get_if<std::vector<int64_t>>(&v)) return *i;
    std::vector<int64_t> elems;
    for (double e : std::get<std::vector<double>>(v)) elems.push_back(fx(e));
    return elems;
}

// Where the elements of a list constant lie: element k in bits [k * slot, (k + 1) * slot) of a
// net of `width` bits. A vector type places each element at its own element width; any other
// type keeps 16-bit slots, or 64-bit ones when an element needs more. Widths saturate at
// 2^64 - 1 as the type's own width does.
struct ListLayout {
    uint64_t slot;
    uint64_t width;
};
ListLayout list_layout(const ScType& ty, const std::vector<int64_t>& elems) {
    uint64_t slot = 16;
    if (ty.kind == ScType::Kind::Vec && ty.elem) {
        slot = type_width(*ty.elem);
    } else {
        for (int64_t e : elems)
            if (!fits16(e)) slot = 64;
    }
    const uint64_t m = elems.size();
    return {slot, m != 0 && slot > kMax64 / m ? kMax64 : slot * m};
}

// Width in bits of the localparam or wire that declares a constant (a list of no bits is
// declared with one).
uint64_t constant_net_width(const ScType& ty, const ConstValue& v) {
    switch (const_kind(v)) {
        case ConstKind::F64:
        case ConstKind::I64:
            return fits16(signed_value(v)) ? 16 : 64;
        case ConstKind::U64:
            return std::get<uint64_t>(v) < (uint64_t{1} << 32) ? 32 : 64;
        default:
            break;
    }
    const uint64_t w = list_layout(ty, list_values(v)).width;
    return w == 0 ? 1 : w;
}

// The literal of v in w > 0 bits: its low w bits in two's complement. A value that w signed
// bits hold is written as a signed decimal, sign before the size; another as the unsigned
// decimal of its low w bits.
std::string literal_in(int64_t v, uint64_t w) {
    const std::string sd = dec(w) + "'sd";
    if (w >= 64) return sized(v, sd);
    const int64_t half = int64_t{1} << (w - 1);
    if (v >= -half && v < half) return sized(v, sd);
    return dec(w) + "'d" + dec(static_cast<uint64_t>(v) & ((uint64_t{1} << w) - 1));
}

// Value ids resolved once: the first operation with each id, the widths of the output ports and
// the net of every operation.
class Index {
public:
    // One numbering of every id mentioned, own ids and operands: each operand then finds its
    // defining operation without a search.
    explicit Index(const std::vector<ScOp>& ops)
        : ops_(ops), ids_(number_graph_ids(ops)), first_(ids_.size(), kNone),
          state_(ops.size(), kUnknown), width_(ops.size(), 0), operand_first_(ops.size() * 4, kNone) {
        for (std::size_t i = ops.size(); i-- > 0;) first_[ids_.number[i]] = i;
        std::size_t k = ops.size();
        for (std::size_t i = 0; i < ops.size(); ++i)
            for (uint8_t j = 0; j < ops[i].operand_list().n; ++j)
                operand_first_[4 * i + j] = first_[ids_.number[k++]];
        nets_.reserve(ops.size());
        for (std::size_t i = 0; i < ops.size(); ++i) nets_.push_back(make_net(i));
        for (std::size_t i = 0; i < ops.size(); ++i) {
            const OperandList l = ops[i].operand_list();
            for (uint8_t j = 0; j < l.n; ++j)
                if (operand_first_[4 * i + j] == kNone) {
                    Net n;
                    n.name = "v" + dec(l.ids[j]);
                    operand_first_[4 * i + j] = ops.size() + undefined_.size();
                    undefined_.push_back(std::move(n));
                }
        }
    }

    // The net of operand k of the operation at index.
    const Net& operand(std::size_t index, std::size_t k) const {
        const std::size_t r = operand_first_[4 * index + k];
        return r < nets_.size() ? nets_[r] : undefined_[r - nets_.size()];
    }

    // Index of the first operation whose own id is id, or kNone.
    std::size_t first(ValueId id) const {
        const std::size_t n = ids_.find(id);
        return n == DenseIds::npos ? kNone : first_[n];
    }

    // Distinct ids mentioned, the number of the own id of the operation at index, that of an id
    // (npos when none is mentioned), and whether an operation defines the id of a number: one
    // that none defines is an operand read from an undeclared v-net.
    std::size_t id_count() const { return ids_.size(); }
    std::size_t id_number(std::size_t index) const { return ids_.number[index]; }
    std::size_t id_number_of(ValueId id) const { return ids_.find(id); }
    bool number_defined(std::size_t number) const { return first_[number] != kNone; }

    // The net of the operation at index.
    const Net& own(std::size_t index) const { return nets_[index]; }

    std::string wire(ValueId id) const { return net(id).name; }

    // The net of value id: that of the first operation with that id.
    Net net(ValueId id) const {
        const std::size_t j = first(id);
        if (j != kNone) return nets_[j];
        Net n;
        n.name = "v" + dec(id);
        return n;
    }

    uint64_t port_width(std::size_t index) const { return width_[index]; }

private:
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    enum : uint8_t { kUnknown, kOnChain, kResolved };

    std::string wire_name(const ScOp& o) const {
        const std::string n = dec(o.id());
        switch (o.tag()) {
            case OpTag::Input:
                return sv_name(o.get<op::Input>()->name);
            // An output is read through its own port: no v-net is declared for it.
            case OpTag::Output:
                return sv_name(o.get<op::Output>()->name);
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

    // While nets are made in graph order, a source defined at or after index is not known yet
    // (only graphs that the verifier rejects have one): it counts as an unsigned value.
    bool source_signed(std::size_t index) const {
        const std::size_t j = operand_first_[4 * index];
        return j != kNone && j < index && nets_[j].is_signed;
    }

    Net make_net(std::size_t i) {
        const ScOp& o = ops_[i];
        Net n;
        n.name = wire_name(o);
        n.known = true;
        auto set = [&](uint64_t value_width, bool is_signed) {
            n.value_width = value_width;
            n.width = value_width == 0 ? 1 : value_width;
            n.is_signed = is_signed;
        };
        switch (o.tag()) {
            case OpTag::Input:
                set(type_width(o.get<op::Input>()->ty), signed_type(o.get<op::Input>()->ty));
                break;
            case OpTag::Output:
                set(output_width(i), source_signed(i));
                break;
            case OpTag::Constant: {
                const auto* c = o.get<op::Constant>();
                const ConstKind k = const_kind(c->value);
                n.value_width = type_width(c->ty);
                n.width = constant_net_width(c->ty, c->value);
                n.is_signed = n.declared_signed = k == ConstKind::F64 || k == ConstKind::I64;
                break;
            }
            case OpTag::Encode:
            case OpTag::BitwiseAnd:
            case OpTag::BitwiseXor:
            case OpTag::LifStep:
                set(1, false);
                break;
            case OpTag::DenseForward:
                set(o.get<op::DenseForward>()->n_neurons, false);
                break;
            case OpTag::Reduce:
                set(64, source_signed(i));
                break;
            case OpTag::DivConst:
                set(64, source_signed(i));
                break;
            // A product or sum with a negative constant can be negative.
            case OpTag::Scale: {
                const auto* s = o.get<op::Scale>();
                set(64, source_signed(i) || fx(s->factor) < 0);
                break;
            }
            case OpTag::Offset: {
                const auto* s = o.get<op::Offset>();
                set(64, source_signed(i) || fx(s->offset) < 0);
                break;
            }
            default:
                set(64, false);
                break;
        }
        return n;
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
            const std::size_t src = operand_first_[4 * cur];
            if (src == kNone) break;  // no operation: 16
            if (ops_[src].tag() == OpTag::Output) {
                cur = src;
                continue;
            }
            w = source_width(ops_[src]);
            break;
        }
        for (std::size_t c : chain) {
            state_[c] = kResolved;
            width_[c] = w;
        }
        return w;
    }

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
    DenseIds ids_;
    std::vector<std::size_t> first_;  // per id number
    std::vector<uint8_t> state_;
    std::vector<uint64_t> width_;
    // Per operation, 4 slots: the position of each operand's defining operation; after
    // construction, ops.size() + k for the k-th operand that no operation defines.
    std::vector<std::size_t> operand_first_;
    std::vector<Net> nets_;
    std::vector<Net> undefined_;
};

// Bit k of net n: the net itself when it has one bit.
std::string bit(const Net& n, uint64_t k) { return n.width == 1 ? n.name : n.name + "[" + dec(k) + "]"; }

// The value of net n at exactly w bits: its low bits, or the net extended with its sign or with
// zeros.
std::string at_width(const Net& n, uint64_t w) {
    if (!n.known || n.width == w) return n.name;
    if (w < n.width) return w == 1 ? bit(n, 0) : n.name + "[" + dec(w - 1) + ":0]";
    const std::string ext = dec(w - n.width);
    if (!n.is_signed) return "{" + ext + "'d0, " + n.name + "}";
    return "{{" + ext + "{" + bit(n, n.width - 1) + "}}, " + n.name + "}";
}

// The hardware block that an operation of kind t instantiates, or null.
const char* block_name(OpTag t) {
    switch (t) {
        case OpTag::Encode: return "sc_bitstream_encoder";
        case OpTag::BitwiseAnd: return "sc_bitstream_synapse";
        case OpTag::LifStep: return "sc_lif_neuron";
        case OpTag::DenseForward: return "sc_dense_layer_core";
        default: return nullptr;
    }
}

// The refusal of a module or port name that cannot be written, or of ports whose names clash.
std::optional<std::string> name_refusal(const ScGraph& g, const Index& ix) {
    constexpr const char* kUnwritable =
        " cannot be written as a SystemVerilog identifier: it has white space or a character "
        "outside printable ASCII.";
    if (g.name.empty()) return "Module name must not be empty.";
    if (!writable(g.name)) return "Module name '" + g.name + "'" + kUnwritable;
    // A module of a block's name would instantiate itself.
    for (const ScOp& o : g.ops) {
        const char* block = block_name(o.tag());
        if (block && g.name == block)
            return "Module name '" + g.name + "' clashes with a block that the module instantiates.";
    }

    std::vector<std::pair<std::string_view, std::size_t>> ports;
    for (std::size_t i = 0; i < g.ops.size(); ++i) {
        const std::string* name = nullptr;
        if (const auto* in = g.ops[i].get<op::Input>()) name = &in->name;
        if (const auto* out = g.ops[i].get<op::Output>()) name = &out->name;
        if (!name) continue;
        if (name->empty()) return "Port name of op[" + dec(i) + "] must not be empty.";
        if (!writable(*name)) return "Port '" + *name + "' of op[" + dec(i) + "]" + kUnwritable;
        ports.emplace_back(*name, i);
    }

    // Sorting finds the repeats in O(n log n); the one reported is the earliest repeat.
    std::sort(ports.begin(), ports.end());
    std::size_t first = 0, repeat = 0;
    bool repeated = false;
    for (std::size_t k = 0; k < ports.size();) {
        std::size_t end = k + 1;
        while (end < ports.size() && ports[end].first == ports[k].first) ++end;
        // Within a run of one name the indices ascend: the second is its earliest repeat.
        if (end - k > 1 && (!repeated || ports[k + 1].second < repeat)) {
            repeated = true;
            first = ports[k].second;
            repeat = ports[k + 1].second;
        }
        k = end;
    }
    if (repeated) {
        const std::string& name = g.ops[repeat].get<op::Input>()
                                      ? g.ops[repeat].get<op::Input>()->name
                                      : g.ops[repeat].get<op::Output>()->name;
        return "Port '" + name + "' is named twice, by op[" + dec(first) + "] and op[" +
               dec(repeat) + "].";
    }

    // The names that the module declares or reads besides the ports: what each id declares
    // and which instance each number names, looked up when a port name has their form.
    enum : uint8_t { kV = 1, kC = 2, kLif = 4, kDense = 8 };
    std::vector<uint8_t> declares(ix.id_count(), 0);
    std::vector<OpTag> instances;
    bool loops = false;
    for (std::size_t i = 0; i < g.ops.size(); ++i) {
        const ScOp& o = g.ops[i];
        uint8_t& d = declares[ix.id_number(i)];
        switch (o.tag()) {
            case OpTag::Input:
            case OpTag::Output:
                break;
            case OpTag::Constant:
                d |= kC;
                break;
            case OpTag::LifStep:
                d |= kLif;
                instances.push_back(o.tag());
                break;
            case OpTag::DenseForward:
                d |= kDense;
                instances.push_back(o.tag());
                break;
            case OpTag::Encode:
            case OpTag::BitwiseAnd:
                instances.push_back(o.tag());
                d |= kV;
                break;
            default:
                loops = loops || o.tag() == OpTag::Popcount;
                d |= kV;
                break;
        }
    }

    auto uses = [&](const std::string& name) -> bool {
        if (name == "clk" || name == "rst_n" || (loops && name == "_pc_i")) return true;
        // "v" or "c", or "u_enc_" and its kin, then a number as the module writes it.
        std::size_t at = 0;
        std::optional<OpTag> instance;
        for (auto [prefix, tag] : {std::pair{"u_enc_", OpTag::Encode}, {"u_syn_", OpTag::BitwiseAnd},
                                   {"u_lif_", OpTag::LifStep}, {"u_dense_", OpTag::DenseForward}})
            if (name.starts_with(prefix)) {
                at = std::string_view(prefix).size();
                instance = tag;
            }
        if (!instance) {
            if (name.empty() || (name[0] != 'v' && name[0] != 'c')) return false;
            at = 1;
        }
        std::size_t end = at;
        while (end < name.size() && ascii_digit(name[end])) ++end;
        if (end == at || end - at > 20 || (name[at] == '0' && end - at > 1)) return false;
        const std::string digits = name.substr(at, end - at);
        if (digits.size() == 20 && digits > "18446744073709551615") return false;
        const uint64_t n = std::stoull(digits);
        const std::string_view suffix = std::string_view(name).substr(end);
        if (instance) return suffix.empty() && n < instances.size() && instances[n] == *instance;
        if (n > std::numeric_limits<ValueId>::max()) return false;
        const ValueId id = static_cast<ValueId>(n);
        const std::size_t k = ix.id_number_of(id);
        if (k == DenseIds::npos) return false;
        const uint8_t d = declares[k];
        if (name[0] == 'c') return suffix.empty() && (d & kC);
        if (suffix.empty()) return (d & kV) || !ix.number_defined(k);
        if (suffix == "_spike" || suffix == "_v_out") return d & kLif;
        return (suffix == "_spikes" || suffix == "_running" || suffix == "_done") && (d & kDense);
    };
    for (std::size_t i = 0; i < g.ops.size(); ++i) {
        const std::string* name = nullptr;
        if (const auto* in = g.ops[i].get<op::Input>()) name = &in->name;
        if (const auto* out = g.ops[i].get<op::Output>()) name = &out->name;
        if (name && uses(*name))
            return "Port '" + *name + "' of op[" + dec(i) +
                   "] clashes with a name that the module uses itself.";
    }
    return std::nullopt;
}

void port(std::string& out, const char* dir, uint64_t width, const std::string& name) {
    out += ",\n    ";
    out += dir;
    out += " wire ";
    if (width != 1) out += "[" + upper(width) + ":0] ";
    out += name;
}

// Appends the declaration of the operation's net; own is that net as the index made it.
void declare(std::string& out, const ScOp& o, const Net& own) {
    const std::string id = dec(o.id());
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, op::Constant>) {
                // Values that do not fit the 16- or 32-bit template get a 64-bit net.
                const uint64_t width = own.width;
                switch (const_kind(x.value)) {
                    case ConstKind::F64:
                    case ConstKind::I64:
                        out += "    localparam signed [" + upper(width) + ":0] c" + id + " = " +
                               literal_in(signed_value(x.value), width) + ";\n";
                        break;
                    case ConstKind::U64:
                        out += "    localparam [" + upper(width) + ":0] c" + id + " = " +
                               dec(width) + "'d" + dec(std::get<uint64_t>(x.value)) + ";\n";
                        break;
                    case ConstKind::F64List:
                    case ConstKind::I64List: {
                        const std::vector<int64_t> elems = list_values(x.value);
                        const ListLayout l = list_layout(x.ty, elems);
                        // A list of no bits is declared with one, driven with 0.
                        if (l.width == 0) {
                            out += "    wire [0:0] c" + id + ";\n    assign c" + id + " = 1'b0;\n";
                            break;
                        }
                        out += "    wire [" + dec(l.width - 1) + ":0] c" + id + ";\n";
                        uint64_t at = 0;
                        for (int64_t e : elems) {
                            out += "    assign c" + id + "[" + dec(at) + " +: " + dec(l.slot) +
                                   "] = " + literal_in(e, l.slot) + ";\n";
                            at = at > kMax64 - l.slot ? kMax64 : at + l.slot;
                        }
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

// The popcount of the source's own bits, zero-extended into the 64-bit count: a signed value
// narrower than its type (a constant) counts its sign bit once more for every extension bit.
void popcount(std::string& out, const std::string& v, const Net& s) {
    lines(out, "    // Combinatorial popcount for " + v, "    always_comb begin");
    const uint64_t m = std::min(s.value_width, s.width);
    if (m == 0) {
        lines(out, "        " + v + " = 64'd0;");
    } else if (m == 1) {
        lines(out, "        " + v + " = {63'd0, " + bit(s, 0) + "};");
    } else {
        // A 32-bit integer index never reaches a bound of 2^31 or more.
        const std::string loop = m < (uint64_t{1} << 31)
                                     ? "for (integer _pc_i = 0; _pc_i < " + dec(m)
                                     : "for (longint unsigned _pc_i = 0; _pc_i < 64'd" + dec(m);
        lines(out, "        " + v + " = 64'd0;", "        " + loop + "; _pc_i = _pc_i + 1)",
              "            " + v + " = " + v + " + {63'd0, " + s.name + "[_pc_i]};");
    }
    if (s.is_signed && s.value_width > s.width) {
        lines(out, "        if (" + bit(s, s.width - 1) + ") " + v + " = " + v + " + 64'd" +
                       dec(s.value_width - s.width) + ";");
    }
    lines(out, "    end", "");
}

// The source of an arithmetic operation as the expression reads it, and whether that
// expression is signed. A signed value on a net declared without sign is read through
// $signed where its sign matters: always for a product (the shift after it) and a quotient,
// and for a sum or a copy only where it is extended to the 64-bit result.
struct Operand {
    std::string text;
    bool is_signed;
};
Operand arithmetic_source(const Net& s, bool sign_matters_at_64) {
    if (s.declared_signed) return {s.name, true};
    if (s.is_signed && (sign_matters_at_64 || s.width < 64)) return {"$signed(" + s.name + ")", true};
    return {s.name, false};
}

// Appends the logic block of one operation (none for those that have no hardware form, which
// the emission refuses before it starts).
void logic(std::string& out, const ScOp& o, const Index& ix, std::size_t index, uint64_t& instance) {
    const std::string id = dec(o.id());
    auto in = [&](std::size_t k) -> const Net& { return ix.operand(index, k); };
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, op::Output>) {
                // The port at its own width: the source's low bits, or the source extended.
                const uint64_t w = std::max<uint64_t>(ix.port_width(index), 1);
                out += "    assign " + sv_name(x.name) + " = " + at_width(in(0), w) +
                       ";\n";
            } else if constexpr (std::is_same_v<T, op::Encode>) {
                lines(out, "    " + std::string(block_name(OpTag::Encode)) + " #(", "        .DATA_WIDTH(16),",
                      "        .SEED_INIT(16'h" + hex4(x.seed) + ")",
                      "    ) u_enc_" + dec(instance++) + " (", "        .clk(clk),",
                      "        .rst_n(rst_n),", "        .x_value(" + in(0).name + "),",
                      "        .t_index(32'd0),", "        .bit_out(v" + id + ")", "    );", "");
            } else if constexpr (std::is_same_v<T, op::BitwiseAnd>) {
                lines(out, "    " + std::string(block_name(OpTag::BitwiseAnd)) + " u_syn_" + dec(instance++) + " (",
                      "        .pre_bit(" + in(0).name + "),",
                      "        .w_bit(" + in(1).name + "),", "        .post_bit(v" + id + ")",
                      "    );", "");
            } else if constexpr (std::is_same_v<T, op::Popcount>) {
                popcount(out, "v" + id, in(0));
            } else if constexpr (std::is_same_v<T, op::LifStep>) {
                lines(out, "    " + std::string(block_name(OpTag::LifStep)) + " #(",
                      "        .DATA_WIDTH(" + dec(x.data_width) + "),",
                      "        .FRACTION(" + dec(x.fraction) + "),",
                      "        .V_REST(" + int_lit(x.v_rest, true) + "),",
                      "        .V_RESET(" + int_lit(x.v_reset, true) + "),",
                      "        .V_THRESHOLD(" + int_lit(x.v_threshold, true) + "),",
                      "        .REFRACTORY_PERIOD(" + dec(x.refractory_period) + ")",
                      "    ) u_lif_" + dec(instance++) + " (", "        .clk(clk),",
                      "        .rst_n(rst_n),", "        .leak_k(" + in(1).name + "),",
                      "        .gain_k(" + in(2).name + "),",
                      "        .I_t(" + in(0).name + "),",
                      "        .noise_in(" + in(3).name + "),",
                      "        .spike_out(v" + id + "_spike),", "        .v_out(v" + id + "_v_out)",
                      "    );", "");
            } else if constexpr (std::is_same_v<T, op::DenseForward>) {
                const std::string len =
                    (x.stream_length < (uint64_t{1} << 32) ? "32'd" : "64'd") + dec(x.stream_length);
                lines(out, "    " + std::string(block_name(OpTag::DenseForward)) + " #(",
                      "        .N_INPUTS(" + uint_lit(x.n_inputs) + "),",
                      "        .N_NEURONS(" + uint_lit(x.n_neurons) + "),",
                      "        .DATA_WIDTH(" + dec(x.data_width) + ")",
                      "    ) u_dense_" + dec(instance++) + " (", "        .clk(clk),",
                      "        .rst_n(rst_n),", "        .start_pulse(1'b1),",
                      "        .stream_len(" + len + "),",
                      "        .x_input_fp(" + in(0).name + "),",
                      "        .weight_fp(" + in(1).name + "),", "        .y_min_fp(16'd0),",
                      "        .y_max_fp(16'd256),", "        .cfg_leak(" + in(2).name + "),",
                      "        .cfg_gain(" + in(3).name + "),", "        .I_t(),",
                      "        .spikes(v" + id + "_spikes),", "        .step_valid(),",
                      "        .run_done(v" + id + "_done),", "        .running(v" + id + "_running)",
                      "    );", "");
            } else if constexpr (std::is_same_v<T, op::BitwiseXor>) {
                out += "    assign v" + id + " = " + in(0).name + " ^ " + in(1).name + ";\n";
            } else if constexpr (std::is_same_v<T, op::Reduce>) {
                out += std::string("    // ") +
                       (x.mode == ReduceMode::Max ? "reduce_max" : "reduce_sum") +
                       ": passthrough for single-element; multi-element requires adder/comparator "
                       "tree\n    assign v" +
                       id + " = " + arithmetic_source(in(0), false).text + ";\n";
            } else if constexpr (std::is_same_v<T, op::Scale>) {
                const Net& s = in(0);
                const int64_t f = fx(x.factor);
                Operand a = arithmetic_source(s, true);
                // A negative factor makes the product signed: an unsigned source is read as a
                // non-negative signed number, one bit wider.
                if (f < 0 && !a.is_signed)
                    a = {s.width >= 64 ? "$signed(" + s.name + ")" : "$signed({1'b0, " + s.name + "})",
                         true};
                out += "    assign v" + id + " = (" + a.text + " * " + int_lit(f, a.is_signed) +
                       ") >>> 8;\n";
            } else if constexpr (std::is_same_v<T, op::Offset>) {
                const Operand a = arithmetic_source(in(0), false);
                out += "    assign v" + id + " = " + a.text + " + " + int_lit(fx(x.offset), a.is_signed) +
                       ";\n";
            } else if constexpr (std::is_same_v<T, op::DivConst>) {
                const Operand a = arithmetic_source(in(0), true);
                const uint64_t d = x.divisor;
                if (!a.is_signed)
                    out += "    assign v" + id + " = " + a.text + " / " + uint_lit(d) + ";\n";
                else if (d < (uint64_t{1} << 63))
                    out += "    assign v" + id + " = " + a.text + " / " +
                           int_lit(static_cast<int64_t>(d), true) + ";\n";
                else  // a signed divisor this large needs 65 bits
                    out += "    assign v" + id + " = 64'(" + a.text + " / $signed({1'b0, 64'd" +
                           dec(d) + "}));\n";
            }
        },
        o.kind);
}

// The refusal of an operation that has no hardware form, if o is one.
std::optional<std::string> hardware_refusal(const ScOp& o) {
    const auto id = [&o] { return dec(o.id()); };
    if (const auto* x = o.get<op::GraphForward>())
        return "GraphForward (v" + id() + ", " + dec(x->n_nodes) + " nodes \xC3\x97 " +
               dec(x->n_features) + " features) has no synthesizable RTL implementation yet";
    if (const auto* x = o.get<op::SoftmaxAttention>())
        return "SoftmaxAttention (v" + id() + ", dim_k=" + dec(x->dim_k) +
               ") has no synthesizable RTL implementation yet";
    if (o.get<op::KuramotoStep>())
        return "KuramotoStep (v" + id() + ") has no synthesizable RTL implementation yet";
    return std::nullopt;
}

}  // namespace

std::string value_to_wire(const std::vector<ScOp>& ops, ValueId id) { return Index(ops).wire(id); }

std::variant<std::string, EmitRefusal> emit(const ScGraph& g) {
    // An operation without hardware form refuses the graph whatever else it holds.
    for (const ScOp& o : g.ops)
        if (auto refusal = hardware_refusal(o)) return EmitRefusal{std::move(*refusal)};
    Index ix(g.ops);
    if (auto refusal = name_refusal(g, ix)) return EmitRefusal{std::move(*refusal)};
    std::string out;
    out += "// Auto-generated by SC-Dravik IR Compiler v3.0\n// Source graph: " + g.name +
           "\n// Do not edit \xE2\x80\x94 regenerate from IR source.\n\n";
    out += "`timescale 1ns / 1ps\n\n";
    out += "module " + sv_name(g.name) + " (\n    input wire clk,\n    input wire rst_n";
    for (std::size_t i = 0; i < g.ops.size(); ++i) {
        const ScOp& o = g.ops[i];
        if (const auto* in = o.get<op::Input>())
            port(out, "input", type_width(in->ty), sv_name(in->name));
        else if (const auto* po = o.get<op::Output>())
            port(out, "output", ix.port_width(i), sv_name(po->name));
    }
    out += "\n);\n\n";
    for (std::size_t i = 0; i < g.ops.size(); ++i) declare(out, g.ops[i], ix.own(i));
    out += "\n";
    uint64_t instance = 0;
    for (std::size_t i = 0; i < g.ops.size(); ++i) logic(out, g.ops[i], ix, i, instance);
    out += "\nendmodule\n";
    return out;
}

std::string emit_or_throw(const ScGraph& g) {
    auto r = emit(g);
    if (auto* e = std::get_if<EmitRefusal>(&r)) throw engine::Error(e->message);
    return std::move(std::get<std::string>(r));
}

}  // namespace ir
