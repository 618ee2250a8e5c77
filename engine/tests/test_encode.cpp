#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "bitcore_util.hpp"
#include "bitstream.hpp"
#include "error.hpp"
#include "simd/kernels.hpp"

namespace {

using namespace bitcore_test;

const double kNan = std::numeric_limits<double>::quiet_NaN();

// Float form written out plainly: one uniform per bit, bit = p > u with p clamped.
template <class G>
std::vector<uint64_t> float_form_ref(double p, std::size_t length, G& g) {
    if (p < 0) p = 0;
    if (p > 1) p = 1;
    std::vector<uint64_t> w((length + 63) / 64, 0);
    for (std::size_t i = 0; i < length; ++i)
        if (p > g.next_f64()) w[i / 64] |= 1ull << (i % 64);
    return w;
}

uint8_t threshold_ref(double p) {
    if (std::isnan(p)) return 0;
    double q = std::min(std::max(p, 0.0), 1.0) * 256.0;
    q = std::min(std::max(q, 0.0), 255.0);
    return static_cast<uint8_t>(std::trunc(q));
}

// Byte form written out plainly.
template <class G>
std::vector<uint64_t> byte_form_ref(double p, std::size_t length, G& g) {
    const std::size_t full = length / 64, rest = length % 64;
    std::vector<uint64_t> w(full + (rest > 0), 0);
    if (p >= 1) {
        for (std::size_t i = 0; i < length; ++i) w[i / 64] |= 1ull << (i % 64);
        return w;
    }
    const uint8_t t = threshold_ref(p);
    uint8_t buf[64];
    for (std::size_t k = 0; k < full; ++k) {
        g.fill_bytes(buf, 64);
        for (int j = 0; j < 64; ++j)
            if (buf[j] < t) w[k] |= 1ull << j;
    }
    if (rest) {
        g.fill_bytes(buf, rest);
        for (std::size_t j = 0; j < rest; ++j)
            if (buf[j] < t) w[full] |= 1ull << j;
    }
    return w;
}

const double kProbs[] = {0.0, -0.0, -0.5, 0.3, 0.5, 0.99, 255.0 / 256.0, 0.999999, 1.0, 2.0, 1e-300, 5e-324,
                         0x1p-53, 3 * 0x1p-54, 1.0 - 0x1p-53, kNan};

// ---------------------------------------------------------------- float form

TEST(EncodeFloatForm, MatchesPlainFloatCompareOnBothGenerators) {
    for (std::size_t length : {0u, 1u, 63u, 64u, 65u, 130u, 1000u}) {
        for (double p : kProbs) {
            rng::Xoshiro256pp x(length + 1), xr(length + 1);
            EXPECT_EQ(bitstream::bernoulli_packed(p, length, x), float_form_ref(p, length, xr)) << p << " " << length;
            EXPECT_EQ(x.next_u64(), xr.next_u64()) << "one draw per bit";
            rng::ChaCha8 c(length + 2), cr(length + 2);
            EXPECT_EQ(bitstream::bernoulli_packed(p, length, c), float_form_ref(p, length, cr)) << p << " " << length;
            EXPECT_EQ(c.next_u32(), cr.next_u32()) << "one draw per bit";
        }
    }
}

// The integer form of p > u is exact at the boundaries: p equal to the draw, one step above it
// and one step below.
TEST(EncodeFloatForm, IntegerCompareIsExactAtTheDrawnValue) {
    for (uint64_t seed = 0; seed < 2000; ++seed) {
        rng::Xoshiro256pp peek(seed);
        const double u = peek.next_f64();
        for (double p : {u, std::nextafter(u, 2.0), std::nextafter(u, -1.0), u + 0x1p-53, u - 0x1p-53}) {
            rng::Xoshiro256pp g(seed);
            const std::vector<uint64_t> w = bitstream::bernoulli_packed(p, 1, g);
            EXPECT_EQ(w[0], (p > u) ? 1u : 0u) << seed << " " << p << " " << u;
        }
    }
}

TEST(EncodeFloatForm, StatedCases) {
    rng::Xoshiro256pp g(9), twin(9);
    const std::vector<uint64_t> w = bitstream::bernoulli_packed(0.7, 65, g);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1] >> 1, 0u);
    for (int i = 0; i < 65; ++i) twin.next_u64();
    EXPECT_EQ(g.next_u64(), twin.next_u64());
    EXPECT_EQ(bitstream::bernoulli_packed(-0.5, 65, g), (std::vector<uint64_t>{0, 0}));
    EXPECT_EQ(bitstream::bernoulli_packed(2.0, 65, g), (std::vector<uint64_t>{~0ull, 1}));
    EXPECT_EQ(bitstream::bernoulli_packed(kNan, 65, g), (std::vector<uint64_t>{0, 0}));
    rng::Xoshiro256pp h(5), h2(5);
    EXPECT_TRUE(bitstream::bernoulli_packed(0.5, 0, h).empty());
    EXPECT_EQ(h.next_u64(), h2.next_u64());
}

