#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bitcore_util.hpp"
#include "bitstream.hpp"
#include "error.hpp"
#include "panic_text.hpp"

namespace {

using bitstream::BitStreamTensor;
using namespace bitcore_test;

BitStreamTensor words(std::vector<uint64_t> w, std::size_t length) { return BitStreamTensor{std::move(w), length}; }

// Reference rotation through bytes: byte i moves to (i + s) mod L.
std::vector<uint64_t> rotate_by_bytes(const BitStreamTensor& t, std::size_t shift) {
    const std::vector<uint8_t> bytes = bitstream::unpack(t);
    const std::size_t L = bytes.size(), s = shift % L;
    std::vector<uint8_t> out(L);
    for (std::size_t i = 0; i < L; ++i) out[(i + s) % L] = bytes[i];
    return bitstream::pack(out).data;
}

TEST(BitstreamPack, LayoutAndRoundTrip) {
    const uint8_t three[] = {1, 0, 2};
    const BitStreamTensor t = bitstream::pack(three);
    EXPECT_EQ(t.data, std::vector<uint64_t>{5});
    EXPECT_EQ(t.length, 3u);
    EXPECT_EQ(bitstream::unpack(t), (std::vector<uint8_t>{1, 0, 1}));

    EXPECT_EQ(bitstream::pack(std::vector<uint8_t>(64, 1)).data, std::vector<uint64_t>{~0ull});
    std::vector<uint8_t> b65(65, 0);
    b65[64] = 7;
    EXPECT_EQ(bitstream::pack(b65).data, (std::vector<uint64_t>{0, 1}));
    const BitStreamTensor empty = bitstream::pack({});
    EXPECT_TRUE(empty.data.empty());
    EXPECT_EQ(empty.length, 0u);
    EXPECT_TRUE(bitstream::unpack(empty).empty());

    for (std::size_t n = 0; n <= 200; ++n) {
        const std::vector<uint8_t> bytes = random_bytes(n, 100 + n);
        const BitStreamTensor p = bitstream::pack(bytes);
        ASSERT_EQ(p.data.size(), (n + 63) / 64);
        EXPECT_EQ(bitstream::pack_fast(bytes).data, p.data) << n;
        std::vector<uint8_t> bits(n);
        for (std::size_t i = 0; i < n; ++i) bits[i] = bytes[i] != 0;
        EXPECT_EQ(bitstream::unpack(p), bits) << n;
        if (n % 64) {
            EXPECT_EQ(p.data.back() >> (n % 64), 0u) << "tail bits must be zero, " << n;
        }
    }
}

TEST(BitstreamUnpack, TooFewWordsStopBeforeAllocating) {
    // A huge length with a single word must stop, not try to allocate the length in bytes.
    for (std::size_t length : {65ul, 1000ul, SIZE_MAX}) {
        const BitStreamTensor t = words({1}, length);
        EXPECT_EQ(panic_text([&] { bitstream::unpack(t); }), "index out of bounds: the len is 1 but the index is 1")
            << length;
    }
    EXPECT_EQ(panic_text([] { bitstream::unpack(words({}, 1)); }),
              "index out of bounds: the len is 0 but the index is 0");
    // Extra words are simply not read.
    EXPECT_EQ(bitstream::unpack(words({0xFF, 0xFF}, 4)), (std::vector<uint8_t>{1, 1, 1, 1}));
}

TEST(BitstreamFromWords, KeepsWordsAndRefusesZeroLength) {
    const BitStreamTensor t = BitStreamTensor::from_words({0xFF, 3}, 4);
    EXPECT_EQ(t.data, (std::vector<uint64_t>{0xFF, 3}));
    EXPECT_EQ(t.length, 4u);
    EXPECT_EQ(panic_text([] { BitStreamTensor::from_words({1}, 0); }), "bitstream length must be > 0");
}

TEST(BitstreamRotate, StatedCases) {
    BitStreamTensor t = words({1u << 4}, 5);
    t.rotate_right(1);
    EXPECT_EQ(t.data, std::vector<uint64_t>{1});
    for (std::size_t s : {0u, 5u, 10u}) {
        BitStreamTensor u = words({1u << 4}, 5);
        u.rotate_right(s);
        EXPECT_EQ(u.data, std::vector<uint64_t>{1u << 4}) << s;
    }
    BitStreamTensor by6 = words({0b10110}, 5), by1 = by6;
    by6.rotate_right(6);
    by1.rotate_right(1);
    EXPECT_EQ(by6.data, by1.data);
    EXPECT_EQ(by1.data, std::vector<uint64_t>{0b01101});

    // Bits above the length (possible for words taken from outside) vanish once rewritten, but
    // a rotation by a multiple of the length leaves the words untouched.
    BitStreamTensor extra = words({0xFF, 9}, 4);
    extra.rotate_right(8);
    EXPECT_EQ(extra.data, (std::vector<uint64_t>{0xFF, 9}));
    extra.rotate_right(1);
    EXPECT_EQ(extra.data, std::vector<uint64_t>{0xF});
    EXPECT_EQ(extra.length, 4u);

    BitStreamTensor none = words({}, 0);
    none.rotate_right(3);
    EXPECT_TRUE(none.data.empty());
    EXPECT_EQ(panic_text([] { words({1}, 100).rotate_right(3); }),
              "index out of bounds: the len is 1 but the index is 1");
}

TEST(BitstreamRotate, MatchesByteRotationForManyLengthsAndShifts) {
    for (std::size_t L = 1; L <= 200; ++L) {
        std::vector<uint64_t> w = random_words((L + 63) / 64, L);
        if (L % 64) w.back() &= (1ull << (L % 64)) - 1;
        const BitStreamTensor base = words(w, L);
        for (std::size_t s : {1ul, 2ul, 31ul, 63ul, 64ul, 65ul, 127ul, L / 2, L - 1, L + 3, 7 * L + 1, SIZE_MAX}) {
            BitStreamTensor t = base;
            t.rotate_right(s);
            if (s % L == 0) {
                EXPECT_EQ(t.data, base.data);
                continue;
            }
            EXPECT_EQ(t.data, rotate_by_bytes(base, s)) << L << " " << s;
        }
    }
}

TEST(BitstreamBundle, MajorityRules) {
    const BitStreamTensor a = words({1}, 2), b = words({3}, 2), c = words({2}, 2);
    const BitStreamTensor three[] = {a, b, c};
    EXPECT_EQ(BitStreamTensor::bundle(three).data, std::vector<uint64_t>{3});
    const BitStreamTensor two[] = {a, c};
    EXPECT_EQ(BitStreamTensor::bundle(two).data, std::vector<uint64_t>{0});  // ties give 0
    const BitStreamTensor one[] = {words({0xF0F0, 7}, 70)};
    const BitStreamTensor copy = BitStreamTensor::bundle(one);
    EXPECT_EQ(copy.data, one[0].data);
    EXPECT_EQ(copy.length, 70u);
    EXPECT_EQ(panic_text([] { BitStreamTensor::bundle(std::span<const BitStreamTensor>()); }),
              "Cannot bundle zero vectors.");
    // The same object may appear several times.
    const BitStreamTensor* same[] = {&a, &a, &c};
    EXPECT_EQ(BitStreamTensor::bundle(std::span<const BitStreamTensor* const>(same)).data,
              std::vector<uint64_t>{1});
}

TEST(BitstreamBundle, FirstMemberFixesShapeAndShortMembersStop) {
    const BitStreamTensor first = words({~0ull, 1}, 65), longer = words({~0ull, 1, 5}, 300),
                          shorter = words({~0ull}, 65);
    const BitStreamTensor ok[] = {first, longer, longer, first};
    const BitStreamTensor r = BitStreamTensor::bundle(ok);
    EXPECT_EQ(r.data, (std::vector<uint64_t>{~0ull, 1}));
    EXPECT_EQ(r.length, 65u);
    for (std::size_t n : {2u, 3u, 4u}) {
        std::vector<BitStreamTensor> v(n, first);
        v[n - 1] = shorter;
        EXPECT_EQ(panic_text([&] { BitStreamTensor::bundle(v); }),
                  "index out of bounds: the len is 1 but the index is 1")
            << n;
    }
}

TEST(BitstreamBundle, WordwiseFormsMatchBitCounting) {
    // Every member count from 1 to 9 and odd lengths (partial last words, whose tail bits are
    // counted too); every tier the processor offers.
    for (Tier tier : {Tier::Portable, Tier::Avx2, Tier::Avx512}) {
        if (!tier_available(tier)) continue;
        simd::testing::ScopedTier forced(tier);
        for (std::size_t n = 1; n <= 9; ++n)
            for (std::size_t L : {1u, 63u, 65u, 150u, 333u, 641u}) {
                const std::size_t nw = (L + 63) / 64;
                std::vector<BitStreamTensor> v;
                for (std::size_t m = 0; m < n; ++m) v.push_back(words(random_words(nw, 10 * n + m + L), L));
                const BitStreamTensor r = BitStreamTensor::bundle(v);
                ASSERT_EQ(r.data.size(), nw);
                EXPECT_EQ(r.length, L);
                for (std::size_t k = 0; k < nw; ++k)
                    for (int j = 0; j < 64; ++j) {
                        std::size_t count = 0;
                        for (const auto& t : v) count += (t.data[k] >> j) & 1;
                        EXPECT_EQ((r.data[k] >> j) & 1, count > n / 2 ? 1u : 0u)
                            << tier_label(tier) << " " << n << " " << L << " " << k << " " << j;
                    }
            }
    }
}

TEST(BitstreamTensorOps, XorHammingAndPopcount) {
    const BitStreamTensor t = BitStreamTensor::random(1000, 3);
    const BitStreamTensor z = t.xor_with(t);
    EXPECT_EQ(z.length, 1000u);
    EXPECT_EQ(z.popcount(), 0u);
    EXPECT_EQ(t.hamming_distance(t), 0.0);

    // Words from outside keep bits above the length, and they count.
    const BitStreamTensor ff = words({255}, 4), zero = words({0}, 4);
    EXPECT_EQ(ff.popcount(), 8u);
    EXPECT_EQ(ff.hamming_distance(zero), 2.0);

    // Over the smaller word count; the length is the left operand's.
    BitStreamTensor a = words({0b1100, 0xFF}, 70);
    const BitStreamTensor b = words({0b1010}, 70);
    EXPECT_EQ(a.xor_with(b).data, std::vector<uint64_t>{0b0110});
    a.xor_inplace(b);
    EXPECT_EQ(a.data, (std::vector<uint64_t>{0b0110, 0xFF}));

    const BitStreamTensor other = words({0}, 5);
    const std::string x = panic_text([&] { t.xor_with(other); });
    EXPECT_NE(x.find("Bitstream lengths must match for XOR."), std::string::npos) << x;
    EXPECT_NE(x.find("1000"), std::string::npos) << x;
    EXPECT_NE(x.find("5"), std::string::npos) << x;
    BitStreamTensor m = words({0}, 4);
    EXPECT_NE(panic_text([&] { m.xor_inplace(other); }).find("Bitstream lengths must match for XOR."),
              std::string::npos);
    EXPECT_NE(panic_text([&] { t.hamming_distance(other); }).find("Bitstream lengths must match for Hamming distance."),
              std::string::npos);
}

TEST(BitstreamTensorOps, RandomHypervectorIsTheHalfProbabilityFloatForm) {
    const BitStreamTensor t = BitStreamTensor::random(64, 1);
    rng::Xoshiro256pp g(1);
    uint64_t expected = 0;
    for (int j = 0; j < 64; ++j) expected |= uint64_t{0.5 > g.next_f64()} << j;
    EXPECT_EQ(t.data, std::vector<uint64_t>{expected});
    EXPECT_EQ(t.length, 64u);
    EXPECT_EQ(BitStreamTensor::random(64, 1).data, t.data);
    const BitStreamTensor big = BitStreamTensor::random(10000, 44257);
    EXPECT_NEAR(static_cast<double>(big.popcount()), 5000.0, 300.0);
    EXPECT_EQ(panic_text([] { BitStreamTensor::random(0, 1); }), "bitstream length must be > 0");
}

}  // namespace
