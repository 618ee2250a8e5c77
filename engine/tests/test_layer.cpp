#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <random>
#include <string>

#include "bitstream.hpp"
#include "error.hpp"
#include "layer.hpp"
#include "rng.hpp"

using layer::DenseLayer;

namespace {

// The packing written out literally: one generator, every stream in order.
std::vector<uint64_t> sequential_packing(const DenseLayer& l) {
    rng::ChaCha8 g(l.weight_seed);
    std::vector<uint64_t> out;
    for (const auto& row : l.weights)
        for (double w : row) {
            auto s = bitstream::bernoulli_packed_simd(w, l.length, g);
            out.insert(out.end(), s.begin(), s.end());
        }
    return out;
}

struct Shape {
    std::size_t n_inputs, n_neurons, length;
};

class LayerShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(LayerShapes, SharedMasksEqualPerNeuronEncoding) {
    const Shape s = GetParam();
    DenseLayer l = DenseLayer::make(s.n_inputs, s.n_neurons, s.length, 24301 + s.length);
    std::mt19937_64 r(s.n_inputs * 131 + s.length);
    std::uniform_real_distribution<double> u(-0.2, 1.2);
    // Weights outside [0, 1] and special values exercise every encoder branch.
    auto w = l.weights;
    w[0][0] = 1.0;
    w[0][s.n_inputs - 1] = 2.5;
    if (s.n_neurons > 1) w[1][0] = std::nan("");
    l.set_weights(w);
    EXPECT_EQ(l.packed_weights, sequential_packing(l));
    for (int trial = 0; trial < 3; ++trial) {
        std::vector<double> x(s.n_inputs);
        for (double& v : x) v = u(r);
        x[0] = 1.0;
        const uint64_t seed = r();
        EXPECT_EQ(l.forward_fused(x, seed), l.forward_fused_reference(x, seed));
    }
}

TEST_P(LayerShapes, BatchRowsEqualFusedWithTheirSeeds) {
    const Shape s = GetParam();
    const DenseLayer l = DenseLayer::make(s.n_inputs, s.n_neurons, s.length, 7);
    const std::size_t n = 5;
    std::vector<double> in(n * s.n_inputs);
    std::mt19937_64 r(3);
    for (double& v : in) v = std::uniform_real_distribution<double>(0, 1)(r);
    std::vector<double> out(n * s.n_neurons, -1.0);
    const uint64_t seed = UINT64_MAX - 2;  // the sample seeds wrap
    l.forward_batch_into(in, n, seed, out);
    for (std::size_t k = 0; k < n; ++k) {
        const auto row = l.forward_fused_reference({in.data() + k * s.n_inputs, s.n_inputs},
                                                   static_cast<uint64_t>(k) * 1000000u + seed);
        EXPECT_EQ(std::vector<double>(out.begin() + k * s.n_neurons, out.begin() + (k + 1) * s.n_neurons), row);
    }
}

INSTANTIATE_TEST_SUITE_P(Layer, LayerShapes,
                         ::testing::Values(Shape{1, 1, 1}, Shape{3, 7, 100}, Shape{5, 8, 64}, Shape{17, 9, 1000},
                                           Shape{64, 33, 130}, Shape{2, 3, 4097}));

TEST(Layer, SerialAndPooledNeuronsAgree) {
    const DenseLayer a = DenseLayer::make(6, 7, 300, 99);
    const DenseLayer b = DenseLayer::make(6, 8, 300, 99);
    const std::vector<double> x = {0.1, 0.9, 0.5, 0.0, 1.0, 0.33};
    for (auto f : {&DenseLayer::forward, &DenseLayer::forward_fused}) {
        const auto oa = (a.*f)(x, 5), ob = (b.*f)(x, 5);
        for (std::size_t j = 0; j < 7; ++j) EXPECT_EQ(oa[j], ob[j]);
    }
}

TEST(Layer, ConstructionChecksInOrder) {
    auto msg = [](std::size_t i, std::size_t n, std::size_t len) {
        try {
            DenseLayer::make(i, n, len, 1);
        } catch (const engine::Panic& p) {
            return std::string(p.what());
        }
        return std::string();
    };
    EXPECT_EQ(msg(0, 0, 0), "bitstream length must be > 0");
    EXPECT_EQ(msg(0, 0, 5), "n_inputs must be > 0");
    EXPECT_EQ(msg(3, 0, 5), "n_neurons must be > 0");
}

TEST(Layer, BatchBlocksCoverLargeBatches) {
    // More samples than one scratch block holds.
    const DenseLayer l = DenseLayer::make(300, 2, 4096, 1);
    const std::size_t n = 20;
    std::vector<double> in(n * 300, 0.5), out(n * 2);
    l.forward_batch_into(in, n, 11, out);
    for (std::size_t k : {std::size_t{0}, std::size_t{13}, n - 1}) {
        const auto row = l.forward_fused({in.data() + k * 300, 300}, k * 1000000u + 11);
        EXPECT_EQ(out[k * 2], row[0]);
        EXPECT_EQ(out[k * 2 + 1], row[1]);
    }
}

// The process's address space in bytes, as the kernel counts it against RLIMIT_AS.
std::size_t address_space() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    return 0;
}

// Builds and repacks a layer of 16 MiB of streams with address space for 1.5 such buffers;
// exits 0 when both succeed, 1 on a failed allocation.
[[noreturn]] void pack_with_room_for_one_buffer() {
    const std::size_t length = std::size_t{1} << 27;
    const std::size_t base = address_space();
    if (base == 0) std::exit(2);
    const rlim_t cap = base + length / 8 * 3 / 2;
    const rlimit lim{cap, cap};
    if (setrlimit(RLIMIT_AS, &lim) != 0) std::exit(2);
    try {
        DenseLayer l = DenseLayer::make(1, 1, length, 3);
        l.set_weights({{0.25}});
        std::exit(l.packed_weights.size() == length / 64 ? 0 : 3);
    } catch (const std::bad_alloc&) {
        std::exit(1);
    }
}

// A layer whose streams fit in memory once is built: construction and repacking hold one
// buffer of packed streams, never a second beside it. In a fresh process, as the limit stays.
TEST(Layer, PackingHoldsOneBufferOfStreams) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(pack_with_room_for_one_buffer(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
