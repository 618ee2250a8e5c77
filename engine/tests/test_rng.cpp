#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "bitcore_util.hpp"
#include "rng.hpp"

namespace {

TEST(RngXoshiro, SplitMixSeedZeroGivesPublishedStateWords) {
    const rng::Xoshiro256pp g(0);
    EXPECT_EQ(g.s[0], 0xE220A8397B1DCDAFull);
    EXPECT_EQ(g.s[1], 0x6E789E6AA1B965F4ull);
    EXPECT_EQ(g.s[2], 0x06C45D188009454Full);
    EXPECT_EQ(g.s[3], 0xF88BB8A8724C81ECull);
}

TEST(RngXoshiro, PublishedOutputsFromSmallState) {
    // Reference outputs of xoshiro256++ started from the state {1, 2, 3, 4}.
    rng::Xoshiro256pp g(1, 2, 3, 4);
    const uint64_t expected[] = {41943041ull,           58720359ull,           3588806011781223ull,
                                 3591011842654386ull,   9228616714210784205ull, 9973669472204895162ull,
                                 14011001112246962877ull, 12406186145184390807ull,
                                 15849039046786891736ull, 10450023813501588000ull};
    for (uint64_t e : expected) EXPECT_EQ(g.next_u64(), e);
}

TEST(RngXoshiro, EqualSeedsEqualSequences) {
    rng::Xoshiro256pp a(44257), b(44257), c(44258);
    bool differs = false;
    for (int i = 0; i < 100; ++i) {
        const uint64_t x = a.next_u64();
        EXPECT_EQ(x, b.next_u64());
        differs |= x != c.next_u64();
    }
    EXPECT_TRUE(differs);
}

// The 64 bytes of ChaCha8 blocks 0 and 1 under the all-zero key and nonce (published vectors):
// they pin the constants, the round count and the place of the block counter.
TEST(RngChaCha, BlockKnownAnswerZeroKey) {
    const uint8_t expected[2][64] = {
        {0x3e, 0x00, 0xef, 0x2f, 0x89, 0x5f, 0x40, 0xd6, 0x7f, 0x5b, 0xb8, 0xe8, 0x1f, 0x09, 0xa5, 0xa1,
         0x2c, 0x84, 0x0e, 0xc3, 0xce, 0x9a, 0x7f, 0x3b, 0x18, 0x1b, 0xe1, 0x88, 0xef, 0x71, 0x1a, 0x1e,
         0x98, 0x4c, 0xe1, 0x72, 0xb9, 0x21, 0x6f, 0x41, 0x9f, 0x44, 0x53, 0x67, 0x45, 0x6d, 0x56, 0x19,
         0x31, 0x4a, 0x42, 0xa3, 0xda, 0x86, 0xb0, 0x01, 0x38, 0x7b, 0xfd, 0xb8, 0x0e, 0x0c, 0xfe, 0x42},
        {0xd2, 0xae, 0xfa, 0x0d, 0xea, 0xa5, 0xc1, 0x51, 0xbf, 0x0a, 0xdb, 0x6c, 0x01, 0xf2, 0xa5, 0xad,
         0xc0, 0xfd, 0x58, 0x12, 0x59, 0xf9, 0xa2, 0xaa, 0xdc, 0xf2, 0x0f, 0x8f, 0xd5, 0x66, 0xa2, 0x6b,
         0x50, 0x32, 0xec, 0x38, 0xbb, 0xc5, 0xda, 0x98, 0xee, 0x0c, 0x6f, 0x56, 0x8b, 0x87, 0x2a, 0x65,
         0xa0, 0x8a, 0xbf, 0x25, 0x1d, 0xeb, 0x21, 0xbb, 0x4b, 0x56, 0xe5, 0xd8, 0x82, 0x1e, 0x68, 0xaa}};
    const uint32_t key[8] = {};
    for (uint64_t ctr = 0; ctr < 2; ++ctr) {
        uint32_t out[16];
        rng::ChaCha8::block(key, ctr, out);
        uint8_t bytes[64];
        std::memcpy(bytes, out, 64);
        for (int i = 0; i < 64; ++i) EXPECT_EQ(bytes[i], expected[ctr][i]) << "block " << ctr << " byte " << i;
    }
}

// Key words from a 64-bit seed by the PCG32 expansion, written out independently.
std::vector<uint32_t> pcg32_key(uint64_t x) {
    std::vector<uint32_t> key(8);
    for (auto& k : key) {
        x = x * 6364136223846793005ull + 11634580027462260723ull;
        const uint32_t w = static_cast<uint32_t>(((x >> 18) ^ x) >> 27);
        k = std::rotr(w, static_cast<int>(x >> 59));
    }
    return key;
}

TEST(RngChaCha, SeededDrawsAreConsecutiveBlocks) {
    for (uint64_t seed : {0ull, 44257ull, 24301ull, ~0ull}) {
        rng::ChaCha8 g(seed);
        const std::vector<uint32_t> key = pcg32_key(seed);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(g.key[i], key[i]) << seed;
        // Eight blocks: two refills of four, counters 0..7 in order.
        for (uint64_t ctr = 0; ctr < 8; ++ctr) {
            uint32_t block[16];
            rng::ChaCha8::block(key.data(), ctr, block);
            for (int i = 0; i < 16; ++i) ASSERT_EQ(g.next_u32(), block[i]) << seed << " " << ctr << " " << i;
        }
    }
}

// Word i of the stream of seed 44257, for comparisons against the 64-bit and byte draws.
std::vector<uint32_t> stream_words(uint64_t seed, std::size_t n) {
    rng::ChaCha8 g(seed);
    std::vector<uint32_t> w(n);
    for (auto& x : w) x = g.next_u32();
    return w;
}

TEST(RngChaCha, U64DrawsPairWordsAcrossRefills) {
    const std::vector<uint32_t> w = stream_words(44257, 200);
    auto pair = [&](std::size_t i) { return uint64_t{w[i]} | (uint64_t{w[i + 1]} << 32); };
    struct Case {
        std::size_t singles;  // single-word draws first
        std::size_t first;    // index of the low word of the next 64-bit draw
    };
    // 0: empty buffer; 62: the last whole pair; 63: low word 63, refill, high word 0; 64: refill.
    for (Case c : {Case{0, 0}, Case{1, 1}, Case{62, 62}, Case{63, 63}, Case{64, 64}, Case{127, 127}}) {
        rng::ChaCha8 g(44257);
        for (std::size_t i = 0; i < c.singles; ++i) g.next_u32();
        EXPECT_EQ(g.next_u64(), pair(c.first)) << c.singles;
        // The draw after it continues right behind the two words.
        EXPECT_EQ(g.next_u32(), w[c.first + 2]) << c.singles;
    }
    rng::ChaCha8 g(44257);
    for (std::size_t i = 0; i < 64; i += 2) EXPECT_EQ(g.next_u64(), pair(i));
}

TEST(RngFillBytes, XoshiroGroupsOfEightAndOneMoreDrawForARemainder) {
    for (std::size_t n : {0u, 1u, 8u, 13u, 70u}) {
        rng::Xoshiro256pp g(7), twin(7);
        std::vector<uint8_t> got(n + 1, 0xAA);
        g.fill_bytes(got.data(), n);
        std::vector<uint8_t> expected;
        for (std::size_t d = 0; d < (n + 7) / 8; ++d) {
            const uint64_t v = twin.next_u64();
            for (int b = 0; b < 8; ++b) expected.push_back(static_cast<uint8_t>(v >> (8 * b)));
        }
        expected.resize(n);
        expected.push_back(0xAA);  // nothing written past n
        EXPECT_EQ(got, expected) << n;
        EXPECT_EQ(g.next_u64(), twin.next_u64()) << "draws consumed for " << n;
    }
}

TEST(RngFillBytes, ChaChaWholeWordsAndOneMoreWordForARemainder) {
    const std::vector<uint32_t> w = stream_words(44257, 200);
    // Fills from the empty buffer and from positions that make the fill span a refill.
    for (std::size_t start : {0u, 1u, 60u, 63u}) {
        for (std::size_t n : {0u, 1u, 8u, 13u, 70u}) {
            rng::ChaCha8 g(44257);
            for (std::size_t i = 0; i < start; ++i) g.next_u32();
            std::vector<uint8_t> got(n + 1, 0xAA);
            g.fill_bytes(got.data(), n);
            std::vector<uint8_t> expected;
            const std::size_t words = (n + 3) / 4;
            for (std::size_t d = 0; d < words; ++d)
                for (int b = 0; b < 4; ++b) expected.push_back(static_cast<uint8_t>(w[start + d] >> (8 * b)));
            expected.resize(n);
            expected.push_back(0xAA);
            EXPECT_EQ(got, expected) << start << " " << n;
            EXPECT_EQ(g.next_u32(), w[start + words]) << "words consumed for " << start << " " << n;
        }
    }
}

TEST(RngUniform, FiftyThreeBitsInUnitInterval) {
    EXPECT_EQ(rng::unit_f64(0), 0.0);
    EXPECT_EQ(rng::unit_f64(~0ull), 1.0 - 0x1p-53);
    EXPECT_EQ(rng::unit_f64(0x7FFull), 0.0);  // the low 11 bits never count
    EXPECT_EQ(rng::unit_f64(1ull << 11), 0x1p-53);
    rng::Xoshiro256pp x(3), xt(3);
    rng::ChaCha8 c(3), ct(3);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(x.next_f64(), rng::unit_f64(xt.next_u64()));
        EXPECT_EQ(c.next_f64(), rng::unit_f64(ct.next_u64()));
    }
}

}  // namespace

