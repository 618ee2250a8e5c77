#include "network_runner.hpp"

#include <array>
#include <functional>

#include "error.hpp"
#include "pool.hpp"

namespace network_runner {
namespace {

using One = Variants<Indices>::One;
using Many = Variants<Indices>::Many;

template <std::size_t I>
constexpr const auto& model_at() {
    return std::get<I>(kModels);
}

[[noreturn]] void unsupported(std::string_view name) {
    throw engine::Error("Unsupported model: '" + std::string(name) + "'");
}

// Per-row operations reached by the variant's index in one table read.
template <std::size_t I>
double soma_of(const One& v) {
    return model_at<I>().soma(*std::get_if<I>(&v));
}
template <std::size_t I>
One make_one() {
    return One(std::in_place_index<I>, model_at<I>().make());
}
template <std::size_t I>
Many make_many(std::size_t n) {
    const RecordAt<I> proto = model_at<I>().make();
    return Many(std::in_place_index<I>, n, proto);
}
template <std::size_t I>
void voltages_of(const Many& m, std::vector<double>& out) {
    const auto& store = *std::get_if<I>(&m);
    if constexpr (kColumnar<RecordAt<I>>) {
        for (std::size_t k = 0; k < store.n; ++k) out.push_back(model_at<I>().soma(store.get(k)));
    } else {
        for (const auto& r : store) out.push_back(model_at<I>().soma(r));
    }
}

template <std::size_t... I>
constexpr auto tables(std::index_sequence<I...>) {
    struct Tables {
        std::array<double (*)(const One&), kVariants> soma;
        std::array<One (*)(), kVariants> make_one;
        std::array<Many (*)(std::size_t), kVariants> make_many;
        std::array<void (*)(const Many&, std::vector<double>&), kVariants> voltages;
    };
    return Tables{{&soma_of<I>...}, {&make_one<I>...}, {&make_many<I>...}, {&voltages_of<I>...}};
}
constexpr auto kTables = tables(Indices{});

template <std::size_t... I>
std::optional<std::size_t> find(std::string_view name, std::index_sequence<I...>) {
    std::optional<std::size_t> found;
    const auto is = [&](std::size_t i, const char* a, const char* b) {
        if (name == a || (b && name == b)) found = i;
        return found.has_value();
    };
    (is(I, model_at<I>().name, model_at<I>().long_name) || ...);
    return found;
}

// Calls f(k) for every set flag k < n of the chunks whose count is not zero, in order (n may
// exceed the population: a projection can have more rows than its source has neurons).
template <class F>
void for_each_spike(const PopulationRunner& p, std::size_t n, F&& f) {
    n = std::min(n, p.size());
    for (std::size_t c = 0; c < p.chunk_spikes.size() && c * kChunk < n; ++c) {
        if (p.chunk_spikes[c] == 0) continue;
        const std::size_t end = std::min(n, c * kChunk + kChunk);
        for (std::size_t k = c * kChunk; k < end; ++k)
            if (p.spikes[k]) f(k);
    }
}

}  // namespace

int32_t NeuronVariant::step(double current) {
    return std::visit([current](auto& r) { return static_cast<int32_t>(r.step(current)); }, record);
}

double NeuronVariant::soma_voltage() const { return kTables.soma[record.index()](record); }

std::optional<std::size_t> model_index(std::string_view name) { return find(name, Indices{}); }

NeuronVariant create_neuron(std::string_view name) {
    const auto i = model_index(name);
    if (!i) unsupported(name);
    return NeuronVariant{kTables.make_one[*i]()};
}

std::vector<std::string> supported_models() {
    std::vector<std::string> out;
    std::apply([&](const auto&... m) { ((m.listed_as ? void(out.emplace_back(m.listed_as)) : void()), ...); },
               kModels);
    return out;
}

PopulationRunner create_population(std::string_view model, std::size_t n) {
    if (n > kMaxPopulation)
        throw engine::Error("A population holds at most " + std::to_string(kMaxPopulation) + " neurons, got " +
                            std::to_string(n) + ".");
    PopulationRunner p;
    if (n > 0) {
        const auto i = model_index(model);
        if (!i) unsupported(model);
        p.neurons = kTables.make_many[*i](n);
    }
    p.spikes.assign(n, 0);
    p.currents.assign(n, 0.0);
    p.chunk_spikes.assign(engine::ceil_div(n, kChunk), 0);
    return p;
}

ProjectionRunner::ProjectionRunner(std::size_t src_, std::size_t tgt_, std::vector<std::size_t> offsets,
                                   std::vector<std::size_t> cols, std::vector<double> vals, std::size_t delay_)
    : row_offsets(std::move(offsets)), col_indices(std::move(cols)), values(std::move(vals)), src(src_),
      tgt(tgt_), delay(delay_) {
    ring.assign(delay, std::vector<uint8_t>(rows(), 0));
}

void ProjectionRunner::propagate(const PopulationRunner& source, std::vector<double>& currents) {
    const std::size_t n_targets = currents.size();
    // Row i's weights, for a source neuron i that spiked.
    const auto deliver = [&](std::size_t i) {
        const std::size_t end = row_offsets[i + 1];
        for (std::size_t j = row_offsets[i]; j < end; ++j) {
            const std::size_t c = engine::at(col_indices, j);
            if (c < n_targets) currents[c] = engine::at(values, j) + currents[c];
        }
    };
    if (delay == 0) {
        for_each_spike(source, rows(), deliver);
        return;
    }
    // The slot's flags go out now and this step's flags take their place.
    std::vector<uint8_t>& slot = ring[ring_pos];
    std::swap(delivered_, slot);
    slot.assign(source.spikes.begin(), source.spikes.end());
    ring_pos = ring_pos + 1 == delay ? 0 : ring_pos + 1;
    const std::size_t n_rows = std::min(rows(), delivered_.size());
    for (std::size_t i = 0; i < n_rows; ++i)
        if (delivered_[i]) deliver(i);
}

std::size_t NetworkRunner::add_population(PopulationRunner p) {
    populations.push_back(std::move(p));
    return populations.size() - 1;
}

void NetworkRunner::add_projection(ProjectionRunner p) { projections.push_back(std::move(p)); }

RunResult NetworkRunner::run(uint64_t n_steps) {
    if (n_steps > kMaxRunSteps)
        throw engine::Error("A run takes at most " + std::to_string(kMaxRunSteps) + " steps, got " +
                            std::to_string(n_steps) + ".");
    RunResult r;
    const std::size_t n_pops = populations.size();
    r.spike_counts.assign(n_pops, 0);
    r.spike_data.resize(n_pops);
    r.voltages.resize(n_pops);
    // Every step starts from zero currents: the steps clear what they read, and a run that
    // stopped part-way (a panic) may have left sums behind.
    for (PopulationRunner& p : populations) std::fill(p.currents.begin(), p.currents.end(), 0.0);
    for (uint64_t t = 0; t < n_steps; ++t) {
        // A projection only reads its source's flags and writes its target's currents, so a
        // self-projection needs no copy of the flags.
        for (ProjectionRunner& proj : projections)
            proj.propagate(engine::at(populations, proj.src), engine::at(populations, proj.tgt).currents);
        for (std::size_t pi = 0; pi < n_pops; ++pi) {
            PopulationRunner& p = populations[pi];
            const std::size_t chunks = p.chunk_spikes.size();
            if (chunks <= 1) {
                if (chunks == 1) step_chunk(p, 0);
            } else {
                pool::parallel_for_affine(chunks, [&p](std::size_t c) { step_chunk(p, c); });
            }
            std::vector<uint64_t>& records = r.spike_data[pi];
            for_each_spike(p, p.size(), [&](std::size_t k) {
                ++r.spike_counts[pi];
                records.push_back((static_cast<uint64_t>(k) << 32) | t);
            });
        }
    }
    for (std::size_t pi = 0; pi < n_pops; ++pi) {
        const PopulationRunner& p = populations[pi];
        r.voltages[pi].reserve(p.size());
        kTables.voltages[p.neurons.index()](p.neurons, r.voltages[pi]);
    }
    return r;
}

BatchResult batch_simulate(NeuronVariant neuron, uint64_t n_steps, std::span<const double> trace) {
    BatchResult r;
    const uint64_t steps = std::min<uint64_t>(n_steps, trace.size());
    r.voltages.reserve(steps);
    for (uint64_t i = 0; i < steps; ++i) {
        const int32_t code = neuron.step(trace[i]);
        r.voltages.push_back(neuron.soma_voltage());
        if (code != 0) r.spikes.push_back(i);
    }
    r.n_steps = steps;
    return r;
}

}  // namespace network_runner
