#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "bitcore_util.hpp"
#include "bitstream.hpp"
#include "error.hpp"
#include "simd/features.hpp"
#include "simd/kernels.hpp"

namespace {

using namespace bitcore_test;
using simd::F64s;
using simd::Words;

// ---------------------------------------------------------------- feature cache and tier name

TEST(SimdTierName, FirstPresentFlagInPreferenceOrder) {
    using namespace simd;
    struct Case {
        uint32_t flags;
        const char* name;
    };
    const Case cases[] = {
        {kPopcnt | kAvx2 | kFma | kAvx512f | kAvx512bw | kAvx512vpopcntdq, "avx512-vpopcntdq"},
        {kAvx512f | kAvx512vpopcntdq, "avx512-vpopcntdq"},
        {kPopcnt | kAvx2 | kFma | kAvx512f | kAvx512bw, "avx512bw"},
        {kPopcnt | kAvx2 | kFma | kAvx512f, "avx512f"},
        {kPopcnt | kAvx2 | kFma, "avx2"},
        {kAvx2, "avx2"},
        {kPopcnt | kFma, "popcnt"},
        {kPopcnt, "popcnt"},
        {kFma, "portable"},
        {0, "portable"},
    };
    for (const Case& c : cases) EXPECT_STREQ(tier_name(c.flags), c.name) << c.flags;
}

TEST(SimdFeatures, CacheIsConsistentAndAgreesAcrossThreads) {
    using namespace simd;
    const uint32_t d = detected_features();
    if (d & (kAvx512bw | kAvx512vpopcntdq)) {
        EXPECT_TRUE(d & kAvx512f);
    }
    EXPECT_EQ(features(), d);
    EXPECT_STREQ(simd_tier(), tier_name(d));
    std::vector<uint32_t> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = simd::features(); });
    for (auto& t : threads) t.join();
    for (uint32_t s : seen) EXPECT_EQ(s, d);
}

TEST(SimdFeatures, ForcingOnlyLowersAndClearRestores) {
    using namespace simd;
    const uint32_t d = detected_features();
    simd::testing::force_tier(Tier::Avx2);
    EXPECT_EQ(features(), d & (kPopcnt | kAvx2 | kFma));
    if (d & kAvx2) {
        EXPECT_STREQ(simd_tier(), "avx2");
    }
    simd::testing::force_tier(Tier::Portable);
    EXPECT_EQ(features(), 0u);
    EXPECT_STREQ(simd_tier(), "portable");
    simd::testing::restrict_features(~0u);
    EXPECT_EQ(features(), d);  // never more than detected
    simd::testing::force_tier(Tier::Portable);
    simd::testing::clear_forced_tier();
    EXPECT_EQ(features(), d);
}

// ---------------------------------------------------------------- integer kernels, every tier

uint64_t tier_popcount(Tier t, Words a) {
    switch (t) {
        case Tier::Portable: return simd::portable::popcount(a);
        case Tier::Avx2: return simd::avx2::popcount_avx2(a);
        case Tier::Avx512: return simd::avx512::popcount_avx512(a);
    }
    return 0;
}
uint64_t tier_and(Tier t, Words a, Words b) {
    switch (t) {
        case Tier::Portable: return simd::portable::and_popcount(a, b);
        case Tier::Avx2: return simd::avx2::fused_and_popcount_avx2(a, b);
        case Tier::Avx512: return simd::avx512::fused_and_popcount_avx512(a, b);
    }
    return 0;
}
uint64_t tier_xor(Tier t, Words a, Words b) {
    switch (t) {
        case Tier::Portable: return simd::portable::xor_popcount(a, b);
        case Tier::Avx2: return simd::avx2::fused_xor_popcount_avx2(a, b);
        case Tier::Avx512: return simd::avx512::fused_xor_popcount_avx512(a, b);
    }
    return 0;
}
bitstream::BitStreamTensor tier_pack(Tier t, std::span<const uint8_t> bytes) {
    switch (t) {
        case Tier::Portable: return bitstream::pack_fast(bytes);
        case Tier::Avx2: return simd::avx2::pack_avx2(bytes);
        case Tier::Avx512: return simd::avx512::pack_avx512(bytes);
    }
    return {};
}
uint64_t tier_compare(Tier t, std::span<const uint8_t, 64> bytes, uint8_t th) {
    switch (t) {
        case Tier::Portable: return simd::portable::bernoulli_compare(bytes, th);
        case Tier::Avx2:
            return uint64_t{simd::avx2::bernoulli_compare_avx2(bytes.first<32>(), th)} |
                   (uint64_t{simd::avx2::bernoulli_compare_avx2(bytes.last<32>(), th)} << 32);
        case Tier::Avx512: return simd::avx512::bernoulli_compare_avx512(bytes, th);
    }
    return 0;
}

