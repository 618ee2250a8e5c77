// Throughput of the bitstream kernels and encoders on every tier this processor offers, for
// L1-, L2- and memory-sized inputs, against the portable tier and a plain memcpy of the same size.
//
//   build/bench_kernels [--benchmark_filter=...]
//
// Google Benchmark prints each run; a summary table at the end gives each tier's speed as a
// multiple of the portable tier, and each kernel's read speed relative to memcpy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bitstream.hpp"
#include "rng.hpp"
#include "simd/features.hpp"
#include "simd/kernels.hpp"

namespace {

using simd::testing::Tier;

using simd::testing::tier_available;
using simd::testing::tier_label;

struct Size {
    const char* label;
    std::size_t bytes;
};
const Size kSizes[] = {{"4KiB", 4u << 10}, {"256KiB", 256u << 10}, {"64MiB", 64u << 20}};
constexpr std::size_t kMaxBytes = 64u << 20;

// Inputs shared by every run, filled once.
struct Data {
    std::vector<uint64_t> a, b;
    std::vector<uint8_t> bytes, copy;
    std::vector<double> x, y, scratch;
    Data() : a(kMaxBytes / 8), b(kMaxBytes / 8), bytes(kMaxBytes), copy(kMaxBytes),
             x(kMaxBytes / 8), y(kMaxBytes / 8), scratch(kMaxBytes / 8) {
        rng::Xoshiro256pp g(1);
        for (auto& w : a) w = g.next_u64();
        for (auto& w : b) w = g.next_u64();
        g.fill_bytes(bytes.data(), bytes.size());
        for (auto& v : bytes) v = (v & 1) ? v : 0;  // about half zero, for packing
        for (auto& v : x) v = g.next_f64() - 0.5;
        for (auto& v : y) v = g.next_f64() - 0.5;
        for (auto& v : scratch) v = 1.0;
    }
};
Data& data() {
    static Data d;
    return d;
}

struct Entry {
    std::string kernel, tier, size;
};
std::map<std::string, Entry>& entries() {
    static std::map<std::string, Entry> e;
    return e;
}

// One timed call: the kernel over `bytes` of input.
using Body = std::function<void(std::size_t bytes)>;

void add(const std::string& kernel, Tier tier, const Body& body, std::size_t bytes_factor = 1,
         bool force = false, std::size_t max_size = kMaxBytes) {
    if (!tier_available(tier)) return;
    for (const Size& s : kSizes) {
        if (s.bytes > max_size) continue;
        const std::string name = kernel + "/" + tier_label(tier) + "/" + s.label;
        entries()[name] = Entry{kernel, tier_label(tier), s.label};
        const std::size_t bytes = s.bytes;
        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
            data();
            if (force) simd::testing::force_tier(tier);
            for (auto _ : st) body(bytes);
            if (force) simd::testing::clear_forced_tier();
            st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(bytes * bytes_factor));
        });
    }
}

simd::Words words_a(std::size_t bytes) { return std::span(data().a).first(bytes / 8); }
simd::Words words_b(std::size_t bytes) { return std::span(data().b).first(bytes / 8); }
simd::F64s f64_x(std::size_t bytes) { return std::span(data().x).first(bytes / 8); }
simd::F64s f64_y(std::size_t bytes) { return std::span(data().y).first(bytes / 8); }

