// A flat open-addressing map from value ids to values, for the id lookups of the verifier and
// the emitter: one probe sequence per lookup and no allocation per entry.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "ir/graph.hpp"

namespace ir {

template <class V>
class IdMap {
public:
    explicit IdMap(std::size_t expected = 0) { rehash(capacity_for(expected)); }

    // The value stored for id, or nullptr.
    const V* find(ValueId id) const {
        for (std::size_t i = slot(id);; i = (i + 1) & mask_) {
            if (!used_[i]) return nullptr;
            if (keys_[i] == id) return &values_[i];
        }
    }
    V* find(ValueId id) { return const_cast<V*>(std::as_const(*this).find(id)); }

    // Inserts (id, v) when id is absent; returns the stored value and whether it was inserted.
    std::pair<V*, bool> try_emplace(ValueId id, V v) {
        if ((size_ + 1) * 2 > used_.size()) rehash(used_.size() * 2);
        std::size_t i = slot(id);
        for (; used_[i]; i = (i + 1) & mask_)
            if (keys_[i] == id) return {&values_[i], false};
        used_[i] = 1;
        keys_[i] = id;
        values_[i] = std::move(v);
        ++size_;
        return {&values_[i], true};
    }

    std::size_t size() const { return size_; }

private:
    static std::size_t capacity_for(std::size_t n) {
        std::size_t c = 16;
        while (c < n * 2) c *= 2;
        return c;
    }
    std::size_t slot(ValueId id) const {
        // Fibonacci hashing spreads consecutive ids over the table.
        return static_cast<std::size_t>((uint64_t{id} * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
    }
    void rehash(std::size_t cap) {
        std::vector<uint8_t> used(cap, 0);
        std::vector<ValueId> keys(cap);
        std::vector<V> values(cap);
        std::swap(used, used_);
        std::swap(keys, keys_);
        std::swap(values, values_);
        mask_ = cap - 1;
        size_ = 0;
        for (std::size_t i = 0; i < used.size(); ++i)
            if (used[i]) try_emplace(keys[i], std::move(values[i]));
    }

    std::vector<uint8_t> used_;
    std::vector<ValueId> keys_;
    std::vector<V> values_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

}  // namespace ir
