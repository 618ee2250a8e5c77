// Dense numbers for value ids, for the id lookups of the verifier and the emitter.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ir/graph.hpp"

namespace ir {

// Every distinct id given to the constructor gets a number in 0 .. size() - 1, in increasing id
// order, found by binary search. Sorting once bounds the work at O(n log n) whatever the ids
// are: a fixed hash of 32-bit ids can always be flooded by a text whose ids are chosen to
// collide, which made each lookup walk a cluster as long as the graph.
class IdIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    explicit IdIndex(std::vector<ValueId> ids) : ids_(std::move(ids)) {
        std::sort(ids_.begin(), ids_.end());
        ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
    }

    // The number of id, or npos when it was not given.
    std::size_t find(ValueId id) const {
        const auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
        return it != ids_.end() && *it == id ? static_cast<std::size_t>(it - ids_.begin()) : npos;
    }

    ValueId id_of(std::size_t number) const { return ids_[number]; }
    std::size_t size() const { return ids_.size(); }

private:
    std::vector<ValueId> ids_;
};

}  // namespace ir
