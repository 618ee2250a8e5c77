#include "simd/features.hpp"

#include <cpuid.h>

namespace simd {
namespace {

uint64_t read_xcr0() {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

uint32_t detect() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    uint32_t f = 0;
    if (c & bit_POPCNT) f |= kPopcnt;

    // The wide registers count only when the OS saves them: XMM|YMM for AVX, and in addition
    // the opmask and both ZMM halves for AVX-512.
    const bool osxsave = (c & bit_OSXSAVE) != 0;
    const uint64_t xcr0 = osxsave ? read_xcr0() : 0;
    const bool os_avx = osxsave && (xcr0 & 0x6) == 0x6 && (c & bit_AVX) != 0;
    const bool os_avx512 = os_avx && (xcr0 & 0xE0) == 0xE0;
    const bool cpu_fma = (c & bit_FMA) != 0;

    unsigned b7 = 0, c7 = 0;
    if (__get_cpuid_max(0, nullptr) >= 7) {
        unsigned a7 = 0, d7 = 0;
        __cpuid_count(7, 0, a7, b7, c7, d7);
    }
    if (os_avx) {
        if (b7 & bit_AVX2) f |= kAvx2;
        if (cpu_fma) f |= kFma;
    }
    if (os_avx512 && (b7 & bit_AVX512F)) {
        f |= kAvx512f;
        if (b7 & bit_AVX512BW) f |= kAvx512bw;
        if (c7 & bit_AVX512VPOPCNTDQ) f |= kAvx512vpopcntdq;
    }
    return f;
}

}  // namespace

uint32_t detected_features() {
    static const uint32_t flags = detect();  // thread-safe one-time initialisation
    return flags;
}

namespace detail {

std::atomic<uint32_t> g_features{kUnset};

uint32_t init_features() {
    const uint32_t flags = detected_features();
    uint32_t expected = kUnset;
    // Every first caller detects the same flags; a test restriction set meanwhile wins.
    if (g_features.compare_exchange_strong(expected, flags, std::memory_order_relaxed)) return flags;
    return expected;
}

}  // namespace detail

const char* tier_name(uint32_t flags) {
    if (flags & kAvx512vpopcntdq) return "avx512-vpopcntdq";
    if (flags & kAvx512bw) return "avx512bw";
    if (flags & kAvx512f) return "avx512f";
    if (flags & kAvx2) return "avx2";
    if (flags & kPopcnt) return "popcnt";
    return "portable";
}

namespace testing {

void restrict_features(uint32_t keep) {
    detail::g_features.store(detected_features() & keep, std::memory_order_relaxed);
}

void force_tier(Tier tier) { restrict_features(tier_needs(tier)); }

void clear_forced_tier() { restrict_features(~0u); }

}  // namespace testing
}  // namespace simd
