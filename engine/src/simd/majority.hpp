// Bitwise majority of many word slices, counted in bit planes: plane b holds bit b of every
// position's count of set bits, and the members are added through carry-save full adders.
//
// Written once over a lane type V (a word, or a GCC vector of words) and inlined into each
// tier's entry, so every tier runs the same boolean operations and gives the same bits.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#define SC_LANES_INLINE [[gnu::always_inline]] inline

namespace simd::detail {

template <class V>
SC_LANES_INLINE void load_lanes(V& v, const uint64_t* p) {
    std::memcpy(&v, p, sizeof v);
}

// s + a + b per bit: the sum stays in s, the carry (weight 2) goes to carry.
template <class V>
SC_LANES_INLINE void full_add(V& s, V& carry, const V& a, const V& b) {
    const V u = s ^ a;
    carry = (s & a) | (u & b);
    s = u ^ b;
}

// Bits where the count in planes c[0 .. planes-1] is greater than half, from the top plane down:
// a position is greater at the first plane where its count has a 1 and half a 0, while all
// planes above agree (a position found greater stays so, whatever `equal` says of it).
template <class V>
SC_LANES_INLINE void greater_than(V& out, const V* c, unsigned planes, uint64_t half) {
    V greater{};
    V equal = ~greater;
    for (unsigned b = planes; b-- > 0;) {
        if ((half >> b) & 1) equal = equal & c[b];
        else greater = greater | (equal & c[b]);
    }
    out = greater;
}

// Few members: B planes (n < 2^B) kept in registers. Members go in pairs through a full adder
// with plane 0, and the pair's carry ripples up through the other planes.
template <class V, unsigned B>
SC_LANES_INLINE void majority_small(V& out, const uint64_t* const* m, std::size_t n, std::size_t k) {
    V c[B];
    load_lanes(c[0], m[0] + k);
    for (unsigned b = 1; b < B; ++b) c[b] = V{};
    std::size_t i = 1;
    for (; i + 2 <= n; i += 2) {
        V x, y, carry;
        load_lanes(x, m[i] + k);
        load_lanes(y, m[i + 1] + k);
        full_add(c[0], carry, x, y);
        for (unsigned b = 1; b < B; ++b) {
            const V t = c[b] & carry;
            c[b] = c[b] ^ carry;
            carry = t;
        }
    }
    if (i < n) {
        V carry;
        load_lanes(carry, m[i] + k);
        for (unsigned b = 0; b < B; ++b) {
            const V t = c[b] & carry;
            c[b] = c[b] ^ carry;
            carry = t;
        }
    }
    greater_than(out, c, B, n / 2);
}

// Many members: a carry of weight 2^b waits at level b until a second one arrives, and the two
// go through a full adder with plane b. Each level sees half the words of the one below, so a
// member costs about two full adders however many members there are.
template <class V>
SC_LANES_INLINE void majority_large(V& out, const uint64_t* const* m, std::size_t n, std::size_t k) {
    // The counts fit in bit_width(n) planes. A carry parked one level above them (n = 2^k - 1
    // parks one there) is zero, as is everything added to that plane.
    const unsigned planes = static_cast<unsigned>(std::bit_width(n));
    V count[65], waiting[65];
    bool parked[65] = {};
    for (unsigned b = 0; b <= planes; ++b) count[b] = V{};
    for (std::size_t i = 0; i < n; i += 2) {
        V x, y{}, carry;
        load_lanes(x, m[i] + k);
        if (i + 1 < n) load_lanes(y, m[i + 1] + k);
        full_add(count[0], carry, x, y);
        unsigned b = 1;
        for (; parked[b]; ++b) {
            parked[b] = false;
            V next;
            full_add(count[b], next, waiting[b], carry);
            carry = next;
        }
        parked[b] = true;
        waiting[b] = carry;
    }
    for (unsigned b = 1; b < planes; ++b) {
        if (!parked[b]) continue;
        V carry = waiting[b];
        for (unsigned c = b; c < planes; ++c) {
            const V t = count[c] & carry;
            count[c] = count[c] ^ carry;
            carry = t;
        }
    }
    greater_than(out, count, planes, n / 2);
}

// Words k0 .. k1 - 1 (a multiple of the lanes of V) of the majority, with B planes in
// registers, or (B = 0) the many-member form.
template <class V, unsigned B>
SC_LANES_INLINE void majority_run(const uint64_t* const* m, std::size_t n, std::size_t k0,
                                  std::size_t k1, uint64_t* out) {
    for (std::size_t k = k0; k < k1; k += sizeof(V) / sizeof(uint64_t)) {
        V r;
        if constexpr (B == 0) majority_large(r, m, n, k);
        else majority_small<V, B>(r, m, n, k);
        std::memcpy(out + k, &r, sizeof r);
    }
}

// out[k] for k in [k0, k1), k1 - k0 a multiple of the lanes of V: the majority of the n >= 1
// members' words k (a bit is set when more than n / 2 members have it).
template <class V>
SC_LANES_INLINE void majority_words(const uint64_t* const* m, std::size_t n, std::size_t k0,
                                    std::size_t k1, uint64_t* out) {
    switch (std::bit_width(n)) {
        case 1: return majority_run<V, 1>(m, n, k0, k1, out);
        case 2: return majority_run<V, 2>(m, n, k0, k1, out);
        case 3: return majority_run<V, 3>(m, n, k0, k1, out);
        case 4: return majority_run<V, 4>(m, n, k0, k1, out);
        default: return majority_run<V, 0>(m, n, k0, k1, out);
    }
}

}  // namespace simd::detail