void register_all() {
    // Baseline: copy the same number of bytes (counted once, as bytes read).
    entries();
    for (const Size& s : kSizes) {
        const std::string name = std::string("memcpy/-/") + s.label;
        entries()[name] = Entry{"memcpy", "-", s.label};
        const std::size_t bytes = s.bytes;
        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
            Data& d = data();
            for (auto _ : st) {
                std::memcpy(d.copy.data(), d.bytes.data(), bytes);
                benchmark::ClobberMemory();
            }
            st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(bytes));
        });
    }

    using namespace simd;
    add("popcount", Tier::Portable, [](std::size_t n) { benchmark::DoNotOptimize(portable::popcount(words_a(n))); });
    add("popcount", Tier::Avx2, [](std::size_t n) { benchmark::DoNotOptimize(avx2::popcount_avx2(words_a(n))); });
    add("popcount", Tier::Avx512, [](std::size_t n) { benchmark::DoNotOptimize(avx512::popcount_avx512(words_a(n))); });

    // Two-slice kernels read two inputs of the given size each.
    add("and_popcount", Tier::Portable,
        [](std::size_t n) { benchmark::DoNotOptimize(portable::and_popcount(words_a(n), words_b(n))); }, 2);
    add("and_popcount", Tier::Avx2,
        [](std::size_t n) { benchmark::DoNotOptimize(avx2::fused_and_popcount_avx2(words_a(n), words_b(n))); }, 2);
    add("and_popcount", Tier::Avx512,
        [](std::size_t n) { benchmark::DoNotOptimize(avx512::fused_and_popcount_avx512(words_a(n), words_b(n))); }, 2);
    add("xor_popcount", Tier::Portable,
        [](std::size_t n) { benchmark::DoNotOptimize(portable::xor_popcount(words_a(n), words_b(n))); }, 2);
    add("xor_popcount", Tier::Avx2,
        [](std::size_t n) { benchmark::DoNotOptimize(avx2::fused_xor_popcount_avx2(words_a(n), words_b(n))); }, 2);
    add("xor_popcount", Tier::Avx512,
        [](std::size_t n) { benchmark::DoNotOptimize(avx512::fused_xor_popcount_avx512(words_a(n), words_b(n))); }, 2);

    auto bytes_in = [](std::size_t n) { return std::span<const uint8_t>(data().bytes).first(n); };
    add("pack", Tier::Portable, [=](std::size_t n) { benchmark::DoNotOptimize(bitstream::pack_fast(bytes_in(n))); });
    add("pack", Tier::Avx2, [=](std::size_t n) { benchmark::DoNotOptimize(avx2::pack_avx2(bytes_in(n))); });
    add("pack", Tier::Avx512, [=](std::size_t n) { benchmark::DoNotOptimize(avx512::pack_avx512(bytes_in(n))); });

    // The byte compare of the encoders, over consecutive 64-byte blocks.
    add("byte_compare", Tier::Portable, [](std::size_t n) {
        uint64_t acc = 0;
        for (std::size_t i = 0; i + 64 <= n; i += 64)
            acc ^= portable::bernoulli_compare(std::span<const uint8_t, 64>(data().bytes.data() + i, 64), 100);
        benchmark::DoNotOptimize(acc);
    });
    add("byte_compare", Tier::Avx2, [](std::size_t n) {
        uint64_t acc = 0;
        for (std::size_t i = 0; i + 64 <= n; i += 64) {
            const uint8_t* p = data().bytes.data() + i;
            acc ^= uint64_t{avx2::bernoulli_compare_avx2(std::span<const uint8_t, 32>(p, 32), 100)} |
                   (uint64_t{avx2::bernoulli_compare_avx2(std::span<const uint8_t, 32>(p + 32, 32), 100)} << 32);
        }
        benchmark::DoNotOptimize(acc);
    });
    add("byte_compare", Tier::Avx512, [](std::size_t n) {
        uint64_t acc = 0;
        for (std::size_t i = 0; i + 64 <= n; i += 64)
            acc ^= avx512::bernoulli_compare_avx512(std::span<const uint8_t>(data().bytes.data() + i, 64), 100);
        benchmark::DoNotOptimize(acc);
    });

    add("dot_f64", Tier::Portable, [](std::size_t n) { benchmark::DoNotOptimize(portable::dot_f64(f64_x(n), f64_y(n))); }, 2);
    add("dot_f64", Tier::Avx2, [](std::size_t n) { benchmark::DoNotOptimize(avx2::dot_f64_avx2(f64_x(n), f64_y(n))); }, 2);
    add("dot_f64", Tier::Avx512, [](std::size_t n) { benchmark::DoNotOptimize(avx512::dot_f64_avx512(f64_x(n), f64_y(n))); }, 2);
    add("sum_f64", Tier::Portable, [](std::size_t n) { benchmark::DoNotOptimize(portable::sum_f64(f64_x(n))); });
    add("sum_f64", Tier::Avx2, [](std::size_t n) { benchmark::DoNotOptimize(avx2::sum_f64_avx2(f64_x(n))); });
    add("sum_f64", Tier::Avx512, [](std::size_t n) { benchmark::DoNotOptimize(avx512::sum_f64_avx512(f64_x(n))); });
    add("max_f64", Tier::Portable, [](std::size_t n) { benchmark::DoNotOptimize(portable::max_f64(f64_x(n))); });
    add("max_f64", Tier::Avx2, [](std::size_t n) { benchmark::DoNotOptimize(avx2::max_f64_avx2(f64_x(n))); });
    add("max_f64", Tier::Avx512, [](std::size_t n) { benchmark::DoNotOptimize(avx512::max_f64_avx512(f64_x(n))); });
    auto scratch = [](std::size_t n) { return std::span<double>(data().scratch).first(n / 8); };
    add("scale_f64", Tier::Portable, [=](std::size_t n) { portable::scale_f64(scratch(n), 1.0); benchmark::ClobberMemory(); });
    add("scale_f64", Tier::Avx2, [=](std::size_t n) { avx2::scale_f64_avx2(scratch(n), 1.0); benchmark::ClobberMemory(); });
    add("scale_f64", Tier::Avx512, [=](std::size_t n) { avx512::scale_f64_avx512(scratch(n), 1.0); benchmark::ClobberMemory(); });

    // Encoders, tier forced: bytes are those of the stream (or of the weights for the fused form).
    for (Tier t : {Tier::Portable, Tier::Avx2, Tier::Avx512}) {
        add("encode_and_popcount", t, [](std::size_t n) {
            rng::Xoshiro256pp g(44257);
            benchmark::DoNotOptimize(bitstream::encode_and_popcount(words_a(n), n * 8, g, 0.3));
        }, 1, true, 256u << 10);
        add("bernoulli_byte_xoshiro", t, [](std::size_t n) {
            rng::Xoshiro256pp g(44257);
            benchmark::DoNotOptimize(bitstream::bernoulli_packed_simd(0.3, n * 8, g));
        }, 1, true, 256u << 10);
        add("bernoulli_byte_chacha", t, [](std::size_t n) {
            rng::ChaCha8 g(44257);
            benchmark::DoNotOptimize(bitstream::bernoulli_packed_simd(0.3, n * 8, g));
        }, 1, true, 256u << 10);
        // Bytes are those of the keystream drawn (the float form takes 64 bits per stream bit).
        add("chacha8_keystream", t, [](std::size_t n) {
            rng::ChaCha8 g(44257);
            g.fill_bytes(data().copy.data(), n);
            benchmark::ClobberMemory();
        }, 1, true, 256u << 10);
        add("bernoulli_float_chacha", t, [](std::size_t n) {
            rng::ChaCha8 g(44257);
            benchmark::DoNotOptimize(bitstream::bernoulli_packed(0.3, n / 8, g));
        }, 1, true, 256u << 10);
    }
    add("bernoulli_float_xoshiro", Tier::Portable, [](std::size_t n) {
        rng::Xoshiro256pp g(44257);
        benchmark::DoNotOptimize(bitstream::bernoulli_packed(0.3, n * 8, g));
    }, 1, false, 256u << 10);
}

