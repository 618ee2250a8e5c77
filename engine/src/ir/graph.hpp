// The SC intermediate representation: value ids, value types, the sixteen operations and the
// graph that holds them in definition order.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace ir {

// Names one value, the result of one operation. Text form "%N".
using ValueId = uint32_t;

std::string value_id_text(ValueId id);

// A value type. `Vec` owns its element through `elem`; element chains can be arbitrarily deep,
// so copying, comparing and destroying walk the chain in a loop rather than by recursion.
struct ScType {
    enum class Kind : uint8_t { Bitstream, FixedPoint, Rate, UInt, SInt, Bool, Vec };

    Kind kind = Kind::Rate;
    std::size_t length = 0;         // Bitstream
    uint32_t width = 0;             // FixedPoint, UInt, SInt
    uint32_t frac = 0;              // FixedPoint
    std::unique_ptr<ScType> elem;   // Vec
    std::size_t count = 0;          // Vec

    static ScType bitstream(std::size_t length);
    static ScType fixed(uint32_t width, uint32_t frac);
    static ScType rate();
    static ScType uint(uint32_t width);
    static ScType sint(uint32_t width);
    static ScType boolean();
    static ScType vec(ScType elem, std::size_t count);

    ScType() = default;
    ScType(const ScType& o);
    ScType(ScType&& o) noexcept = default;
    ScType& operator=(const ScType& o);
    ScType& operator=(ScType&& o) noexcept;
    ~ScType();

    bool operator==(const ScType& o) const;
};

// "bitstream<N>", "fixed<W,F>", "rate", "uW", "iW", "bool", "vec<T,N>"; no spaces.
std::string type_text(const ScType& t);

enum class ReduceMode : uint8_t { Sum, Max };

const char* reduce_mode_text(ReduceMode m);

// The value of a constant; the alternative's index is the kind's tag (0 to 4).
using ConstValue =
    std::variant<double, int64_t, uint64_t, std::vector<double>, std::vector<int64_t>>;

enum class ConstKind : uint8_t { F64 = 0, I64 = 1, U64 = 2, F64List = 3, I64List = 4 };

inline ConstKind const_kind(const ConstValue& v) { return static_cast<ConstKind>(v.index()); }

// The operations, one record each, with operand fields in operand order.
namespace op {

struct Input {
    ValueId id = 0;
    ScType ty;
    std::string name;
    bool operator==(const Input&) const = default;
};
struct Output {
    ValueId id = 0;
    ValueId source = 0;
    std::string name;
    bool operator==(const Output&) const = default;
};
struct Constant {
    ValueId id = 0;
    ScType ty;
    ConstValue value;
    bool operator==(const Constant&) const = default;
};
struct Encode {
    ValueId id = 0;
    ValueId prob = 0;
    std::size_t length = 0;
    uint16_t seed = 0;
    bool operator==(const Encode&) const = default;
};
struct BitwiseAnd {
    ValueId id = 0;
    ValueId lhs = 0, rhs = 0;
    bool operator==(const BitwiseAnd&) const = default;
};
struct Popcount {
    ValueId id = 0;
    ValueId input = 0;
    bool operator==(const Popcount&) const = default;
};
struct LifStep {
    ValueId id = 0;
    ValueId current = 0, leak = 0, gain = 0, noise = 0;
    uint32_t data_width = 0, fraction = 0;
    int64_t v_rest = 0, v_reset = 0, v_threshold = 0;
    uint32_t refractory_period = 0;
    bool operator==(const LifStep&) const = default;
};
struct DenseForward {
    ValueId id = 0;
    ValueId inputs = 0, weights = 0, leak = 0, gain = 0;
    std::size_t n_inputs = 0, n_neurons = 0;
    uint32_t data_width = 0;
    std::size_t stream_length = 0;
    uint16_t seed = 0, weight_seed = 0;
    int64_t y_min = 0, y_max = 0;
    bool operator==(const DenseForward&) const = default;
};
struct BitwiseXor {
    ValueId id = 0;
    ValueId lhs = 0, rhs = 0;
    bool operator==(const BitwiseXor&) const = default;
};
struct Reduce {
    ValueId id = 0;
    ValueId input = 0;
    ReduceMode mode = ReduceMode::Sum;
    bool operator==(const Reduce&) const = default;
};
struct GraphForward {
    ValueId id = 0;
    ValueId features = 0, adj = 0;
    std::size_t n_nodes = 0, n_features = 0;
    bool operator==(const GraphForward&) const = default;
};
struct SoftmaxAttention {
    ValueId id = 0;
    ValueId q = 0, k = 0, v = 0;
    std::size_t dim_k = 0;
    bool operator==(const SoftmaxAttention&) const = default;
};
struct KuramotoStep {
    ValueId id = 0;
    ValueId phases = 0, omega = 0, coupling = 0;
    double dt = 0.0;
    bool operator==(const KuramotoStep&) const = default;
};
struct Scale {
    ValueId id = 0;
    ValueId input = 0;
    double factor = 0.0;
    bool operator==(const Scale&) const = default;
};
struct Offset {
    ValueId id = 0;
    ValueId input = 0;
    double offset = 0.0;
    bool operator==(const Offset&) const = default;
};
struct DivConst {
    ValueId id = 0;
    ValueId input = 0;
    uint64_t divisor = 0;
    bool operator==(const DivConst&) const = default;
};

}  // namespace op

