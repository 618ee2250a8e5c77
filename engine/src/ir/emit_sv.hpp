// SystemVerilog emission: one module per graph, with ports from its inputs and outputs and one
// declaration and logic block per operation.
#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "ir/graph.hpp"

namespace ir {

// The emitter's refusal of an operation with no hardware form.
struct EmitRefusal {
    std::string message;
};

// The module text, or the refusal of the first GraphForward, SoftmaxAttention or KuramotoStep.
// Reads the graph only and does not verify it.
std::variant<std::string, EmitRefusal> emit(const ScGraph& g);

// Raises the refusal as engine::Error with its message unchanged.
std::string emit_or_throw(const ScGraph& g);

// The net that carries value id: decided by the first operation whose own id it is (an input's
// or an output's port name, "c{}" for a constant, "v{}_spike" for a LIF step, "v{}_spikes" for
// a dense layer, "v{}" otherwise and for ids that no operation has).
std::string value_to_wire(const std::vector<ScOp>& ops, ValueId id);

// Bits of a value of type t; a vector's count times its element's, saturating at 2^64 - 1
// instead of wrapping.
uint64_t type_width(const ScType& t);

// x * 256 truncated toward zero, saturated to the signed 64-bit range; NaN gives 0.
int64_t fx(double x);

}  // namespace ir