void tier_majority(Tier t, const uint64_t* const* m, std::size_t n, std::size_t words, uint64_t* out) {
    switch (t) {
        case Tier::Portable: return simd::portable::majority(m, n, words, out);
        case Tier::Avx2: return simd::avx2::majority_avx2(m, n, words, out);
        case Tier::Avx512: return simd::avx512::majority_avx512(m, n, words, out);
    }
}

class SimdCount : public TierTest {};

// Slices end right at an inaccessible page, so a read past either end of a slice would fault.
TEST_P(SimdCount, PopcountAndXorMatchNaiveForEveryLength) {
    GuardedBuffer ga, gb;
    const std::vector<uint64_t> wa = random_words(260, 11), wb = random_words(260, 12);
    for (std::size_t n = 0; n <= 200; ++n) {
        const Words a = ga.tail<uint64_t>(std::span(wa).first(n));
        EXPECT_EQ(tier_popcount(GetParam(), a), naive_popcount(a)) << n;
        EXPECT_EQ(simd::popcount_dispatch(a), naive_popcount(a)) << n;
        // Equal lengths and unequal ones on either side: only the shorter length counts.
        for (std::size_t m : {n, n + 1, n + 5, n + 60, n > 3 ? n - 3 : 0}) {
            const Words b = gb.tail<uint64_t>(std::span(wb).first(m));
            const std::size_t k = std::min(n, m);
            std::vector<uint64_t> ands(k), xors(k);
            for (std::size_t i = 0; i < k; ++i) {
                ands[i] = a[i] & b[i];
                xors[i] = a[i] ^ b[i];
            }
            const uint64_t e_and = naive_popcount(ands), e_xor = naive_popcount(xors);
            EXPECT_EQ(tier_and(GetParam(), a, b), e_and) << n << " " << m;
            EXPECT_EQ(tier_and(GetParam(), b, a), e_and) << n << " " << m;
            EXPECT_EQ(tier_xor(GetParam(), a, b), e_xor) << n << " " << m;
            EXPECT_EQ(simd::fused_and_popcount_dispatch(a, b), e_and) << n << " " << m;
            EXPECT_EQ(simd::fused_xor_popcount_dispatch(b, a), e_xor) << n << " " << m;
        }
    }
}

TEST_P(SimdCount, ExtremeWordsCountExactly) {
    // All ones over long slices stress the carry-save counters; single bits test each lane.
    for (std::size_t n : {63u, 64u, 65u, 127u, 128u, 1000u, 4099u}) {
        const std::vector<uint64_t> ones(n, ~0ull), zeros(n, 0);
        EXPECT_EQ(tier_popcount(GetParam(), ones), 64 * n);
        EXPECT_EQ(tier_and(GetParam(), ones, ones), 64 * n);
        EXPECT_EQ(tier_xor(GetParam(), ones, zeros), 64 * n);
        EXPECT_EQ(tier_xor(GetParam(), ones, ones), 0u);
        std::vector<uint64_t> sparse(n, 0);
        for (std::size_t i = 0; i < n; i += 3) sparse[i] = 1ull << (i % 64);
        EXPECT_EQ(tier_popcount(GetParam(), sparse), naive_popcount(sparse)) << n;
    }
}

TEST_P(SimdCount, PackMatchesBytewisePackForEveryLength) {
    GuardedBuffer g;
    const std::vector<uint8_t> src = random_bytes(700, 5);
    for (std::size_t n = 0; n <= 330; ++n) {
        const std::span<const uint8_t> bytes = g.tail<uint8_t>(std::span(src).first(n));
        const bitstream::BitStreamTensor ref = bitstream::pack(bytes);
        const bitstream::BitStreamTensor got = tier_pack(GetParam(), bytes);
        EXPECT_EQ(got.data, ref.data) << n;
        EXPECT_EQ(got.length, n);
        const bitstream::BitStreamTensor via = simd::pack_dispatch(bytes);
        EXPECT_EQ(via.data, ref.data) << n;
        EXPECT_EQ(via.length, n);
    }
    // Every single nonzero byte value at every position of a word.
    for (unsigned v = 1; v < 256; ++v) {
        std::vector<uint8_t> bytes(64, 0);
        bytes[v % 64] = static_cast<uint8_t>(v);
        EXPECT_EQ(tier_pack(GetParam(), bytes).data, std::vector<uint64_t>{1ull << (v % 64)}) << v;
    }
}

