#include "ir/printer.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ir {

std::string format_f64(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";

    // The scientific form of to_chars carries the shortest round-trip digits; lay them out by
    // hand, since its fixed form writes large values with all their exact digits instead.
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));

    std::string out;
    std::size_t i = 0;
    if (sci[0] == '-') {
        out += '-';
        i = 1;
    }
    const std::size_t epos = sci.find('e');
    std::string digits;
    for (std::size_t k = i; k < epos; ++k)
        if (sci[k] != '.') digits += sci[k];
    // The exponent is at most three digits for a double.
    const int exp10 = std::atoi(std::string(sci.substr(epos + 1)).c_str());

    // digits d0 d1 ... d(n-1) stand for d0.d1...d(n-1) x 10^exp10.
    const int n = static_cast<int>(digits.size());
    if (digits == "0") {
        out += '0';
    } else if (exp10 < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exp10 - 1), '0');
        out += digits;
    } else if (exp10 + 1 >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(exp10 + 1 - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exp10 + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exp10 + 1), std::string::npos);
    }
    return out;
}

template <class T, class F>
static std::string list_text(const std::vector<T>& xs, F&& one) {
    std::string s = "[";
    for (std::size_t k = 0; k < xs.size(); ++k) {
        if (k) s += ", ";
        s += one(xs[k]);
    }
    s += "]";
    return s;
}

std::string const_value_text(const ConstValue& v) {
    switch (const_kind(v)) {
        case ConstKind::F64:
            return format_f64(std::get<double>(v));
        case ConstKind::I64:
            return std::to_string(std::get<int64_t>(v));
        case ConstKind::U64:
            return std::to_string(std::get<uint64_t>(v));
        case ConstKind::F64List:
            return list_text(std::get<std::vector<double>>(v), format_f64);
        case ConstKind::I64List:
            return list_text(std::get<std::vector<int64_t>>(v),
                             [](int64_t e) { return std::to_string(e); });
    }
    return {};
}

static std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", static_cast<unsigned>(v));
    return b;
}

namespace {

// Appends the pieces of one template in order.
struct Line {
    std::string& out;
    template <class... P>
    void operator()(const P&... parts) {
        (out.append(parts), ...);
    }
};

std::string id(ValueId v) { return value_id_text(v); }
std::string num(uint64_t v) { return std::to_string(v); }
std::string snum(int64_t v) { return std::to_string(v); }

void print_op(std::string& out, const ScOp& o) {
    Line put{out};
    out += "  ";
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, op::Input>) {
                put(id(x.id), " = sc.input \"", x.name, "\" : ", type_text(x.ty), "\n");
            } else if constexpr (std::is_same_v<T, op::Output>) {
                put("sc.output \"", x.name, "\" ", id(x.source), "\n");
            } else if constexpr (std::is_same_v<T, op::Constant>) {
                put(id(x.id), " = sc.constant ", const_value_text(x.value), " : ", type_text(x.ty),
                    "\n");
            } else if constexpr (std::is_same_v<T, op::Encode>) {
                put(id(x.id), " = sc.encode ", id(x.prob), ", length=", num(x.length), ", seed=0x",
                    hex4(x.seed), " : bitstream<", num(x.length), ">\n");
            } else if constexpr (std::is_same_v<T, op::BitwiseAnd>) {
                put(id(x.id), " = sc.and ", id(x.lhs), ", ", id(x.rhs), " : bitstream\n");
            } else if constexpr (std::is_same_v<T, op::Popcount>) {
                put(id(x.id), " = sc.popcount ", id(x.input), " : u64\n");
            } else if constexpr (std::is_same_v<T, op::LifStep>) {
                put(id(x.id), " = sc.lif_step ", id(x.current), ", leak=", id(x.leak),
                    ", gain=", id(x.gain), ", noise=", id(x.noise), ", dw=", num(x.data_width),
                    ", frac=", num(x.fraction), ", vt=", snum(x.v_threshold), ", rp=",
                    num(x.refractory_period), " : (bool, fixed<", num(x.data_width), ",",
                    num(x.fraction), ">)\n");
            } else if constexpr (std::is_same_v<T, op::DenseForward>) {
                put(id(x.id), " = sc.dense_forward ", id(x.inputs), ", weights=", id(x.weights),
                    ", leak=", id(x.leak), ", gain=", id(x.gain), ", ni=", num(x.n_inputs),
                    ", nn=", num(x.n_neurons), ", len=", num(x.stream_length), " : vec<bool,",
                    num(x.n_neurons), ">\n");
            } else if constexpr (std::is_same_v<T, op::BitwiseXor>) {
                put(id(x.id), " = sc.xor ", id(x.lhs), ", ", id(x.rhs), " : bitstream\n");
            } else if constexpr (std::is_same_v<T, op::Reduce>) {
                put(id(x.id), " = sc.reduce ", id(x.input), ", mode=", reduce_mode_text(x.mode),
                    " : rate\n");
            } else if constexpr (std::is_same_v<T, op::GraphForward>) {
                put(id(x.id), " = sc.graph_forward ", id(x.features), ", adj=", id(x.adj),
                    ", nodes=", num(x.n_nodes), ", features=", num(x.n_features), " : rate\n");
            } else if constexpr (std::is_same_v<T, op::SoftmaxAttention>) {
                put(id(x.id), " = sc.softmax_attention ", id(x.q), ", ", id(x.k), ", ", id(x.v),
                    ", dim_k=", num(x.dim_k), " : rate\n");
            } else if constexpr (std::is_same_v<T, op::KuramotoStep>) {
                put(id(x.id), " = sc.kuramoto_step ", id(x.phases), ", omega=", id(x.omega),
                    ", K=", id(x.coupling), ", dt=", format_f64(x.dt), " : rate\n");
            } else if constexpr (std::is_same_v<T, op::Scale>) {
                put(id(x.id), " = sc.scale ", id(x.input), ", factor=", format_f64(x.factor),
                    " : rate\n");
            } else if constexpr (std::is_same_v<T, op::Offset>) {
                put(id(x.id), " = sc.offset ", id(x.input), ", offset=", format_f64(x.offset),
                    " : rate\n");
            } else if constexpr (std::is_same_v<T, op::DivConst>) {
                put(id(x.id), " = sc.div_const ", id(x.input), ", divisor=", num(x.divisor),
                    " : u64\n");
            }
        },
        o.kind);
}

}  // namespace

std::string print(const ScGraph& g) {
    std::string out = "sc.graph @" + g.name + " {\n";
    for (const ScOp& o : g.ops) print_op(out, o);
    out += "}\n";
    return out;
}

}  // namespace ir
