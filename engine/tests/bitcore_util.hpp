// Helpers shared by the bitstream, SIMD and encoder tests.
#pragma once
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "rng.hpp"
#include "simd/features.hpp"

namespace bitcore_test {

using simd::testing::Tier;

using simd::testing::tier_available;
using simd::testing::tier_label;

inline const auto kAllTiers = ::testing::Values(Tier::Portable, Tier::Avx2, Tier::Avx512);

struct TierName {
    std::string operator()(const ::testing::TestParamInfo<Tier>& i) const { return tier_label(i.param); }
};

// Fixture base: forces the parameter's tier for the test and restores the cache afterwards.
class TierTest : public ::testing::TestWithParam<Tier> {
protected:
    void SetUp() override {
        if (!tier_available(GetParam())) GTEST_SKIP() << "tier not offered by this processor";
        simd::testing::force_tier(GetParam());
    }
    void TearDown() override { simd::testing::clear_forced_tier(); }
};

inline std::vector<uint64_t> random_words(std::size_t n, uint64_t seed) {
    rng::Xoshiro256pp g(seed);
    std::vector<uint64_t> v(n);
    for (auto& w : v) w = g.next_u64();
    return v;
}

// Bytes that are zero about half the time, else one of a spread of nonzero values
// (including 0x80 and 0x01, the cases a sign or low-bit test would miss).
inline std::vector<uint8_t> random_bytes(std::size_t n, uint64_t seed) {
    rng::Xoshiro256pp g(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        const uint64_t r = g.next_u64();
        b = (r & 1) ? 0 : static_cast<uint8_t>(r >> 8);
        if ((r & 6) == 2) b = 0x80;
        if ((r & 6) == 4) b = 0x01;
    }
    return v;
}

inline uint64_t naive_popcount(std::span<const uint64_t> a) {
    uint64_t c = 0;
    for (uint64_t w : a)
        for (int j = 0; j < 64; ++j) c += (w >> j) & 1;
    return c;
}

// A buffer whose last byte is the last readable byte before an inaccessible page, so any read
// past the end of a slice placed with tail() faults.
class GuardedBuffer {
public:
    GuardedBuffer() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        size_ = 4 * page_;
        void* p = mmap(nullptr, size_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<uint8_t*>(p);
        mprotect(base_ + size_, page_, PROT_NONE);
    }
    ~GuardedBuffer() { munmap(base_, size_ + page_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    // Copies the values so that they end exactly at the guard page.
    template <class T>
    std::span<T> tail(std::span<const T> values) {
        const std::size_t bytes = values.size() * sizeof(T);
        if (bytes > size_) throw std::runtime_error("too large");
        T* start = reinterpret_cast<T*>(base_ + size_ - bytes);
        if (!values.empty()) std::memcpy(start, values.data(), bytes);
        return std::span<T>(start, values.size());
    }

private:
    uint8_t* base_ = nullptr;
    std::size_t page_ = 0, size_ = 0;
};

}  // namespace bitcore_test
