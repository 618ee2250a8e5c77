// Processor features, detected once per process and read at every kernel call.
#pragma once
#include <atomic>
#include <cstdint>

namespace simd {

// One bit per feature the kernels care about. A bit is set only when both the processor and
// the operating system (saved register state) support the feature; the AVX-512 subsets are set
// only together with AVX-512 F.
enum Feature : uint32_t {
    kPopcnt = 1u << 0,
    kAvx2 = 1u << 1,
    kFma = 1u << 2,
    kAvx512f = 1u << 3,
    kAvx512bw = 1u << 4,
    kAvx512vpopcntdq = 1u << 5,
};

// What this processor offers, detected on the first call and fixed afterwards.
uint32_t detected_features();

namespace detail {
inline constexpr uint32_t kUnset = 1u << 31;
extern std::atomic<uint32_t> g_features;
uint32_t init_features();
}  // namespace detail

// The flags the dispatchers read: the detected ones, less whatever a test has switched off.
inline uint32_t features() {
    const uint32_t f = detail::g_features.load(std::memory_order_relaxed);
    if (f & detail::kUnset) [[unlikely]]
        return detail::init_features();
    return f;
}

inline bool has(uint32_t flags, uint32_t wanted) { return (flags & wanted) == wanted; }

// What each kernel family needs, per tier: the dispatchers choose by these rows, and a tier
// forced by a test or benchmark keeps the union of its rows, so that every kernel of it runs.
inline constexpr uint32_t kNeedCount512 = kAvx512f | kAvx512vpopcntdq;        // popcounts
inline constexpr uint32_t kNeedBytes512 = kAvx512f | kAvx512bw;               // packing, byte compares, encoding
inline constexpr uint32_t kNeedBytesCount512 = kNeedBytes512 | kPopcnt;       // encoding while counting
inline constexpr uint32_t kNeedFloat512 = kAvx512f;                            // float reductions
inline constexpr uint32_t kNeedBits512 = kAvx512f;                             // majority, ChaCha8, draw compares
inline constexpr uint32_t kNeed256 = kAvx2;                                    // AVX2 kernels
inline constexpr uint32_t kNeedBytesCount256 = kAvx2 | kPopcnt;               // encoding while counting
inline constexpr uint32_t kNeedDot256 = kAvx2 | kFma;                          // the AVX2 dot product
inline constexpr uint32_t kTierAvx2 = kNeed256 | kNeedBytesCount256 | kNeedDot256;
inline constexpr uint32_t kTierAvx512 =
    kTierAvx2 | kNeedCount512 | kNeedBytesCount512 | kNeedFloat512 | kNeedBits512;

// Name of the best tier a feature set offers, in order of preference:
// "avx512-vpopcntdq", "avx512bw", "avx512f", "avx2", "popcnt", "portable".
const char* tier_name(uint32_t flags);

// Name of the best tier this processor offers (as seen by the dispatchers).
inline const char* simd_tier() { return tier_name(features()); }

// Test hooks: switch features off so the narrower kernels run on a wide machine. They can
// only remove features, never add ones the processor lacks. Not for use from worker threads
// while kernels run.
namespace testing {

enum class Tier { Portable, Avx2, Avx512 };

// The features a forced tier keeps, its name, and whether this processor offers it.
inline constexpr uint32_t tier_needs(Tier t) {
    return t == Tier::Avx512 ? kTierAvx512 : t == Tier::Avx2 ? kTierAvx2 : 0;
}
inline constexpr const char* tier_label(Tier t) {
    return t == Tier::Avx512 ? "avx512" : t == Tier::Avx2 ? "avx2" : "portable";
}
inline bool tier_available(Tier t) { return has(detected_features(), tier_needs(t)); }

// Keeps only the detected features that are also in `keep`.
void restrict_features(uint32_t keep);
// Keeps the detected features of the tier's row: Avx2 drops AVX-512, Portable everything.
void force_tier(Tier tier);
// Back to everything detected.
void clear_forced_tier();

struct ScopedTier {
    explicit ScopedTier(Tier tier) { force_tier(tier); }
    ~ScopedTier() { clear_forced_tier(); }
    ScopedTier(const ScopedTier&) = delete;
    ScopedTier& operator=(const ScopedTier&) = delete;
};

}  // namespace testing
}  // namespace simd
