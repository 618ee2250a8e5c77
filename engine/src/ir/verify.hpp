// Structural checks of an IR graph: ids defined once, operands defined before use, no cycles.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ir/graph.hpp"

namespace ir {

struct VerifyError {
    std::string message;
    std::size_t op_index = 0;  // position of the operation concerned; 0 for the cycle finding

    // "op[{}]: {}"
    std::string display() const;
    bool operator==(const VerifyError&) const = default;
};

// All findings in pass order (duplicate ids, then uses before definition, then at most one
// cycle); empty when the graph passes. Reads the graph only.
std::vector<VerifyError> verify(const ScGraph& g);

// The cycle pass alone: the finding naming the root of the first search that meets a cycle.
std::optional<VerifyError> verify_no_cycles(const ScGraph& g);

// nullopt when the graph passes, else one "op[{}]: {}" text per finding.
std::optional<std::vector<std::string>> verify_report(const ScGraph& g);

}  // namespace ir