class ChaChaTiers : public bitcore_test::TierTest {};

// Each tier's refill against the single-block function, with counters that carry into the
// high word and wrap around.
TEST_P(ChaChaTiers, FourBlockRefillEqualsSingleBlocks) {
    for (uint64_t seed : {0ull, 1ull, 44257ull, 0xFFFFFFFFFFFFFFFFull}) {
        const rng::ChaCha8 g(seed);
        for (uint64_t ctr : {0ull, 4ull, 1000ull, 0xFFFFFFFEull, 0xFFFFFFFFFFFFFFFCull, 0xFFFFFFFFFFFFFFFEull}) {
            uint32_t four[64], one[16];
            rng::ChaCha8::four_blocks(g.key, ctr, four);
            for (int b = 0; b < 4; ++b) {
                rng::ChaCha8::block(g.key, ctr + static_cast<uint64_t>(b), one);
                for (int i = 0; i < 16; ++i) ASSERT_EQ(four[16 * b + i], one[i]) << seed << " " << ctr << " " << b;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rng, ChaChaTiers, bitcore_test::kAllTiers, bitcore_test::TierName());

TEST(RngChaCha, SeekMatchesSequentialDraws) {
    for (uint64_t k : {0ull, 1ull, 63ull, 64ull, 65ull, 1000ull}) {
        rng::ChaCha8 a(9), b(9);
        for (uint64_t i = 0; i < k; ++i) a.next_u32();
        b.seek_words(k);
        for (int i = 0; i < 70; ++i) ASSERT_EQ(a.next_u32(), b.next_u32()) << k;
    }
}
