#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "network_runner.hpp"
#include "simd/features.hpp"

namespace {

using network_runner::PopulationRunner;
using simd::testing::Tier;

std::vector<std::string> all_models() {
    std::vector<std::string> names;
    std::apply([&](const auto&... m) { (names.emplace_back(m.name), ...); }, network_runner::kModels);
    return names;
}

// Spike flags and the bytes of every neuron's soma value after `steps` steps of varied input.
struct Trace {
    std::vector<uint8_t> spikes;
    std::vector<double> volts;
};

Trace run(const std::string& model, std::size_t n, int steps) {
    PopulationRunner p = network_runner::create_population(model, n);
    Trace t;
    for (int s = 0; s < steps; ++s) {
        for (std::size_t k = 0; k < n; ++k) p.currents[k] = ((k * 7 + s * 3) % 11) * 2.5 - 5.0;
        for (std::size_t c = 0; c < p.chunk_spikes.size(); ++c) network_runner::step_chunk(p, c);
        t.spikes.insert(t.spikes.end(), p.spikes.begin(), p.spikes.end());
        for (double x : p.currents) EXPECT_EQ(x, 0.0);  // each current is cleared once read
    }
    network_runner::NetworkRunner r;
    r.add_population(std::move(p));
    t.volts = r.run(0).voltages[0];
    return t;
}

// The wide stepping loop gives the one-neuron-at-a-time loop's results, bit for bit, for
// every model, in full chunks and a partial one.
TEST(NetworkStep, EveryTierStepsAlike) {
    if (!simd::testing::tier_available(Tier::Avx512)) GTEST_SKIP() << "no AVX-512 here";
    for (const std::string& model : all_models()) {
        Trace wide, plain;
        {
            simd::testing::ScopedTier t(Tier::Avx512);
            wide = run(model, 300, 40);
        }
        {
            simd::testing::ScopedTier t(Tier::Portable);
            plain = run(model, 300, 40);
        }
        EXPECT_EQ(wide.spikes, plain.spikes) << model;
        ASSERT_EQ(wide.volts.size(), plain.volts.size());
        EXPECT_EQ(std::memcmp(wide.volts.data(), plain.volts.data(), wide.volts.size() * sizeof(double)), 0) << model;
    }
}

// A slot gives back exactly the rows it kept, in ascending order, in both of its forms: at
// every density, for row counts on and off a word's boundary, and with flags beyond n_rows.
TEST(SpikeSlot, KeepsEveryDensity) {
    uint64_t x = 0x9E3779B97F4A7C15ULL;
    const auto next = [&x] {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        return x;
    };
    for (const std::size_t n_rows : {0, 1, 31, 32, 33, 64, 100, 257}) {
        for (const uint64_t per_64 : {0, 1, 2, 8, 32, 63, 64}) {
            std::vector<uint8_t> flags(n_rows + 40);
            std::vector<uint32_t> rows;
            for (std::size_t k = 0; k < flags.size(); ++k) {
                flags[k] = next() % 64 < per_64;
                if (flags[k] && k < n_rows) rows.push_back(static_cast<uint32_t>(k));
            }
            network_runner::SpikeSlot slot;
            slot.keep(rows, flags, n_rows);
            EXPECT_EQ(slot.bitmap, rows.size() > n_rows / 32) << n_rows << " " << per_64;
            EXPECT_LE(slot.words.size() * 4, std::max(rows.size() * 4, n_rows / 8 + 4));
            std::vector<uint32_t> back;
            slot.for_each([&](uint32_t r) { back.push_back(r); });
            EXPECT_EQ(back, rows) << n_rows << " " << per_64;
        }
    }
}

}  // namespace
