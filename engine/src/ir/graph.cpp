#include "ir/graph.hpp"

#include <utility>

namespace ir {

std::string value_id_text(ValueId id) { return "%" + std::to_string(id); }

// ---------------------------------------------------------------- ScType

ScType ScType::bitstream(std::size_t length) {
    ScType t;
    t.kind = Kind::Bitstream;
    t.length = length;
    return t;
}
ScType ScType::fixed(uint32_t width, uint32_t frac) {
    ScType t;
    t.kind = Kind::FixedPoint;
    t.width = width;
    t.frac = frac;
    return t;
}
ScType ScType::rate() { return ScType{}; }
ScType ScType::uint(uint32_t width) {
    ScType t;
    t.kind = Kind::UInt;
    t.width = width;
    return t;
}
ScType ScType::sint(uint32_t width) {
    ScType t;
    t.kind = Kind::SInt;
    t.width = width;
    return t;
}
ScType ScType::boolean() {
    ScType t;
    t.kind = Kind::Bool;
    return t;
}
ScType ScType::vec(ScType elem, std::size_t count) {
    ScType t;
    t.kind = Kind::Vec;
    t.elem = std::make_unique<ScType>(std::move(elem));
    t.count = count;
    return t;
}

// Copies one level's own fields, not the element.
static void copy_level(ScType& dst, const ScType& src) {
    dst.kind = src.kind;
    dst.length = src.length;
    dst.width = src.width;
    dst.frac = src.frac;
    dst.count = src.count;
}

ScType::ScType(const ScType& o) {
    copy_level(*this, o);
    ScType* dst = this;
    for (const ScType* src = o.elem.get(); src; src = src->elem.get()) {
        dst->elem = std::make_unique<ScType>();
        dst = dst->elem.get();
        copy_level(*dst, *src);
    }
}

ScType& ScType::operator=(const ScType& o) {
    if (this != &o) *this = ScType(o);
    return *this;
}

ScType& ScType::operator=(ScType&& o) noexcept {
    if (this != &o) {
        // The old chain goes out through a temporary, whose destructor unwinds it in a loop.
        ScType old(std::move(*this));
        copy_level(*this, o);
        elem = std::move(o.elem);
    }
    return *this;
}

ScType::~ScType() {
    std::unique_ptr<ScType> p = std::move(elem);
    while (p) {
        std::unique_ptr<ScType> next = std::move(p->elem);
        p.reset();
        p = std::move(next);
    }
}

bool ScType::operator==(const ScType& o) const {
    const ScType* a = this;
    const ScType* b = &o;
    while (a && b) {
        if (a->kind != b->kind) return false;
        switch (a->kind) {
            case Kind::Bitstream:
                return a->length == b->length;
            case Kind::FixedPoint:
                return a->width == b->width && a->frac == b->frac;
            case Kind::UInt:
            case Kind::SInt:
                return a->width == b->width;
            case Kind::Rate:
            case Kind::Bool:
                return true;
            case Kind::Vec:
                if (a->count != b->count) return false;
                a = a->elem.get();
                b = b->elem.get();
                break;
        }
    }
    return a == b;  // both chains ended (a malformed Vec without element)
}

std::string type_text(const ScType& t) {
    std::string out;
    std::vector<std::size_t> counts;
    const ScType* p = &t;
    while (p && p->kind == ScType::Kind::Vec) {
        out += "vec<";
        counts.push_back(p->count);
        p = p->elem.get();
    }
    if (p) {
        switch (p->kind) {
            case ScType::Kind::Bitstream:
                out += "bitstream<" + std::to_string(p->length) + ">";
                break;
            case ScType::Kind::FixedPoint:
                out += "fixed<" + std::to_string(p->width) + "," + std::to_string(p->frac) + ">";
                break;
            case ScType::Kind::Rate:
                out += "rate";
                break;
            case ScType::Kind::UInt:
                out += "u" + std::to_string(p->width);
                break;
            case ScType::Kind::SInt:
                out += "i" + std::to_string(p->width);
                break;
            case ScType::Kind::Bool:
                out += "bool";
                break;
            case ScType::Kind::Vec:
                break;
        }
    }
    for (auto it = counts.rbegin(); it != counts.rend(); ++it) {
        out += ",";
        out += std::to_string(*it);
        out += ">";
    }
    return out;
}

const char* reduce_mode_text(ReduceMode m) { return m == ReduceMode::Max ? "max" : "sum"; }

// ---------------------------------------------------------------- ScOp

ValueId ScOp::id() const {
    return std::visit([](const auto& o) { return o.id; }, kind);
}

void ScOp::set_id(ValueId id) {
    std::visit([id](auto& o) { o.id = id; }, kind);
}

OperandList ScOp::operand_list() const {
    OperandList l;
    auto put = [&l](std::initializer_list<ValueId> ids) {
        for (ValueId v : ids) l.ids[l.n++] = v;
    };
    std::visit(
        [&](const auto& o) {
            using T = std::decay_t<decltype(o)>;
            if constexpr (std::is_same_v<T, op::Output>) put({o.source});
            else if constexpr (std::is_same_v<T, op::Encode>) put({o.prob});
            else if constexpr (std::is_same_v<T, op::Popcount> || std::is_same_v<T, op::Reduce> ||
                               std::is_same_v<T, op::Scale> || std::is_same_v<T, op::Offset> ||
                               std::is_same_v<T, op::DivConst>)
                put({o.input});
            else if constexpr (std::is_same_v<T, op::BitwiseAnd> ||
                               std::is_same_v<T, op::BitwiseXor>)
                put({o.lhs, o.rhs});
            else if constexpr (std::is_same_v<T, op::GraphForward>) put({o.features, o.adj});
            else if constexpr (std::is_same_v<T, op::SoftmaxAttention>) put({o.q, o.k, o.v});
            else if constexpr (std::is_same_v<T, op::KuramotoStep>)
                put({o.phases, o.omega, o.coupling});
            else if constexpr (std::is_same_v<T, op::LifStep>)
                put({o.current, o.leak, o.gain, o.noise});
            else if constexpr (std::is_same_v<T, op::DenseForward>)
                put({o.inputs, o.weights, o.leak, o.gain});
        },
        kind);
    return l;
}

std::vector<ValueId> ScOp::operands() const {
    const OperandList l = operand_list();
    return std::vector<ValueId>(l.begin(), l.end());
}

const char* op_text_name(OpTag tag) {
    static const char* const names[] = {
        "sc.input",       "sc.output",        "sc.constant",          "sc.encode",
        "sc.and",         "sc.popcount",      "sc.lif_step",          "sc.dense_forward",
        "sc.xor",         "sc.reduce",        "sc.graph_forward",     "sc.softmax_attention",
        "sc.kuramoto_step", "sc.scale",       "sc.offset",            "sc.div_const"};
    return names[static_cast<std::size_t>(tag)];
}

const char* ScOp::name() const { return op_text_name(tag()); }

// ---------------------------------------------------------------- ScGraph

ValueId ScGraph::push(ScOp op) {
    const ValueId id = op.id();
    ops.push_back(std::move(op));
    return id;
}

std::size_t ScGraph::num_inputs() const {
    std::size_t n = 0;
    for (const ScOp& o : ops) n += o.tag() == OpTag::Input;
    return n;
}

std::size_t ScGraph::num_outputs() const {
    std::size_t n = 0;
    for (const ScOp& o : ops) n += o.tag() == OpTag::Output;
    return n;
}

std::string graph_repr(const ScGraph& g) {
    return "ScGraph('" + g.name + "', ops=" + std::to_string(g.ops.size()) + ")";
}

}  // namespace ir
