#include "ir/parser.hpp"

#include <utility>
#include <vector>

#include "error.hpp"
#include "ir/lexical.hpp"

namespace ir {

namespace {

// A failed line; parse() adds the line number.
struct Fail {
    std::string message;
};

[[noreturn]] void fail(std::string msg) { throw Fail{std::move(msg)}; }

void check(const char* standard_message) {
    if (standard_message) fail(standard_message);
}

ValueId value_id(std::string_view text) {
    std::string_view t = lex::trim(text);
    while (!t.empty() && t.front() == ',') t.remove_prefix(1);
    while (!t.empty() && t.back() == ',') t.remove_suffix(1);
    uint32_t v = 0;
    if (t.empty() || t.front() != '%' || lex::parse_uint(t.substr(1), v) != nullptr)
        fail("invalid ValueId: '" + std::string(t) + "'");
    return v;
}

// Every rule but the vector one, on a trimmed text.
ScType scalar_type(std::string_view t) {
    if (t == "rate") return ScType::rate();
    if (t == "bool") return ScType::boolean();
    uint32_t w = 0;
    if (t.starts_with('u') && !lex::parse_uint(t.substr(1), w)) return ScType::uint(w);
    if (t.starts_with('i') && !lex::parse_uint(t.substr(1), w)) return ScType::sint(w);
    if (t == "bitstream") return ScType::bitstream(0);
    if (t.starts_with("bitstream<") && t.ends_with('>')) {
        std::size_t n = 0;
        check(lex::parse_uint(t.substr(10, t.size() - 11), n));
        return ScType::bitstream(n);
    }
    if (t.starts_with("fixed<") && t.ends_with('>')) {
        const auto pieces = lex::split(t.substr(6, t.size() - 7), ',');
        if (pieces.size() == 2) {
            uint32_t width = 0, frac = 0;
            check(lex::parse_uint(lex::trim(pieces[0]), width));
            check(lex::parse_uint(lex::trim(pieces[1]), frac));
            return ScType::fixed(width, frac);
        }
    }
    fail("unrecognised type: '" + std::string(t) + "'");
}

// Vector types nest to any depth: the layers are peeled in a loop, and their counts are read
// from the innermost out once the element has been read, the order a recursive reading has.
ScType type_of(std::string_view text) {
    std::vector<std::string_view> counts;
    std::string_view t = lex::trim(text);
    while (t.starts_with("vec<") && t.ends_with('>')) {
        const std::string_view inner = t.substr(4, t.size() - 5);
        const std::size_t comma = inner.rfind(',');
        if (comma == std::string_view::npos) fail("unrecognised type: '" + std::string(t) + "'");
        counts.push_back(inner.substr(comma + 1));
        t = lex::trim(inner.substr(0, comma));
    }
    ScType ty = scalar_type(t);
    for (auto it = counts.rbegin(); it != counts.rend(); ++it) {
        std::size_t n = 0;
        check(lex::parse_uint(lex::trim(*it), n));
        ty = ScType::vec(std::move(ty), n);
    }
    return ty;
}

std::optional<std::string_view> kv(std::string_view text, std::string_view key) {
    std::string needle(key);
    needle += '=';
    const std::size_t p = text.find(needle);
    if (p == std::string_view::npos) return std::nullopt;
    const std::size_t start = p + needle.size();
    const std::size_t end = text.find_first_of(" ,:", start);
    return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// ---------------------------------------------------------------- common steps

struct Head {
    ValueId id;
    std::string_view rest;
};

Head head(std::string_view line, std::string_view marker) {
    const std::size_t p = line.find(marker);
    const ValueId id = value_id(line.substr(0, p));
    return {id, lex::trim(line.substr(p + marker.size()))};
}

ValueId first_operand(std::string_view rest, const char* missing) {
    if (rest.empty()) fail(missing);
    return value_id(lex::first_word(rest));
}

std::vector<std::string_view> operand_list(std::string_view rest) {
    return lex::split(rest.substr(0, rest.find(':')), ',');
}

std::string_view required(std::string_view rest, std::string_view key, const char* missing) {
    const auto v = kv(rest, key);
    if (!v) fail(missing);
    return *v;
}

template <class T>
T optional_uint(std::string_view rest, std::string_view key, T fallback) {
    const auto v = kv(rest, key);
    T out{};
    if (v && !lex::parse_uint(*v, out)) return out;
    return fallback;
}

int64_t optional_i64(std::string_view rest, std::string_view key, int64_t fallback) {
    const auto v = kv(rest, key);
    int64_t out = 0;
    if (v && !lex::parse_i64(*v, out)) return out;
    return fallback;
}

double optional_f64(std::string_view rest, std::string_view key, double fallback) {
    const auto v = kv(rest, key);
    double out = 0.0;
    if (v && !lex::parse_f64(*v, out)) return out;
    return fallback;
}

double required_f64(std::string_view rest, std::string_view key, const char* missing) {
    double out = 0.0;
    check(lex::parse_f64(required(rest, key, missing), out));
    return out;
}

// A text's own id raises next_id past it (modulo 2^32), never lowers it.
void append(ScGraph& g, ScOp op) {
    const uint32_t after = op.id() + 1u;
    if (after > g.next_id) g.next_id = after;
    g.push(std::move(op));
}

struct Name {
    std::string_view name;
    std::string_view after;  // the text after the closing quote
};

Name quoted_name(std::string_view rest) {
    const std::size_t q1 = rest.find('"');
    if (q1 == std::string_view::npos) fail("missing name");
    const std::size_t q2 = rest.find('"', q1 + 1);
    if (q2 == std::string_view::npos) fail("unterminated name");
    return {rest.substr(q1 + 1, q2 - q1 - 1), rest.substr(q2 + 1)};
}

ConstValue const_value(std::string_view v, const ScType& ty) {
    if (v.starts_with('[')) {
        if (v.size() < 2 || !v.ends_with(']')) fail("malformed vector constant");
        const std::string_view list = lex::trim(v.substr(1, v.size() - 2));
        if (list.empty()) return std::vector<int64_t>{};
        auto pieces = lex::split(list, ',');
        bool floats = false;
        for (auto& p : pieces) {
            p = lex::trim(p);
            floats = floats || p.find('.') != std::string_view::npos;
        }
        if (floats) {
            std::vector<double> xs(pieces.size());
            for (std::size_t k = 0; k < pieces.size(); ++k) check(lex::parse_f64(pieces[k], xs[k]));
            return xs;
        }
        std::vector<int64_t> xs(pieces.size());
        for (std::size_t k = 0; k < pieces.size(); ++k) check(lex::parse_i64(pieces[k], xs[k]));
        return xs;
    }
    if (v.find('.') != std::string_view::npos) {
        double x = 0.0;
        check(lex::parse_f64(v, x));
        return x;
    }
    switch (ty.kind) {
        case ScType::Kind::FixedPoint:
        case ScType::Kind::SInt: {
            int64_t x = 0;
            check(lex::parse_i64(v, x));
            return x;
        }
        case ScType::Kind::Rate: {
            double x = 0.0;
            check(lex::parse_f64(v, x));
            return x;
        }
        default: {
            uint64_t x = 0;
            check(lex::parse_uint(v, x));
            return x;
        }
    }
}

// ---------------------------------------------------------------- operation lines

void parse_input(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.input");
    const Name n = quoted_name(h.rest);
    const std::size_t colon = h.rest.rfind(':');
    if (colon == std::string_view::npos) fail("missing type");
    append(g, op::Input{h.id, type_of(h.rest.substr(colon + 1)), std::string(n.name)});
}

void parse_output(std::string_view line, ScGraph& g) {
    const std::string_view rest = lex::trim(line.substr(std::string_view("sc.output").size()));
    const Name n = quoted_name(rest);
    const ValueId source = value_id(lex::trim(n.after));
    const ValueId id = g.next_id;
    g.next_id = id + 1u;
    g.push(op::Output{id, source, std::string(n.name)});
}

void parse_constant(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.constant");
    const std::size_t colon = h.rest.rfind(':');
    if (colon == std::string_view::npos) fail("missing type");
    ScType ty = type_of(h.rest.substr(colon + 1));
    ConstValue value = const_value(lex::trim(h.rest.substr(0, colon)), ty);
    append(g, op::Constant{h.id, std::move(ty), std::move(value)});
}

void parse_encode(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.encode");
    op::Encode e;
    e.id = h.id;
    e.prob = first_operand(h.rest, "missing prob");
    check(lex::parse_uint(required(h.rest, "length", "missing length"), e.length));
    const std::string_view seed = required(h.rest, "seed", "missing seed");
    if (seed.size() >= 2 && (seed.starts_with("0x") || seed.starts_with("0X")))
        check(lex::parse_uint(seed.substr(2), e.seed, 16));
    else
        check(lex::parse_uint(seed, e.seed));
    append(g, e);
}

template <class Op>
void parse_binary(std::string_view line, ScGraph& g, std::string_view marker, const char* few) {
    const Head h = head(line, marker);
    const auto pieces = operand_list(h.rest);
    if (pieces.size() < 2) fail(few);
    Op o;
    o.id = h.id;
    o.lhs = value_id(pieces[0]);
    o.rhs = value_id(pieces[1]);
    append(g, o);
}

void parse_reduce(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.reduce");
    op::Reduce r;
    r.id = h.id;
    r.input = first_operand(h.rest, "missing input");
    const auto mode = kv(h.rest, "mode");
    r.mode = mode && *mode == "max" ? ReduceMode::Max : ReduceMode::Sum;
    append(g, r);
}

void parse_popcount(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.popcount");
    append(g, op::Popcount{h.id, value_id(h.rest.substr(0, h.rest.find(':')))});
}

void parse_dense_forward(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.dense_forward");
    op::DenseForward d;
    d.id = h.id;
    d.inputs = first_operand(h.rest, "missing inputs");
    d.weights = value_id(required(h.rest, "weights", "missing weights"));
    d.leak = value_id(required(h.rest, "leak", "missing leak"));
    d.gain = value_id(required(h.rest, "gain", "missing gain"));
    d.n_inputs = optional_uint<std::size_t>(h.rest, "ni", 3);
    d.n_neurons = optional_uint<std::size_t>(h.rest, "nn", 7);
    d.stream_length = optional_uint<std::size_t>(h.rest, "len", 1024);
    // Not carried by the text.
    d.y_min = 0;
    d.y_max = 256;
    d.data_width = 16;
    d.seed = 0xACE1;
    d.weight_seed = 0xBEEF;
    append(g, d);
}

void parse_graph_forward(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.graph_forward");
    op::GraphForward o;
    o.id = h.id;
    o.features = first_operand(h.rest, "missing features");
    o.adj = value_id(required(h.rest, "adj", "missing adj"));
    o.n_nodes = optional_uint<std::size_t>(h.rest, "nodes", 16);
    o.n_features = optional_uint<std::size_t>(h.rest, "features", 4);
    append(g, o);
}

void parse_softmax_attention(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.softmax_attention");
    const auto pieces = operand_list(h.rest);
    if (pieces.size() < 3) fail("sc.softmax_attention needs q, k, v");
    op::SoftmaxAttention o;
    o.id = h.id;
    o.q = value_id(pieces[0]);
    o.k = value_id(pieces[1]);
    o.v = value_id(lex::first_word(pieces[2]));
    o.dim_k = optional_uint<std::size_t>(h.rest, "dim_k", 64);
    append(g, o);
}

void parse_kuramoto_step(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.kuramoto_step");
    op::KuramotoStep o;
    o.id = h.id;
    o.phases = first_operand(h.rest, "missing phases");
    o.omega = value_id(required(h.rest, "omega", "missing omega"));
    o.coupling = value_id(required(h.rest, "K", "missing K"));
    o.dt = optional_f64(h.rest, "dt", 0.01);
    append(g, o);
}

void parse_lif_step(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.lif_step");
    op::LifStep o;
    o.id = h.id;
    o.current = first_operand(h.rest, "missing current");
    o.leak = value_id(required(h.rest, "leak", "missing leak"));
    o.gain = value_id(required(h.rest, "gain", "missing gain"));
    o.noise = value_id(required(h.rest, "noise", "missing noise"));
    o.data_width = optional_uint<uint32_t>(h.rest, "dw", 16);
    o.fraction = optional_uint<uint32_t>(h.rest, "frac", 8);
    o.v_threshold = optional_i64(h.rest, "vt", 256);
    o.refractory_period = optional_uint<uint32_t>(h.rest, "rp", 2);
    o.v_rest = 0;
    o.v_reset = 0;
    append(g, o);
}

void parse_scale(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.scale");
    op::Scale o;
    o.id = h.id;
    o.input = first_operand(h.rest, "missing input");
    o.factor = required_f64(h.rest, "factor", "missing factor");
    append(g, o);
}

void parse_offset(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.offset");
    op::Offset o;
    o.id = h.id;
    o.input = first_operand(h.rest, "missing input");
    o.offset = required_f64(h.rest, "offset", "missing offset");
    append(g, o);
}

void parse_div_const(std::string_view line, ScGraph& g) {
    const Head h = head(line, "= sc.div_const");
    op::DivConst o;
    o.id = h.id;
    o.input = first_operand(h.rest, "missing input");
    check(lex::parse_uint(required(h.rest, "divisor", "missing divisor"), o.divisor));
    append(g, o);
}

bool has(std::string_view line, std::string_view marker) {
    return line.find(marker) != std::string_view::npos;
}

// The tests run in this order: a line that holds several markers goes to the first.
void parse_line(std::string_view line, ScGraph& g) {
    if (has(line, "= sc.input")) return parse_input(line, g);
    if (line.starts_with("sc.output")) return parse_output(line, g);
    if (has(line, "= sc.constant")) return parse_constant(line, g);
    if (has(line, "= sc.encode")) return parse_encode(line, g);
    if (has(line, "= sc.xor"))
        return parse_binary<op::BitwiseXor>(line, g, "= sc.xor", "sc.xor needs 2 operands");
    if (has(line, "= sc.and"))
        return parse_binary<op::BitwiseAnd>(line, g, "= sc.and", "sc.and needs 2 operands");
    if (has(line, "= sc.reduce")) return parse_reduce(line, g);
    if (has(line, "= sc.popcount")) return parse_popcount(line, g);
    if (has(line, "= sc.dense_forward")) return parse_dense_forward(line, g);
    if (has(line, "= sc.graph_forward")) return parse_graph_forward(line, g);
    if (has(line, "= sc.softmax_attention")) return parse_softmax_attention(line, g);
    if (has(line, "= sc.kuramoto_step")) return parse_kuramoto_step(line, g);
    if (has(line, "= sc.lif_step")) return parse_lif_step(line, g);
    if (has(line, "= sc.scale")) return parse_scale(line, g);
    if (has(line, "= sc.offset")) return parse_offset(line, g);
    if (has(line, "= sc.div_const")) return parse_div_const(line, g);
    fail("unrecognised op: " + std::string(line));
}

}  // namespace

std::string ParseError::display() const { return "line " + std::to_string(line) + ": " + message; }

std::variant<ScGraph, ParseError> parse(std::string_view text) {
    if (text.empty()) return ParseError{"empty input", 0};
    ScGraph g;
    std::size_t pos = 0;
    std::size_t number = 0;
    // A "\n" at the very end does not begin a further line.
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        const std::size_t end = nl == std::string_view::npos ? text.size() : nl;
        const std::string_view line = lex::trim(text.substr(pos, end - pos));
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++number;
        if (number == 1) {
            if (line.size() < 12 || !line.starts_with("sc.graph @") || !line.ends_with(" {"))
                return ParseError{"expected 'sc.graph @name {'", 1};
            g.name = std::string(line.substr(10, line.size() - 12));
            continue;
        }
        if (line.empty() || line == "}") continue;
        try {
            parse_line(line, g);
        } catch (Fail& f) {
            return ParseError{std::move(f.message), number};
        }
    }
    return g;
}

ScGraph parse_or_throw(std::string_view text) {
    auto r = parse(text);
    if (auto* e = std::get_if<ParseError>(&r)) throw engine::Error(e->display());
    return std::move(std::get<ScGraph>(r));
}

std::variant<ScType, std::string> parse_type(std::string_view text) {
    try {
        return type_of(text);
    } catch (Fail& f) {
        return std::move(f.message);
    }
}

std::variant<ValueId, std::string> parse_value_id(std::string_view text) {
    try {
        return value_id(text);
    } catch (Fail& f) {
        return std::move(f.message);
    }
}

std::optional<std::string_view> extract_kv(std::string_view text, std::string_view key) {
    return kv(text, key);
}

}  // namespace ir