// Collects each run's bytes per second for the summary.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rate;  // benchmark name -> bytes per second
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rate[r.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void print_summary(const Collector& c) {
    std::printf("\nSummary (GB/s of input; x = multiple of the portable tier; /memcpy = best tier's speed over memcpy of the same size)\n");
    std::printf("%-24s %-7s %10s %10s %10s %9s %9s %9s\n", "kernel", "size", "portable", "avx2", "avx512",
                "avx2 x", "avx512 x", "/memcpy");
    std::map<std::string, std::map<std::string, std::map<std::string, double>>> by;  // kernel, size, tier
    std::vector<std::string> order;
    for (const auto& [name, e] : entries()) {
        auto it = c.rate.find(name);
        if (it == c.rate.end()) continue;
        if (!by.count(e.kernel)) order.push_back(e.kernel);
        by[e.kernel][e.size][e.tier] = it->second;
    }
    auto get = [](const std::map<std::string, double>& m, const char* k) {
        auto it = m.find(k);
        return it == m.end() ? 0.0 : it->second;
    };
    for (const auto& [kernel, sizes] : by) {
        if (kernel == "memcpy") continue;
        for (const Size& s : kSizes) {
            auto it = sizes.find(s.label);
            if (it == sizes.end()) continue;
            const double p = get(it->second, "portable"), a2 = get(it->second, "avx2"), a5 = get(it->second, "avx512");
            const double mc = by.count("memcpy") && by["memcpy"].count(s.label) ? get(by["memcpy"][s.label], "-") : 0.0;
            const double best = a5 > 0 ? a5 : (a2 > 0 ? a2 : p);
            auto cell = [](double v, int width) {
                char b[32];
                if (v > 0) std::snprintf(b, sizeof b, "%*.2f", width, v);
                else std::snprintf(b, sizeof b, "%*s", width, "-");
                return std::string(b);
            };
            std::printf("%-24s %-7s %s %s %s %s %s %s\n", kernel.c_str(), s.label, cell(p / 1e9, 10).c_str(),
                        cell(a2 / 1e9, 10).c_str(), cell(a5 / 1e9, 10).c_str(), cell(p > 0 ? a2 / p : 0, 9).c_str(),
                        cell(p > 0 ? a5 / p : 0, 9).c_str(), cell(mc > 0 ? best / mc : 0, 9).c_str());
        }
    }
    if (by.count("memcpy"))
        for (const Size& s : kSizes)
            if (by["memcpy"].count(s.label))
                std::printf("%-24s %-7s %10.2f GB/s\n", "memcpy", s.label, get(by["memcpy"][s.label], "-") / 1e9);
    std::printf("tier of this processor: %s\n", simd::simd_tier());
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    print_summary(collector);
    benchmark::Shutdown();
    return 0;
}
