#include <gtest/gtest.h>

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

}  // namespace
