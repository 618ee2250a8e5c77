// Dense numbers for value ids, for the id lookups of the verifier and the emitter.
//
// Ids are numbered by sorting, never hashed: a fixed hash of 32-bit ids can always be flooded by
// a text whose ids are chosen to collide, which makes each lookup walk a cluster as long as the
// graph. A radix sort costs the same for every choice of ids.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "ir/graph.hpp"

namespace ir {

// The distinct ids in increasing order, and for each given id its position among them.
struct DenseIds {
    std::vector<ValueId> ids;
    std::vector<uint32_t> number;  // per given id; ids are 32-bit, so numbers fit 32 bits

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // The number of id by binary search, or npos when it was not given.
    std::size_t find(ValueId id) const {
        const auto it = std::lower_bound(ids.begin(), ids.end(), id);
        return it != ids.end() && *it == id ? static_cast<std::size_t>(it - ids.begin()) : npos;
    }
    std::size_t size() const { return ids.size(); }
};

// Numbers the given ids: a stable least-significant-digit radix sort of (id, position) pairs,
// four passes of 8 bits (a pass whose digit is the same everywhere is skipped), then one scan.
// O(n) for any ids.
inline DenseIds number_densely(const std::vector<ValueId>& given) {
    const std::size_t n = given.size();
    DenseIds out;
    out.number.resize(n);
    auto scan = [&](const auto& sorted, auto id_of, auto pos_of) {
        for (std::size_t k = 0; k < n; ++k) {
            const ValueId id = id_of(sorted[k]);
            if (k == 0 || id != id_of(sorted[k - 1])) out.ids.push_back(id);
            out.number[pos_of(sorted[k])] = static_cast<uint32_t>(out.ids.size() - 1);
        }
    };
    auto sort = [&](auto& a, auto id_of) {
        std::remove_reference_t<decltype(a)> b(a.size());
        for (unsigned shift = 0; shift < 32; shift += 8) {
            std::array<std::size_t, 257> start{};
            for (const auto& p : a) ++start[((id_of(p) >> shift) & 0xFF) + 1];
            if (std::find(start.begin(), start.end(), n) != start.end()) continue;
            for (std::size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
            for (const auto& p : a) b[start[(id_of(p) >> shift) & 0xFF]++] = p;
            a.swap(b);
        }
    };
    // Ids no larger than a few times their count (as a builder or a printed graph numbers
    // them) are numbered through a table indexed by id: one pass, no sort.
    ValueId max_id = 0;
    for (const ValueId id : given) max_id = std::max(max_id, id);
    if (n > 0 && std::size_t{max_id} <= 4 * n + 1024) {
        constexpr uint32_t kAbsent = ~uint32_t{0};
        std::vector<uint32_t> slot(std::size_t{max_id} + 1, kAbsent);
        for (const ValueId id : given) slot[id] = 0;
        for (std::size_t id = 0; id < slot.size(); ++id)
            if (slot[id] == 0) {
                slot[id] = static_cast<uint32_t>(out.ids.size());
                out.ids.push_back(static_cast<ValueId>(id));
            }
        for (std::size_t i = 0; i < n; ++i) out.number[i] = slot[given[i]];
        return out;
    }
    if (n <= (std::size_t{1} << 32)) {
        // The common case packs each pair into one 64-bit word: half the memory traffic.
        std::vector<uint64_t> a(n);
        for (std::size_t i = 0; i < n; ++i) a[i] = uint64_t{given[i]} << 32 | i;
        auto id_of = [](uint64_t p) { return static_cast<ValueId>(p >> 32); };
        sort(a, id_of);
        scan(a, id_of, [](uint64_t p) { return static_cast<std::size_t>(p & 0xFFFFFFFFu); });
    } else {
        struct Pair {
            ValueId id;
            std::size_t pos;
        };
        std::vector<Pair> a(n);
        for (std::size_t i = 0; i < n; ++i) a[i] = {given[i], i};
        auto id_of = [](const Pair& p) { return p.id; };
        sort(a, id_of);
        scan(a, id_of, [](const Pair& p) { return p.pos; });
    }
    return out;
}

// Numbers every id the operations mention: number[i] is the own id of operation i, and the
// operands follow from number[ops.size()] on, operation by operation, in operand order.
inline DenseIds number_graph_ids(const std::vector<ScOp>& ops) {
    std::vector<ValueId> mentioned;
    mentioned.reserve(ops.size() * 2);
    for (const ScOp& o : ops) mentioned.push_back(o.id());
    for (const ScOp& o : ops)
        for (ValueId y : o.operand_list()) mentioned.push_back(y);
    return number_densely(mentioned);
}

}  // namespace ir