TEST_P(SimdCount, ByteCompareIsUnsignedLessThan) {
    std::vector<uint8_t> bytes = random_bytes(64, 9);
    // Values at the signed/unsigned seams.
    const uint8_t seams[] = {0, 1, 126, 127, 128, 129, 254, 255};
    for (std::size_t i = 0; i < 8; ++i) bytes[i * 8] = seams[i];
    for (unsigned th : {0u, 1u, 127u, 128u, 129u, 200u, 255u}) {
        uint64_t expected = 0;
        for (int j = 0; j < 64; ++j) expected |= uint64_t{bytes[j] < th} << j;
        const std::span<const uint8_t, 64> s(bytes.data(), 64);
        EXPECT_EQ(tier_compare(GetParam(), s, static_cast<uint8_t>(th)), expected) << th;
        EXPECT_EQ(simd::bernoulli_compare_dispatch(s, static_cast<uint8_t>(th)), expected) << th;
    }
    const std::vector<uint8_t> all_max(64, 255), all_zero(64, 0);
    EXPECT_EQ(tier_compare(GetParam(), std::span<const uint8_t, 64>(all_zero.data(), 64), 0), 0u);
    EXPECT_EQ(tier_compare(GetParam(), std::span<const uint8_t, 64>(all_zero.data(), 64), 1), ~0ull);
    EXPECT_EQ(tier_compare(GetParam(), std::span<const uint8_t, 64>(all_max.data(), 64), 255), 0u);
}

// Members of mixed densities (random, a quarter, three quarters, all ones, none), so the counts
// spread from 0 to n (words 1 and 2 hold exactly n and n - 1), ties of even counts included.
std::vector<std::vector<uint64_t>> mixed_members(std::size_t n, std::size_t words, uint64_t seed) {
    std::vector<std::vector<uint64_t>> m;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<uint64_t> a = random_words(words, seed + 2 * i), b = random_words(words, seed + 2 * i + 1);
        for (std::size_t k = 0; k < words; ++k) {
            switch ((i + k) % 7) {
                case 0: a[k] &= b[k]; break;
                case 1: a[k] |= b[k]; break;
                case 2: a[k] = (i + k) % 3 ? ~0ull : a[k]; break;
                case 3: a[k] = i % 2 ? 0 : ~0ull; break;
                default: break;
            }
            if (k == 1) a[k] = ~0ull;                  // a count of n
            if (k == 2) a[k] = i == 0 ? 0 : ~0ull;     // n - 1
        }
        m.push_back(std::move(a));
    }
    return m;
}

