#include "grad/surrogate.hpp"

#include <cmath>
#include <string>

#include "error.hpp"

namespace grad::surrogate {

namespace {

struct Name {
    const char* text;
    SurrogateKind kind;
};

constexpr Name kNames[] = {
    {"fast_sigmoid", SurrogateKind::FastSigmoid},
    {"superspike", SurrogateKind::SuperSpike},
    {"super_spike", SurrogateKind::SuperSpike},
    {"arctan", SurrogateKind::ArcTan},
    {"arc_tan", SurrogateKind::ArcTan},
    {"ste", SurrogateKind::StraightThrough},
    {"straight_through", SurrogateKind::StraightThrough},
    {"straightthrough", SurrogateKind::StraightThrough},
};

float default_k(SurrogateKind kind) {
    switch (kind) {
        case SurrogateKind::FastSigmoid: return 25.0f;
        case SurrogateKind::SuperSpike: return 100.0f;
        case SurrogateKind::ArcTan: return 10.0f;
        case SurrogateKind::StraightThrough: break;
    }
    return 0.0f;
}

}  // namespace

Surrogate parse_surrogate(const std::string& name, std::optional<float> k) {
    std::string norm = name;
    for (char& c : norm) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        else if (c == '-') c = '_';
    }
    for (const Name& n : kNames) {
        if (norm != n.text) continue;
        if (n.kind == SurrogateKind::StraightThrough) return {n.kind, 0.0f};
        return {n.kind, k ? *k : default_k(n.kind)};
    }
    throw engine::Error("Unknown surrogate '" + name +
                        "'. Use one of: fast_sigmoid, superspike, arctan, straight_through.");
}

float surrogate_grad(SurrogateKind kind, float k, float x) {
    // Every operand is a float, so each step rounds to single precision.
    switch (kind) {
        case SurrogateKind::FastSigmoid: {
            const float t = 1.0f + k * std::fabs(x);
            return 1.0f / ((2.0f * k) * t * t);
        }
        case SurrogateKind::SuperSpike: {
            const float t = 1.0f + k * std::fabs(x);
            return 1.0f / (t * t);
        }
        case SurrogateKind::ArcTan: {
            const float kx = k * x;
            return 1.0f / (1.0f + kx * kx);
        }
        case SurrogateKind::StraightThrough: return std::fabs(x) < 0.5f ? 1.0f : 0.0f;
    }
    return 0.0f;
}

std::pair<int32_t, int16_t> SurrogateLif::forward(int16_t leak_k, int16_t gain_k, int16_t i_t,
                                                  int16_t noise_in) {
    const auto [spike, v] = lif.step(leak_k, gain_k, i_t, noise_in);
    // After a spike v is the reset value the step returns, so that is the distance recorded.
    const float scale = static_cast<float>(uint32_t{1} << (lif.fraction & 31u));
    const float x = (static_cast<float>(v) - static_cast<float>(lif.v_threshold)) / scale;
    trace.emplace_back(x, static_cast<float>(spike));
    return {spike, v};
}

float SurrogateLif::backward(float grad_output) {
    if (trace.empty()) throw engine::Error("backward() called without matching forward()");
    const float x = trace.back().first;
    trace.pop_back();
    return grad_output * surrogate_grad(kind, k, x);
}

void SurrogateLif::reset() {
    lif.reset();
    trace.clear();
}

std::vector<double> DifferentiableDenseLayer::forward(std::span<const double> input_values,
                                                      uint64_t seed) {
    std::vector<double> out = layer.forward(input_values, seed);
    input_cache.assign(input_values.begin(), input_values.end());
    output_cache = out;
    return out;
}

std::pair<std::vector<double>, std::vector<std::vector<double>>> DifferentiableDenseLayer::backward(
    std::span<const double> grad_output) const {
    const std::size_t n_in = layer.n_inputs;
    const std::size_t n_out = layer.n_neurons;
    if (input_cache.size() != n_in)
        throw engine::Error("backward() called before a valid forward() input cache.");
    if (output_cache.size() != n_out)
        throw engine::Error("backward() called before a valid forward() output cache.");
    if (grad_output.size() != output_cache.size())
        throw engine::Error("Expected grad_output length " + std::to_string(n_out) + ", got " +
                            std::to_string(grad_output.size()) + ".");
    std::vector<double> grad_input(n_in, 0.0);
    std::vector<std::vector<double>> weight_grads(n_out, std::vector<double>(n_in, 0.0));
    for (std::size_t j = 0; j < n_out; ++j) {
        // Outputs lie in [0, n_inputs]; the surrogate is centred at 0.5.
        const float x = static_cast<float>(output_cache[j] - 0.5);
        const double d = static_cast<double>(surrogate_grad(kind, k, x)) * grad_output[j];
        const std::vector<double>& w = layer.weights[j];
        std::vector<double>& wg = weight_grads[j];
        for (std::size_t i = 0; i < n_in; ++i) {
            wg[i] = input_cache[i] * d;
            grad_input[i] = w[i] * d + grad_input[i];
        }
    }
    return {std::move(grad_input), std::move(weight_grads)};
}

void DifferentiableDenseLayer::update_weights(const std::vector<std::vector<double>>& weight_grads,
                                              double lr) {
    if (weight_grads.size() != layer.n_neurons)
        throw engine::Error("Expected " + std::to_string(layer.n_neurons) + " grad rows, got " +
                            std::to_string(weight_grads.size()) + ".");
    for (const auto& row : weight_grads)
        if (row.size() != layer.n_inputs)
            throw engine::Error("Expected each grad row to have length " + std::to_string(layer.n_inputs) + ".");
    for (std::size_t j = 0; j < layer.n_neurons; ++j) {
        std::vector<double>& w = layer.weights[j];
        for (std::size_t i = 0; i < layer.n_inputs; ++i) {
            double v = w[i] - lr * weight_grads[j][i];
            // Plain comparisons: a NaN weight stays NaN.
            if (v < 0.0) v = 0.0;
            else if (v > 1.0) v = 1.0;
            w[i] = v;
        }
    }
    layer.refresh_packed_weights();
}

}  // namespace grad::surrogate
