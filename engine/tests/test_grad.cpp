// Differentiable dense layer paths that the Python class cannot reach: a lone input cache and
// the engine's own response to a gradient grid of the wrong shape.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error.hpp"
#include "grad/surrogate.hpp"
#include "layer.hpp"

using grad::surrogate::DifferentiableDenseLayer;
using grad::surrogate::parse_surrogate;

namespace {

DifferentiableDenseLayer make_layer() {
    return DifferentiableDenseLayer(layer::DenseLayer::make(3, 2, 100, 9),
                                    parse_surrogate("arctan", std::nullopt));
}

std::string backward_message(const DifferentiableDenseLayer& l, std::vector<double> grad) {
    try {
        l.backward(grad);
    } catch (const engine::Error& e) {
        return e.what();
    }
    return "";
}

TEST(DifferentiableDense, OutputCacheIsCheckedAfterTheInputCache) {
    DifferentiableDenseLayer l = make_layer();
    l.input_cache = {0.1, 0.2, 0.3};
    EXPECT_EQ(backward_message(l, {1.0, 1.0}), "backward() called before a valid forward() output cache.");
    l.output_cache = {0.5};
    EXPECT_EQ(backward_message(l, {1.0}), "backward() called before a valid forward() output cache.");
    l.input_cache.pop_back();
    EXPECT_EQ(backward_message(l, {1.0}), "backward() called before a valid forward() input cache.");
}

TEST(DifferentiableDense, MisshapenGradientsAreRefusedAndChangeNothing) {
    DifferentiableDenseLayer l = make_layer();
    const auto weights = l.layer.weights;
    const auto packed = l.layer.packed_weights;
    const std::vector<std::vector<std::vector<double>>> bad = {
        {{1, 1, 1}},
        {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}},
        {{1, 1, 1}, {1, 1}},
        {{1, 1, 1, 1}, {1, 1, 1}},
    };
    for (const auto& g : bad) {
        EXPECT_THROW(l.update_weights(g, 1.0), engine::Error);
        EXPECT_EQ(l.layer.weights, weights);
        EXPECT_EQ(l.layer.packed_weights, packed);
    }
}

TEST(DifferentiableDense, UpdateRepacksLikeSetWeights) {
    DifferentiableDenseLayer l = make_layer();
    l.update_weights({{0.1, -0.2, 0.3}, {-0.4, 0.5, 2.0}}, 0.5);
    layer::DenseLayer fresh = layer::DenseLayer::make(3, 2, 100, 9);
    fresh.set_weights(l.layer.weights);
    EXPECT_EQ(l.layer.weights[1][2], 0.0);
    EXPECT_EQ(l.layer.packed_weights, fresh.packed_weights);
}

}  // namespace