TEST_P(SimdCount, MajorityMatchesBitCounting) {
    const std::size_t counts[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 255, 256, 1000};
    for (std::size_t n : counts) {
        for (std::size_t words : {0u, 1u, 3u, 4u, 5u, 8u, 9u, 13u, 19u}) {
            const auto m = mixed_members(n, words, 1000 * n + words);
            std::vector<const uint64_t*> ptrs;
            for (const auto& v : m) ptrs.push_back(v.data());
            std::vector<uint64_t> expect(words, 0);
            for (std::size_t k = 0; k < words; ++k)
                for (int j = 0; j < 64; ++j) {
                    std::size_t c = 0;
                    for (const auto& v : m) c += (v[k] >> j) & 1;
                    if (c > n / 2) expect[k] |= 1ull << j;
                }
            std::vector<uint64_t> got(words + 1, 0x5A5A), via(words + 1, 0x5A5A);
            tier_majority(GetParam(), ptrs.data(), n, words, got.data());
            simd::majority_dispatch(ptrs.data(), n, words, via.data());
            EXPECT_EQ(std::vector<uint64_t>(got.begin(), got.begin() + words), expect) << n << " " << words;
            EXPECT_EQ(got[words], 0x5A5Au) << "wrote past the end: " << n << " " << words;
            EXPECT_EQ(via, got) << n << " " << words;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Simd, SimdCount, kAllTiers, TierName());

TEST(SimdByteCompare, WideFormNeedsSixtyFourBytes) {
    if (!tier_available(Tier::Avx512)) GTEST_SKIP();
    const std::vector<uint8_t> bytes(63, 0);
    try {
        simd::avx512::bernoulli_compare_avx512(bytes, 10);
        FAIL() << "no stop";
    } catch (const engine::Panic& p) {
        EXPECT_STREQ(p.what(), "buffer must contain at least 64 bytes");
    }
    const std::vector<uint8_t> more(100, 3);
    EXPECT_EQ(simd::avx512::bernoulli_compare_avx512(more, 4), ~0ull);  // the first 64 count
}

// ---------------------------------------------------------------- float kernels, by written order

// The processor's max: second operand unless the first is greater.
double hw_max(double a, double b) { return a > b ? a : b; }

double expected_dot(Tier t, F64s a, F64s b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (t == Tier::Portable) {
        double s = -0.0;
        for (std::size_t i = 0; i < n; ++i) s = s + a[i] * b[i];
        return s;
    }
    const std::size_t w = t == Tier::Avx2 ? 4 : 8;
    std::vector<double> lane(w, 0.0);
    std::size_t i = 0;
    for (; i + w <= n; i += w)
        for (std::size_t k = 0; k < w; ++k) lane[k] = std::fma(a[i + k], b[i + k], lane[k]);
    double s;
    if (w == 4) {
        s = ((lane[0] + lane[1]) + lane[2]) + lane[3];
    } else {
        const double y0 = lane[0] + lane[4], y1 = lane[1] + lane[5], y2 = lane[2] + lane[6], y3 = lane[3] + lane[7];
        s = (y0 + y2) + (y1 + y3);
    }
    for (; i < n; ++i) s = s + a[i] * b[i];
    return s;
}

double expected_sum(Tier t, F64s a) {
    const std::size_t n = a.size();
    if (t == Tier::Portable) {
        double s = -0.0;
        for (double x : a) s = s + x;
        return s;
    }
    const std::size_t w = t == Tier::Avx2 ? 4 : 8;
    std::vector<double> lane(w, 0.0);
    std::size_t i = 0;
    for (; i + w <= n; i += w)
        for (std::size_t k = 0; k < w; ++k) lane[k] = lane[k] + a[i + k];
    double s;
    if (w == 4) {
        s = ((lane[0] + lane[1]) + lane[2]) + lane[3];
    } else {
        const double y0 = lane[0] + lane[4], y1 = lane[1] + lane[5], y2 = lane[2] + lane[6], y3 = lane[3] + lane[7];
        s = (y0 + y2) + (y1 + y3);
    }
    for (; i < n; ++i) s = s + a[i];
    return s;
}

double expected_max(Tier t, F64s a) {
    const double ninf = -std::numeric_limits<double>::infinity();
    const std::size_t n = a.size();
    if (t == Tier::Portable) {
        double m = ninf;
        for (double x : a)
            if (x > m) m = x;
        return m;
    }
    const std::size_t w = t == Tier::Avx2 ? 4 : 8;
    std::vector<double> lane(w, ninf);
    std::size_t i = 0;
    for (; i + w <= n; i += w)
        for (std::size_t k = 0; k < w; ++k) lane[k] = hw_max(lane[k], a[i + k]);
    if (w == 4) {
        double m = ninf;
        for (double x : lane)
            if (x > m) m = x;
        for (; i < n; ++i)
            if (a[i] > m) m = a[i];
        return m;
    }
    double y[4];
    for (int k = 0; k < 4; ++k) y[k] = hw_max(lane[k], lane[k + 4]);
    double m = hw_max(hw_max(y[0], y[2]), hw_max(y[1], y[3]));
    for (; i < n; ++i) m = hw_max(m, a[i]);
    return m;
}

double tier_dot(Tier t, F64s a, F64s b) {
    switch (t) {
        case Tier::Portable: return simd::portable::dot_f64(a, b);
        case Tier::Avx2: return simd::avx2::dot_f64_avx2(a, b);
        case Tier::Avx512: return simd::avx512::dot_f64_avx512(a, b);
    }
    return 0;
}
double tier_sum(Tier t, F64s a) {
    switch (t) {
        case Tier::Portable: return simd::portable::sum_f64(a);
        case Tier::Avx2: return simd::avx2::sum_f64_avx2(a);
        case Tier::Avx512: return simd::avx512::sum_f64_avx512(a);
    }
    return 0;
}
double tier_max(Tier t, F64s a) {
    switch (t) {
        case Tier::Portable: return simd::portable::max_f64(a);
        case Tier::Avx2: return simd::avx2::max_f64_avx2(a);
        case Tier::Avx512: return simd::avx512::max_f64_avx512(a);
    }
    return 0;
}
void tier_scale(Tier t, std::span<double> a, double f) {
    switch (t) {
        case Tier::Portable: return simd::portable::scale_f64(a, f);
        case Tier::Avx2: return simd::avx2::scale_f64_avx2(a, f);
        case Tier::Avx512: return simd::avx512::scale_f64_avx512(a, f);
    }
}

// Values of mixed sign and magnitude, so that a change of summation order shows in the bits.
std::vector<double> mixed_values(std::size_t n, uint64_t seed) {
    rng::Xoshiro256pp g(seed);
    std::vector<double> v(n);
    for (auto& x : v) x = (g.next_f64() - 0.5) * std::ldexp(1.0, static_cast<int>(g.next_u64() % 41) - 20);
    return v;
}

// Bit-exact equality, telling -0.0 from +0.0 and matching NaN with NaN.
::testing::AssertionResult same_bits(double got, double want) {
    if (std::isnan(got) && std::isnan(want)) return ::testing::AssertionSuccess();
    if (std::memcmp(&got, &want, sizeof got) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got << " (signbit " << std::signbit(got) << "), want "
                                         << want << " (signbit " << std::signbit(want) << ")";
}

class SimdFloat : public TierTest {};

TEST_P(SimdFloat, DotAndSumFollowTheTiersOrder) {
    const Tier t = GetParam();
    for (std::size_t n = 0; n <= 70; ++n) {
        const std::vector<double> a = mixed_values(n, n), b = mixed_values(n + 2, n + 1000);
        EXPECT_TRUE(same_bits(tier_dot(t, a, b), expected_dot(t, a, b))) << n;
        EXPECT_TRUE(same_bits(simd::dot_f64_dispatch(a, b), expected_dot(t, a, b))) << n;
        EXPECT_TRUE(same_bits(simd::dot_f64_dispatch(b, a), expected_dot(t, a, b))) << n;
        EXPECT_TRUE(same_bits(tier_sum(t, a), expected_sum(t, a))) << n;
        EXPECT_TRUE(same_bits(simd::sum_f64_dispatch(a), expected_sum(t, a))) << n;
    }
    // Empty slices give the tier's start value: -0.0 portable, +0.0 vector.
    const double start = t == Tier::Portable ? -0.0 : 0.0;
    EXPECT_TRUE(same_bits(simd::dot_f64_dispatch({}, {}), start));
    EXPECT_TRUE(same_bits(simd::sum_f64_dispatch({}), start));
    // Lengths 5 and 3 use three elements.
    const std::vector<double> five = {1, 2, 3, 4, 5}, three = {10, 20, 30};
    EXPECT_EQ(simd::dot_f64_dispatch(five, three), 140.0);
}

TEST_P(SimdFloat, MaxFollowsTheTiersNanRules) {
    const Tier t = GetParam();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t n = 0; n <= 40; ++n) {
        std::vector<double> a = mixed_values(n, 77 + n);
        EXPECT_TRUE(same_bits(simd::max_f64_dispatch(a), expected_max(t, a))) << n;
        // NaN-free input: the exact maximum on every tier.
        if (n) {
            EXPECT_EQ(tier_max(t, a), *std::max_element(a.begin(), a.end())) << n;
        }
        // NaN at each position.
        for (std::size_t p = 0; p < n; ++p) {
            std::vector<double> b = a;
            b[p] = nan;
            EXPECT_TRUE(same_bits(tier_max(t, b), expected_max(t, b))) << n << " " << p;
            EXPECT_TRUE(same_bits(simd::max_f64_dispatch(b), expected_max(t, b))) << n << " " << p;
        }
    }
    EXPECT_EQ(simd::max_f64_dispatch({}), -std::numeric_limits<double>::infinity());
    // All NaN: the forms that skip NaNs give minus infinity; the AVX-512 tail takes the NaN.
    for (std::size_t n : {3u, 8u, 11u}) {
        const std::vector<double> all_nan(n, nan);
        const double got = simd::max_f64_dispatch(all_nan);
        EXPECT_TRUE(same_bits(got, expected_max(t, all_nan))) << n;
        if (t != Tier::Avx512) {
            EXPECT_EQ(got, -std::numeric_limits<double>::infinity()) << n;
        }
    }
}

TEST_P(SimdFloat, ScaleIsElementwise) {
    for (std::size_t n = 0; n <= 20; ++n) {
        std::vector<double> a = mixed_values(n, n + 5), b = a, c = a;
        for (double& x : a) x = x * 0.37;
        tier_scale(GetParam(), b, 0.37);
        simd::scale_f64_dispatch(c, 0.37);
        EXPECT_EQ(a, b) << n;
        EXPECT_EQ(a, c) << n;
    }
}

TEST_P(SimdFloat, SoftmaxComposesTheTiersPieces) {
    const Tier t = GetParam();
    for (std::size_t n = 1; n <= 40; ++n) {
        std::vector<double> v = mixed_values(n, 300 + n);
        for (double& x : v) x = std::fmod(x, 30.0);
        std::vector<double> want = v;
        const double m = expected_max(t, want);
        for (double& x : want) x = std::exp(x - m);
        const double s = expected_sum(t, want);
        for (double& x : want) x = x * (1.0 / s);
        simd::softmax_inplace_f64_dispatch(v);
        for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(same_bits(v[i], want[i])) << n << " " << i;
    }
    std::vector<double> v = {1, 2, 3};
    simd::softmax_inplace_f64_dispatch(v);
    EXPECT_NEAR(v[0] + v[1] + v[2], 1.0, 1e-15);
    EXPECT_LT(v[0], v[1]);
    EXPECT_LT(v[1], v[2]);
    // All minus infinity: exp(NaN) everywhere and no scaling.
    std::vector<double> ninf(5, -std::numeric_limits<double>::infinity());
    simd::softmax_inplace_f64_dispatch(ninf);
    for (double x : ninf) EXPECT_TRUE(std::isnan(x));
    std::vector<double> empty;
    simd::softmax_inplace_f64_dispatch(empty);
    EXPECT_TRUE(empty.empty());
}

INSTANTIATE_TEST_SUITE_P(Simd, SimdFloat, kAllTiers, TierName());

TEST(SimdFloatOrders, TheThreeOrdersReallyDiffer) {
    // Guards the order tests above against inputs too tame to tell the orders apart.
    int dot_diffs = 0, sum_diffs = 0;
    for (std::size_t n = 8; n <= 70; ++n) {
        const std::vector<double> a = mixed_values(n, n), b = mixed_values(n + 2, n + 1000);
        dot_diffs += expected_dot(Tier::Portable, a, b) != expected_dot(Tier::Avx2, a, b);
        dot_diffs += expected_dot(Tier::Avx2, a, b) != expected_dot(Tier::Avx512, a, b);
        sum_diffs += expected_sum(Tier::Portable, a) != expected_sum(Tier::Avx2, a);
        sum_diffs += expected_sum(Tier::Avx2, a) != expected_sum(Tier::Avx512, a);
    }
    EXPECT_GT(dot_diffs, 10);
    EXPECT_GT(sum_diffs, 10);
}

// Each kernel has its own gate: AVX-512 F without BW or VPOPCNTDQ still runs the wide float
// kernels; AVX2 without FMA runs the portable dot product but the AVX2 sum.
TEST(SimdGates, FloatKernelsFollowTheirOwnFlags) {
    using namespace simd;
    const std::vector<double> a = mixed_values(37, 1), b = mixed_values(37, 2);
    if (tier_available(Tier::Avx512)) {
        simd::testing::restrict_features(kAvx512f | kAvx2 | kFma | kPopcnt);
        EXPECT_STREQ(simd_tier(), "avx512f");
        EXPECT_TRUE(same_bits(dot_f64_dispatch(a, b), expected_dot(Tier::Avx512, a, b)));
        const std::vector<uint64_t> w = random_words(37, 3);
        EXPECT_EQ(popcount_dispatch(w), naive_popcount(w));
    }
    if (tier_available(Tier::Avx2)) {
        simd::testing::restrict_features(kAvx2 | kPopcnt);
        EXPECT_TRUE(same_bits(dot_f64_dispatch(a, b), expected_dot(Tier::Portable, a, b)));
        EXPECT_TRUE(same_bits(sum_f64_dispatch(a), expected_sum(Tier::Avx2, a)));
        EXPECT_NE(expected_dot(Tier::Portable, a, b), expected_dot(Tier::Avx2, a, b));
    }
    simd::testing::clear_forced_tier();
}

}  // namespace
