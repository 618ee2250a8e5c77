// Dense-layer messages that the Python class cannot reach: the flat buffer's length and the
// batch sizes are derived from the array shapes there.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "layer.hpp"

using layer::DenseLayer;

namespace {

struct Case {
    const char* name;
    std::function<void(const DenseLayer&)> call;
    const char* message;
};

class DenseErrors : public ::testing::TestWithParam<Case> {};

// 3 inputs, 4 neurons, 2 words per stream.
const DenseLayer& layer3x4() {
    static const DenseLayer l = DenseLayer::make(3, 4, 100, 1);
    return l;
}

constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max() / 2;

TEST_P(DenseErrors, Message) {
    const Case& c = GetParam();
    try {
        c.call(layer3x4());
        FAIL() << "no error";
    } catch (const engine::Error& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dense, DenseErrors,
    ::testing::Values(
        Case{"FlatShort",
             [](const DenseLayer& l) {
                 std::vector<uint64_t> flat(5);
                 l.forward_prepacked_2d(flat, 3, 2);
             },
             "Flat buffer length 5 != n_inputs(3) * words(2)."},
        Case{"FlatLong",
             [](const DenseLayer& l) {
                 std::vector<uint64_t> flat(7);
                 l.forward_prepacked_2d(flat, 3, 2);
             },
             "Flat buffer length 7 != n_inputs(3) * words(2)."},
        Case{"FlatRowsFirst",
             [](const DenseLayer& l) {
                 std::vector<uint64_t> flat(1);
                 l.forward_prepacked_2d(flat, 2, 5);
             },
             "Expected 3 packed inputs, got 2."},
        Case{"BatchInputLength",
             [](const DenseLayer& l) {
                 std::vector<double> in(5), out(8);
                 l.forward_batch_into(in, 2, 1, out);
             },
             "Expected 6 values (2\u00d73), got 5."},
        Case{"BatchOutputLength",
             [](const DenseLayer& l) {
                 std::vector<double> in(6), out(7);
                 l.forward_batch_into(in, 2, 1, out);
             },
             "Expected output length 8 (2\u00d74), got 7."},
        Case{"EmptyBatchWithOutput",
             [](const DenseLayer& l) {
                 std::vector<double> out(3);
                 l.forward_batch_into({}, 0, 1, out);
             },
             "Expected output length 0 (0\u00d74), got 3."},
        Case{"BatchInputOverflow",
             [](const DenseLayer& l) {
                 std::vector<double> out(1);
                 l.forward_batch_into({}, kHuge, 1, out);
             },
             "Input size overflow when validating n_samples * n_inputs."}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(DenseErrorsBatch, OutputOverflowIsCheckedAfterTheInputLength) {
    // One input per sample, so the input product fits and the output one does not. The span only
    // carries its size: the check fails before any element is read.
    const DenseLayer l = DenseLayer::make(1, 3, 64, 1);
    double dummy = 0.0;
    const std::span<const double> in(&dummy, kHuge);
    std::vector<double> out(1);
    try {
        l.forward_batch_into(in, kHuge, 1, out);
        FAIL() << "no error";
    } catch (const engine::Error& e) {
        EXPECT_EQ(std::string(e.what()), "Output size overflow when validating n_samples * n_neurons.");
    }
}

}  // namespace
