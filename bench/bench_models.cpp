// The model records' own steps, timed without the interpreter, for bench_models.py: it prints
// each Python call beside the step it wraps, so that the binding's share shows apart from the
// step's work.
//
//   build/bench_models        prints one "name seconds_per_call" line per case
//
// Each case mirrors its Python counterpart: one record built with the Python defaults, the
// same arguments on every call, repeated runs on the same record, the fastest run kept.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "neurons/ai_optimized.hpp"
#include "neurons/biophysical.hpp"
#include "neurons/multi_compartment.hpp"
#include "neurons/rate.hpp"
#include "neurons/special.hpp"

namespace {

// Keeps a result alive so that the step is not optimised away.
template <class T>
void keep(const T& v) {
    asm volatile("" : : "g"(&v) : "memory");
}

template <class M, class... A>
double seconds_per_call(M rec, long calls, int repeats, const A&... args) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        for (long i = 0; i < calls; ++i) {
            auto out = rec.step(args...);
            keep(out);
        }
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        best = std::min(best, dt.count() / static_cast<double>(calls));
    }
    return best;
}

}  // namespace

int main() {
    // The call counts and repeats match bench_models.py's for the same names.
    const int R = 5;
    std::printf("WongWangUnit %.6e\n", seconds_per_call(neurons::special::WongWangUnit(), 1000000, R, 0.1, 0.2));
    std::printf("HodgkinHuxleyNeuron %.6e\n",
                seconds_per_call(neurons::biophysical::HodgkinHuxleyNeuron(), 20000, R, 10.0));
    std::printf("HayL5PyramidalNeuron %.6e\n",
                seconds_per_call(neurons::multi_compartment::HayL5PyramidalNeuron(), 200000, R, 1.0, 0.0));
    std::printf("SiegertTransferFunction %.6e\n",
                seconds_per_call(neurons::rate::SiegertTransferFunction(), 200000, R, 30.0));
    std::printf("NativeContinuousAttractorNeuron %.6e\n",
                seconds_per_call(neurons::ai_optimized::ContinuousAttractorNeuron(), 200000, R, 0.5));
    std::printf("ArcaneNeuron %.6e\n", seconds_per_call(neurons::ai_optimized::ArcaneNeuron(), 1000000, R, 3.0));
    const std::vector<double> field(64, 0.5);
    std::printf("AmariNeuralField %.6e\n", seconds_per_call(neurons::rate::AmariNeuralField(), 50000, R, field));
    return 0;
}
