// Internals of the graph and attention layers: the row kernels on every tier, the
// keystream positions of the parallel stream encoder, and the checks that Python input cannot
// reach (direct records, data lengths).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "attention.hpp"
#include "bitcore_util.hpp"
#include "bitstream.hpp"
#include "error.hpp"
#include "graph.hpp"
#include "panic_text.hpp"
#include "simd/kernels.hpp"
#include "stream_matrix.hpp"

namespace {

using namespace bitcore_test;

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

void combine_tier(Tier t, const simd::RowSums& s) {
    switch (t) {
        case Tier::Portable: return simd::portable::combine_rows_f64(s);
        case Tier::Avx2: return simd::avx2::combine_rows_f64_avx2(s);
        case Tier::Avx512: return simd::avx512::combine_rows_f64_avx512(s);
    }
}

bool same_words(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

class CombineTiers : public TierTest {};

// Every width through the column blocks and masked tails, single rows and blocks of eight
// output rows, with and without an index, the last matrix row ending at a guard page.
TEST_P(CombineTiers, EqualsThePlainLoopBitForBit) {
    GuardedBuffer guard;
    for (std::size_t width = 0; width <= 70; ++width) {
        for (std::size_t terms : {0u, 1u, 3u, 6u}) {
            const std::size_t rows = 7, stride = width + 3;
            std::vector<double> m(rows * stride - 3);
            rng::Xoshiro256pp g(width * 10 + terms);
            for (double& v : m) v = (g.next_f64() - 0.5) * std::ldexp(1.0, static_cast<int>(g.next_u64() % 30) - 15);
            if (width > 2) {
                m[2] = kInf;
                m[stride + 1] = kNan;
                m[2 * stride] = -0.0;
            }
            const std::span<double> mat = guard.tail<double>(m);
            std::vector<std::size_t> index(terms);
            for (std::size_t k = 0; k < terms; ++k) index[k] = (k * 5 + 6) % rows;  // the last row comes first
            for (std::size_t n_out : {1u, 3u, 8u, 11u}) {
                std::vector<double> coef(n_out * terms);
                for (std::size_t k = 0; k < coef.size(); ++k) coef[k] = k % 4 == 1 ? 0.0 : (g.next_f64() - 0.5) * 4.0;
                for (const std::size_t* idx : {static_cast<const std::size_t*>(nullptr),
                                               static_cast<const std::size_t*>(index.data())}) {
                    std::vector<double> want(n_out * width, 0.0);
                    for (std::size_t r = 0; r < n_out; ++r)
                        for (std::size_t k = 0; k < terms; ++k)
                            for (std::size_t c = 0; c < width; ++c)
                                want[r * width + c] = want[r * width + c] +
                                                      coef[r * terms + k] * mat[(idx ? idx[k] : k) * stride + c];
                    std::vector<double> got(n_out * width, 7.0);
                    combine_tier(GetParam(), {got.data(), width, n_out, coef.data(), terms, idx, mat.data(), stride});
                    ASSERT_TRUE(same_words(got, want)) << width << " " << terms << " " << n_out << " " << (idx != nullptr);
                }
            }
        }
    }
}

// Dot products of several vectors with many rows: each equals the tier's single dot product,
// for every length through the lane groups and tails, vector counts through the pairs and row
// counts through the groups of 8 and 16.
TEST_P(CombineTiers, DotRowsEqualTheTiersSingleDot) {
    const Tier t = GetParam();
    for (std::size_t len = 0; len <= 40; ++len) {
        for (std::size_t m : {1u, 2u, 3u}) {
            for (std::size_t rows : {0u, 1u, 7u, 8u, 9u, 17u, 25u}) {
                const std::size_t stride = len + 1, a_stride = len + 2, out_stride = rows + 3;
                rng::Xoshiro256pp g(len * 31 + rows + m);
                std::vector<double> a(m * a_stride), mat(rows * stride), got(m * out_stride, 7.0);
                for (double& v : a) v = (g.next_f64() - 0.5) * std::ldexp(1.0, static_cast<int>(g.next_u64() % 20) - 10);
                for (double& v : mat) v = (g.next_f64() - 0.5) * std::ldexp(1.0, static_cast<int>(g.next_u64() % 20) - 10);
                const simd::RowDots d{a.data(), a_stride, m, len, mat.data(), stride, rows, got.data(), out_stride};
                switch (t) {
                    case Tier::Portable: simd::portable::dot_rows_f64(d); break;
                    case Tier::Avx2: simd::avx2::dot_rows_f64_avx2(d); break;
                    case Tier::Avx512: simd::avx512::dot_rows_f64_avx512(d); break;
                }
                for (std::size_t i = 0; i < m; ++i)
                    for (std::size_t j = 0; j < rows; ++j) {
                        const std::span<const double> x(a.data() + i * a_stride, len), y(mat.data() + j * stride, len);
                        const double want = t == Tier::Portable ? simd::portable::dot_f64(x, y)
                                            : t == Tier::Avx2   ? simd::avx2::dot_f64_avx2(x, y)
                                                                : simd::avx512::dot_f64_avx512(x, y);
                        ASSERT_EQ(std::memcmp(&got[i * out_stride + j], &want, sizeof want), 0)
                            << len << " " << m << " " << rows << " " << i << " " << j;
                    }
            }
        }
    }
}

TEST_P(CombineTiers, DivisionIsPlainDivision) {
    for (std::size_t n = 0; n <= 19; ++n) {
        for (double d : {3.0, -0.0, kInf, kNan, 1e-310}) {
            std::vector<double> v(n), want(n);
            for (std::size_t i = 0; i < n; ++i) v[i] = i % 5 == 4 ? kInf : (static_cast<double>(i) - 6.5) / 7.0;
            for (std::size_t i = 0; i < n; ++i) want[i] = v[i] / d;
            switch (GetParam()) {
                case Tier::Portable: simd::portable::divide_f64(v, d); break;
                case Tier::Avx2: simd::avx2::divide_f64_avx2(v, d); break;
                case Tier::Avx512: simd::avx512::divide_f64_avx512(v, d); break;
            }
            ASSERT_TRUE(same_words(v, want)) << n << " " << d;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Combine, CombineTiers, kAllTiers, TierName());

// Encodings of several matrices, some large enough to be split over the pool, equal the same
// encodings drawn one after another from one generator.
TEST(StreamMatrix, KeystreamPositionsEqualSequentialDrawing) {
    for (std::size_t length : {1u, 64u, 70u, 1000u}) {
        const std::vector<std::pair<std::size_t, std::size_t>> shapes = {{3, 2}, {40, 70}, {1, 5}, {70, 40}};
        stream_matrix::Keystream keys(99, length);
        rng::ChaCha8 g(99);
        for (std::size_t s = 0; s < shapes.size(); ++s) {
            const auto [rows, cols] = shapes[s];
            std::vector<double> values(rows * cols);
            rng::Xoshiro256pp vg(s + length);
            for (double& v : values) v = vg.next_f64() * 1.4 - 0.2;
            const auto layout = s % 2 ? stream_matrix::Layout::ColumnMajor : stream_matrix::Layout::RowMajor;
            const stream_matrix::Streams got = keys.encode(values, rows, cols, layout);
            const std::size_t words = engine::ceil_div(length, 64);
            const auto want = bitstream::encode_matrix_prob_to_packed(values, rows, cols, length, words, g);
            ASSERT_EQ(got.words.size(), values.size() * words);
            for (std::size_t r = 0; r < rows; ++r)
                for (std::size_t c = 0; c < cols; ++c) {
                    const std::size_t slot = layout == stream_matrix::Layout::RowMajor ? r * cols + c : c * rows + r;
                    const auto run = got.run(slot, 1);
                    ASSERT_EQ(std::vector<uint64_t>(run.begin(), run.end()), want[r * cols + c])
                        << length << " " << s << " " << r << " " << c;
                }
        }
    }
}

TEST(GraphChecks, DirectRecordsStopOnLengthsAndIndices) {
    EXPECT_EQ(panic_text([] { graph::StochasticGraphLayer::make({1.0, 2.0, 3.0}, 2, 1, 0); }),
              "assertion `left == right` failed: adj_flat must have length n_nodes * n_nodes\n  left: 3\n right: 4");
    EXPECT_EQ(panic_text([] { graph::StochasticGraphLayer::from_dense_auto({1.0}, 2, 1, 0, 0.3); }),
              "assertion `left == right` failed: adj_flat must have length n_nodes * n_nodes\n  left: 1\n right: 4");
    // A record built without the length checks: too few offsets, and fewer values than indices.
    graph::CsrMatrix short_offsets{{0, 1}, {0}, {1.0}, 2, 2};
    EXPECT_EQ(panic_text([&] { graph::StochasticGraphLayer::new_sparse(short_offsets, 1, 0); }),
              "index out of bounds: the len is 2 but the index is 2");
    graph::CsrMatrix fewer_values{{0, 1, 2}, {0, 1}, {1.0, 1.0}, 2, 2};
    graph::StochasticGraphLayer l = graph::StochasticGraphLayer::new_sparse(fewer_values, 1, 0);
    std::get<graph::CsrMatrix>(l.adj).values.pop_back();
    const std::vector<double> x = {0.5, 0.5};
    EXPECT_EQ(panic_text([&] { l.forward(x); }), "index out of bounds: the len is 1 but the index is 1");
    EXPECT_EQ(panic_text([&] { l.forward_sc(x, 8, 1); }), "index out of bounds: the len is 1 but the index is 1");
    try {
        graph::StochasticGraphLayer::new_sparse(graph::CsrMatrix{{0, 0}, {}, {}, 1, 2}, 1, 0);
        FAIL();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "CSR must be square, got 1x2");
    }
    try {
        l.forward(std::vector<double>(3));
        FAIL();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "node_features length mismatch: got 3, expected 2.");
    }
}

TEST(AttentionChecks, DataLengthsInOrder) {
    const std::vector<double> four(4), three(3);
    using attention::MatrixRef;
    struct Case {
        MatrixRef q, k, v;
        const char* text;
    };
    const Case cases[] = {
        {{three, 2, 2}, {three, 2, 2}, {three, 2, 2}, "Q data length mismatch: got 3, expected 4."},
        {{four, 2, 2}, {three, 2, 2}, {three, 2, 2}, "K data length mismatch: got 3, expected 4."},
        {{four, 2, 2}, {four, 2, 2}, {three, 2, 2}, "V data length mismatch: got 3, expected 4."},
    };
    const attention::StochasticAttention a = attention::StochasticAttention::make(2, std::nullopt);
    for (const Case& c : cases) {
        for (auto form : {&attention::StochasticAttention::forward, &attention::StochasticAttention::forward_softmax}) {
            try {
                (a.*form)(c.q, c.k, c.v);
                FAIL() << c.text;
            } catch (const engine::Error& e) {
                EXPECT_STREQ(e.what(), c.text);
            }
        }
        try {
            a.forward_multihead(c.q, c.k, c.v, 2);
            FAIL() << c.text;
        } catch (const engine::Error& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
    EXPECT_EQ(a.temperature, std::sqrt(2.0));
}

}  // namespace
