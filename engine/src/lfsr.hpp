// Hardware-style SC pieces: the 16-bit LFSR, its comparator encoder and a sliding-window averager.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "error.hpp"

namespace lfsr {

// One step of the x^16 + x^14 + x^13 + x^11 + 1 register, shifting left.
constexpr uint16_t step16(uint16_t r) {
    const unsigned f = ((r >> 15) ^ (r >> 13) ^ (r >> 12) ^ (r >> 10)) & 1u;
    return static_cast<uint16_t>((static_cast<unsigned>(r) << 1) | f);
}

inline uint16_t checked_seed(uint16_t seed) {
    if (seed == 0) throw engine::Error("LFSR seed must be non-zero.");
    return seed;
}

struct Lfsr16 {
    uint32_t width = 16;
    uint16_t reg;
    uint16_t seed;

    explicit Lfsr16(uint16_t s) : reg(checked_seed(s)), seed(s) {}
    uint16_t step() { return reg = step16(reg); }
    void reset(std::optional<uint16_t> s) {
        const uint16_t use = checked_seed(s.value_or(seed));
        width = 16;
        reg = use;
        seed = use;
    }
};

struct BitstreamEncoder {
    uint32_t width = 16;
    uint16_t reg;
    uint32_t data_width;
    uint16_t seed;
    uint16_t initial_seed;  // kept as given at construction; nothing reads it

    BitstreamEncoder(uint32_t dw, uint16_t s)
        : reg(checked_seed(s)), data_width(dw), seed(s), initial_seed(s) {}
    int step(uint16_t x) {
        const uint16_t before = reg;
        reg = step16(reg);
        return before < x ? 1 : 0;
    }
    void reset(std::optional<uint16_t> s) {
        const uint16_t use = checked_seed(s.value_or(seed));
        width = 16;
        reg = use;
        seed = use;
    }
};

struct BitstreamAverager {
    std::vector<uint8_t> buf;
    std::size_t pos = 0;
    std::size_t total = 0;
    bool full = false;

    explicit BitstreamAverager(std::size_t window) {
        if (window == 0) engine::panic("window must be > 0");
        buf.assign(window, 0);
    }
    void push(uint8_t bit) {
        const uint8_t old = buf[pos];
        buf[pos] = bit;
        total = total + bit - (full ? old : 0);
        if (++pos == buf.size()) {
            pos = 0;
            full = true;
        }
    }
    double estimate() const {
        if (full) return static_cast<double>(total) / static_cast<double>(buf.size());
        if (pos > 0) return static_cast<double>(total) / static_cast<double>(pos);
        return 0.0;
    }
    void reset() {
        std::fill(buf.begin(), buf.end(), 0);
        pos = 0;
        total = 0;
        full = false;
    }
    std::size_t window() const { return buf.size(); }
};

}  // namespace lfsr
