#include "batch_lif.hpp"

#include <algorithm>

#include "error.hpp"
#include "pool.hpp"

namespace batch_lif {

namespace {

// Below this many neuron steps in all, the pool's hand-off costs more than it saves.
constexpr std::size_t kParallelSteps = 65536;
// Each pool task gets whole rows worth at least this many steps.
constexpr std::size_t kTaskSteps = 16384;

// The outputs must hold what the run writes; callers size them from the inputs.
void require_outputs(std::size_t n, std::span<int32_t> spikes, std::span<int16_t> voltages) {
    if (spikes.size() != n || voltages.size() != n)
        engine::panic_eq("batch run outputs do not match the steps", std::min(spikes.size(), voltages.size()), n);
}

}  // namespace

void run_constant(const LifParams& p, Gains g, int16_t i_t, int16_t noise_in, std::span<int32_t> spikes,
                  std::span<int16_t> voltages) {
    require_outputs(spikes.size(), spikes, voltages);
    neuron::FixedPointLif lif(p);
    for (std::size_t t = 0; t < spikes.size(); ++t) {
        const auto [s, v] = lif.step(g.leak_k, g.gain_k, i_t, noise_in);
        spikes[t] = s;
        voltages[t] = v;
    }
}

void run_multi(const LifParams& p, Gains g, std::span<const int16_t> currents, std::size_t n_steps,
               std::span<int32_t> spikes, std::span<int16_t> voltages) {
    const std::size_t rows = currents.size();
    require_outputs(engine::checked_mul(rows, n_steps), spikes, voltages);
    if (rows == 0 || n_steps == 0) return;
    auto run_rows = [&](std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r)
            run_constant(p, g, currents[r], 0, spikes.subspan(r * n_steps, n_steps),
                         voltages.subspan(r * n_steps, n_steps));
    };
    if (rows == 1 || rows * n_steps < kParallelSteps) {
        pool::num_threads();  // a parallel operation, even inline
        run_rows(0, rows);
        return;
    }
    const std::size_t grain = std::max<std::size_t>(1, kTaskSteps / n_steps);
    pool::parallel_chunks(rows, grain, run_rows);
}

void run_varying(const LifParams& p, Gains g, std::span<const int16_t> currents,
                 std::span<const int16_t> noises, std::span<int32_t> spikes, std::span<int16_t> voltages) {
    require_outputs(currents.size(), spikes, voltages);
    if (!noises.empty() && noises.size() != currents.size())
        engine::panic_eq("noises do not match the currents", noises.size(), currents.size());
    neuron::FixedPointLif lif(p);
    for (std::size_t t = 0; t < currents.size(); ++t) {
        const int16_t noise = noises.empty() ? int16_t{0} : noises[t];
        const auto [s, v] = lif.step(g.leak_k, g.gain_k, currents[t], noise);
        spikes[t] = s;
        voltages[t] = v;
    }
}

}  // namespace batch_lif
