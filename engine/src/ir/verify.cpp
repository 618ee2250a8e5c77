#include "ir/verify.hpp"

#include <limits>

#include "ir/id_map.hpp"

namespace ir {

std::string VerifyError::display() const {
    return "op[" + std::to_string(op_index) + "]: " + message;
}

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Every id the graph mentions (own ids and operands) numbered densely, so that the passes keep
// their per-id state in plain arrays.
struct GraphIds {
    explicit GraphIds(const ScGraph& g) : dense(number_graph_ids(g.ops)) {
        const std::size_t n = g.ops.size();
        own.assign(dense.number.begin(), dense.number.begin() + static_cast<std::ptrdiff_t>(n));
        operands.reserve(n);
        std::size_t k = n;
        for (const ScOp& o : g.ops) {
            DenseOperands d;
            d.n = o.operand_list().n;
            for (uint8_t j = 0; j < d.n; ++j) d.ids[j] = dense.number[k++];
            operands.push_back(d);
        }
    }

    struct DenseOperands {
        uint32_t ids[4] = {};
        uint8_t n = 0;
    };

    std::size_t size() const { return dense.size(); }

    DenseIds dense;
    std::vector<uint32_t> own;              // per operation
    std::vector<DenseOperands> operands;    // per operation
};

// Depth-first search over the operand links with an explicit stack, so that operand chains of
// any length complete; it visits in the order of a recursive search.
class CycleSearch {
public:
    explicit CycleSearch(const GraphIds& d)
        : d_(d), defining_(d.size(), kNone), visited_(d.size(), 0), on_path_(d.size(), 0) {
        // A later operation with the same id replaces an earlier one.
        for (std::size_t i = 0; i < d.own.size(); ++i) defining_[d.own[i]] = i;
    }

    // Whether the search from root reaches an id on its current path.
    bool dfs(uint32_t root) {
        if (on_path_[root]) return true;
        if (visited_[root]) return false;
        enter(root);
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            if (f.next < f.n) {
                const uint32_t y = f.ids[f.next++];
                if (on_path_[y]) return true;
                if (!visited_[y]) enter(y);
            } else {
                on_path_[f.x] = 0;
                stack_.pop_back();
            }
        }
        return false;
    }

private:
    struct Frame {
        uint32_t x;
        uint32_t ids[4];
        uint8_t n;
        uint8_t next;
    };

    void enter(uint32_t x) {
        visited_[x] = 1;
        on_path_[x] = 1;
        Frame f{x, {}, 0, 0};
        // An id that no operation defines has no operands: its branch ends.
        if (const std::size_t i = defining_[x]; i != kNone) {
            const auto& ops = d_.operands[i];
            f.n = ops.n;
            for (uint8_t k = 0; k < ops.n; ++k) f.ids[k] = ops.ids[k];
        }
        stack_.push_back(f);
    }

    const GraphIds& d_;
    std::vector<std::size_t> defining_;
    std::vector<uint8_t> visited_, on_path_;
    std::vector<Frame> stack_;
};

std::optional<VerifyError> cycles(const ScGraph& g, const GraphIds& d) {
    CycleSearch search(d);
    for (std::size_t i = 0; i < g.ops.size(); ++i)
        if (search.dfs(d.own[i]))
            return VerifyError{"cycle detected involving " + value_id_text(g.ops[i].id()), 0};
    return std::nullopt;
}

}  // namespace

std::optional<VerifyError> verify_no_cycles(const ScGraph& g) { return cycles(g, GraphIds(g)); }

std::vector<VerifyError> verify(const ScGraph& g) {
    const GraphIds d(g);
    std::vector<VerifyError> out;

    // Pass 1: every id defined once; a repeat names the latest earlier definition.
    std::vector<std::size_t> latest(d.size(), kNone);
    for (std::size_t i = 0; i < g.ops.size(); ++i) {
        std::size_t& seen = latest[d.own[i]];
        if (seen != kNone)
            out.push_back({value_id_text(g.ops[i].id()) + " is already defined by op[" +
                               std::to_string(seen) + "]",
                           i});
        seen = i;
    }

    // Pass 2: every operand defined by an earlier operation, each missing one reported.
    std::vector<uint8_t> defined(d.size(), 0);
    for (std::size_t i = 0; i < g.ops.size(); ++i) {
        const ScOp& o = g.ops[i];
        const auto& ops = d.operands[i];
        for (uint8_t k = 0; k < ops.n; ++k)
            if (!defined[ops.ids[k]])
                out.push_back({"operand " + value_id_text(d.dense.ids[ops.ids[k]]) +
                                   " not defined before use in " + o.name(),
                               i});
        defined[d.own[i]] = 1;
    }

    // Pass 3: at most one cycle finding.
    if (auto c = cycles(g, d)) out.push_back(std::move(*c));
    return out;
}

std::optional<std::vector<std::string>> verify_report(const ScGraph& g) {
    const auto findings = verify(g);
    if (findings.empty()) return std::nullopt;
    std::vector<std::string> texts;
    texts.reserve(findings.size());
    for (const auto& f : findings) texts.push_back(f.display());
    return texts;
}

}  // namespace ir
