// The dense layer's fused forward pass, which encodes each input once and counts it against every
// neuron's streams, against the literal per-neuron re-encoding of every input, on one layer.
//
//   build/bench_dense [n_inputs n_neurons length]     (default 1024 256 1024)
//
// Prints one line: both times per call (best of several runs) and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "layer.hpp"
#include "rng.hpp"

namespace {

template <class F>
double best_seconds(int runs, F&& f) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        best = std::min(best, d.count());
    }
    return best;
}

std::size_t arg_or(int argc, char** argv, int k, std::size_t fallback) {
    return argc > k ? std::strtoull(argv[k], nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n_inputs = arg_or(argc, argv, 1, 1024), n_neurons = arg_or(argc, argv, 2, 256),
                      length = arg_or(argc, argv, 3, 1024);
    const layer::DenseLayer l = layer::DenseLayer::make(n_inputs, n_neurons, length, 24301);
    rng::Xoshiro256pp g(7);
    std::vector<double> x(n_inputs);
    for (double& v : x) v = g.next_f64();

    // Both must compute the same thing, or the ratio means nothing.
    std::vector<double> fast, slow;
    const double t_fast = best_seconds(20, [&] { fast = l.forward_fused(x, 44257); });
    const double t_slow = best_seconds(5, [&] { slow = l.forward_fused_reference(x, 44257); });
    if (fast != slow) {
        std::fprintf(stderr, "bench_dense: fused and per-neuron outputs differ\n");
        return 1;
    }
    std::printf("forward_fused vs per-neuron re-encoding (%zu inputs x %zu neurons, length %zu): "
                "%.3f ms vs %.3f ms per call, fused path %.1fx faster\n",
                n_inputs, n_neurons, length, t_fast * 1e3, t_slow * 1e3, t_slow / t_fast);
    return 0;
}