TEST(EncodeFloatForm, IntoChecksTheOutputSize) {
    rng::Xoshiro256pp g(1);
    std::vector<uint64_t> out(2);
    bitstream::bernoulli_packed_into(1.0, 100, g, out);
    EXPECT_EQ(out, (std::vector<uint64_t>{~0ull, (1ull << 36) - 1}));
    std::vector<uint64_t> small(1);
    EXPECT_THROW(bitstream::bernoulli_packed_into(0.5, 100, g, small), engine::Panic);
    EXPECT_THROW(bitstream::bernoulli_packed_simd_into(0.5, 100, g, small), engine::Panic);
}

// ---------------------------------------------------------------- byte form

TEST(EncodeThreshold, ClampsAndTruncates) {
    struct Case {
        double p;
        unsigned t;
    };
    const Case cases[] = {{0.0, 0},     {-1.0, 0},  {kNan, 0},      {1e-300, 0},   {1.0 / 256, 1},
                          {0.3, 76},    {0.5, 128}, {0.99, 253},    {255.0 / 256, 255},
                          {0.999999, 255}, {std::nextafter(1.0, 0.0), 255}, {1.0, 255}, {7.0, 255},
                          {std::numeric_limits<double>::infinity(), 255},
                          {-std::numeric_limits<double>::infinity(), 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(bitstream::byte_threshold(c.p), c.t) << c.p;
        EXPECT_EQ(threshold_ref(c.p), c.t) << c.p;
    }
}

TEST(EncodeByteForm, StatedCases) {
    rng::Xoshiro256pp x(3), xt(3);
    EXPECT_EQ(bitstream::bernoulli_packed_simd(1.0, 100, x), (std::vector<uint64_t>{~0ull, 0x0000000FFFFFFFFFull}));
    EXPECT_EQ(bitstream::bernoulli_packed_simd(1.5, 64, x), std::vector<uint64_t>{~0ull});
    EXPECT_EQ(x.next_u64(), xt.next_u64()) << "p >= 1 draws nothing";

    // 70 bits draw 64 + 6 bytes: 8 + 1 xoshiro outputs, 16 + 2 ChaCha words.
    rng::Xoshiro256pp x2(4), x2t(4);
    bitstream::bernoulli_packed_simd(0.5, 70, x2);
    for (int i = 0; i < 9; ++i) x2t.next_u64();
    EXPECT_EQ(x2.next_u64(), x2t.next_u64());
    rng::ChaCha8 c(4), ct(4);
    bitstream::bernoulli_packed_simd(0.5, 70, c);
    for (int i = 0; i < 18; ++i) ct.next_u32();
    EXPECT_EQ(c.next_u32(), ct.next_u32());

    // p = 0 gives nothing, after the draws.
    rng::Xoshiro256pp z(5), zt(5);
    EXPECT_EQ(bitstream::bernoulli_packed_simd(0.0, 128, z), (std::vector<uint64_t>{0, 0}));
    for (int i = 0; i < 16; ++i) zt.next_u64();
    EXPECT_EQ(z.next_u64(), zt.next_u64());
}

class EncodeTiers : public TierTest {};

TEST_P(EncodeTiers, ByteFormMatchesPlainCompareOnBothGenerators) {
    for (std::size_t length = 0; length <= 200; ++length) {
        for (double p : kProbs) {
            rng::Xoshiro256pp x(length), xr(length);
            ASSERT_EQ(bitstream::bernoulli_packed_simd(p, length, x), byte_form_ref(p, length, xr))
                << p << " " << length;
            ASSERT_EQ(x.next_u64(), xr.next_u64()) << p << " " << length;
            rng::ChaCha8 c(length), cr(length);
            ASSERT_EQ(bitstream::bernoulli_packed_simd(p, length, c), byte_form_ref(p, length, cr))
                << p << " " << length;
            ASSERT_EQ(c.next_u32(), cr.next_u32()) << p << " " << length;
        }
    }
}

TEST_P(EncodeTiers, FusedCountEqualsCountOfTheAnd) {
    for (std::size_t length = 1; length <= 200; ++length) {
        // Weights with set bits past the length: they must never count.
        const std::vector<uint64_t> weights = random_words((length + 63) / 64, 1000 + length);
        for (double p : {0.0, 0.3, 0.99, 1.0, 2.0, -1.0, kNan}) {
            rng::Xoshiro256pp g(length * 7), twin(length * 7);
            const uint64_t got = bitstream::encode_and_popcount(weights, length, g, p);
            const std::vector<uint64_t> enc = bitstream::bernoulli_packed_simd(p, length, twin);
            uint64_t want = 0;
            for (std::size_t k = 0; k < weights.size(); ++k) {
                const uint64_t both = weights[k] & enc[k];
                want += naive_popcount(std::span(&both, 1));
            }
            ASSERT_EQ(got, want) << length << " " << p;
            ASSERT_EQ(g.next_u64(), twin.next_u64()) << "generator state, " << length << " " << p;
        }
    }
}

TEST_P(EncodeTiers, FusedCountUsesOnlyExistingWeightWords) {
    const std::size_t length = 200;  // three full words and 8 bits
    for (std::size_t nw = 0; nw <= 5; ++nw) {
        std::vector<uint64_t> weights = random_words(nw, 77);
        for (double p : {0.4, 1.0}) {
            rng::Xoshiro256pp g(8), twin(8);
            const uint64_t got = bitstream::encode_and_popcount(weights, length, g, p);
            const std::size_t full = std::min<std::size_t>(nw, 3);
            const bool partial = nw > 3;
            uint64_t want = 0;
            if (p >= 1) {
                for (std::size_t k = 0; k < full; ++k) want += __builtin_popcountll(weights[k]);
                if (partial) want += __builtin_popcountll(weights[3] & 0xFF);
            } else {
                // Only the existing words are drawn: whole ones as 64 bytes, the partial as 8.
                const std::vector<uint64_t> enc =
                    bitstream::bernoulli_packed_simd(p, 64 * full + (partial ? 8 : 0), twin);
                for (std::size_t k = 0; k < enc.size(); ++k) want += __builtin_popcountll(weights[k] & enc[k]);
            }
            EXPECT_EQ(got, want) << nw << " " << p;
            EXPECT_EQ(g.next_u64(), twin.next_u64()) << nw << " " << p;
        }
    }
}

// The ChaCha8 form compares eight draws at a time from the generator's buffer: every buffer
// position a stream can start at (odd ones and those whose draws straddle a refill included).
TEST_P(EncodeTiers, FloatFormOnChaChaMatchesPlainCompareAtEveryBufferPosition) {
    for (unsigned skip = 0; skip < 64; ++skip) {
        for (std::size_t length : {1u, 63u, 64u, 65u, 128u, 200u, 1024u}) {
            for (double p : {0.0, 0.3, 0.5, 1.0 - 0x1p-53, 1.0, kNan}) {
                rng::ChaCha8 c(skip + 5), cr(skip + 5);
                for (unsigned i = 0; i < skip; ++i) {
                    c.next_u32();
                    cr.next_u32();
                }
                ASSERT_EQ(bitstream::bernoulli_packed(p, length, c), float_form_ref(p, length, cr))
                    << skip << " " << length << " " << p;
                ASSERT_EQ(c.next_u32(), cr.next_u32()) << skip << " " << length << " " << p;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Encode, EncodeTiers, kAllTiers, TierName());

// ---------------------------------------------------------------- matrix encoder

TEST(EncodeMatrix, FirstRowsTimesColsValuesResizedPerRow) {
    const std::vector<double> probs = {0.1, 0.9, 0.5, 1.0, 0.0, 0.7};
    struct Case {
        std::size_t rows, cols, length, words_per_row, encoded;
    };
    const Case cases[] = {
        {2, 2, 130, 3, 4},             // exact word count
        {2, 2, 130, 1, 4},             // cut
        {3, 1, 100, 5, 3},             // padded with zero words
        {4, 4, 64, 1, 6},              // more cells than values
        {0, 5, 64, 1, 0},              // no cells
        {SIZE_MAX, SIZE_MAX, 10, 1, 6} // a product past the machine size is "more than there are"
    };
    for (const Case& c : cases) {
        rng::ChaCha8 g(24301), twin(24301);
        const auto out = bitstream::encode_matrix_prob_to_packed(probs, c.rows, c.cols, c.length, c.words_per_row, g);
        ASSERT_EQ(out.size(), c.encoded);
        for (std::size_t i = 0; i < c.encoded; ++i) {
            std::vector<uint64_t> want = float_form_ref(probs[i], c.length, twin);
            want.resize(c.words_per_row, 0);
            EXPECT_EQ(out[i], want) << i;
        }
        EXPECT_EQ(g.next_u32(), twin.next_u32()) << "values past rows * cols are not drawn";
    }
}

}  // namespace
