// Per-function instruction-set targets. The build itself stays on the x86-64 baseline; only
// functions carrying one of these are compiled for wider registers, and they run only after
// the feature cache has said the processor and the operating system support them.
#pragma once

#define SC_TARGET_AVX2 __attribute__((target("avx2")))
#define SC_TARGET_AVX2_FMA __attribute__((target("avx2,fma")))
#define SC_TARGET_AVX2_POPCNT __attribute__((target("avx2,popcnt")))
#define SC_TARGET_AVX512F __attribute__((target("avx512f")))
#define SC_TARGET_AVX512BW __attribute__((target("avx512f,avx512bw")))
#define SC_TARGET_AVX512BW_POPCNT __attribute__((target("avx512f,avx512bw,popcnt")))
#define SC_TARGET_AVX512VPOPCNTDQ __attribute__((target("avx512f,avx512vpopcntdq")))