// Tag numbers 0 to 15, the order of the alternatives below.
enum class OpTag : uint8_t {
    Input, Output, Constant, Encode, BitwiseAnd, Popcount, LifStep, DenseForward,
    BitwiseXor, Reduce, GraphForward, SoftmaxAttention, KuramotoStep, Scale, Offset, DivConst
};

// Operand ids without allocation: at most four per operation.
struct OperandList {
    std::array<ValueId, 4> ids{};
    uint8_t n = 0;
    const ValueId* begin() const { return ids.data(); }
    const ValueId* end() const { return ids.data() + n; }
    std::size_t size() const { return n; }
};

struct ScOp {
    using Kind = std::variant<op::Input, op::Output, op::Constant, op::Encode, op::BitwiseAnd,
                              op::Popcount, op::LifStep, op::DenseForward, op::BitwiseXor,
                              op::Reduce, op::GraphForward, op::SoftmaxAttention,
                              op::KuramotoStep, op::Scale, op::Offset, op::DivConst>;
    Kind kind;

    // Every operation record converts implicitly: ScOp{op::Popcount{3, 1}}.
    template <class T>
        requires(!std::is_same_v<std::remove_cvref_t<T>, ScOp> &&
                 std::is_constructible_v<Kind, T &&>)
    ScOp(T&& o) : kind(std::forward<T>(o)) {}

    OpTag tag() const { return static_cast<OpTag>(kind.index()); }
    ValueId id() const;
    void set_id(ValueId id);
    // The operand ids in operand order, as a new sequence.
    std::vector<ValueId> operands() const;
    OperandList operand_list() const;
    // "sc.input", "sc.and", ...
    const char* name() const;

    template <class T>
    const T* get() const { return std::get_if<T>(&kind); }

    bool operator==(const ScOp&) const = default;
};

const char* op_text_name(OpTag tag);

struct ScGraph {
    std::string name;
    std::vector<ScOp> ops;
    uint32_t next_id = 0;

    // Appends the operation unchanged and returns its own id; `next_id` is left alone.
    ValueId push(ScOp op);

    std::size_t len() const { return ops.size(); }
    bool is_empty() const { return ops.empty(); }
    std::size_t num_inputs() const;
    std::size_t num_outputs() const;

    bool operator==(const ScGraph&) const = default;
};

// "ScGraph('{}', ops={})" with the name verbatim and the number of operations.
std::string graph_repr(const ScGraph& g);

}  // namespace ir
