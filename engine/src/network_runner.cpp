#include "network_runner.hpp"

#include <algorithm>
#include <array>
#include <cstring>
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

// The fired neurons below n (n may exceed the population: a projection can have more rows
// than its source has neurons).
std::span<const uint32_t> fired_below(const PopulationRunner& p, std::size_t n) {
    return {p.fired.begin(), std::lower_bound(p.fired.begin(), p.fired.end(), n)};
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
    // The name first: an unknown model is refused as such, whatever the size.
    const auto i = model_index(model);
    if (n > 0 && !i) unsupported(model);
    if (n > kMaxPopulation)
        throw engine::Error("A population holds at most " + std::to_string(kMaxPopulation) + " neurons, got " +
                            std::to_string(n) + ".");
    PopulationRunner p;
    if (n > 0) p.neurons = kTables.make_many[*i](n);
    p.spikes.assign(n, 0);
    p.currents.assign(n, 0.0);
    p.chunk_spikes.assign(engine::ceil_div(n, kChunk), 0);
    return p;
}

ProjectionRunner::ProjectionRunner(std::size_t src_, std::size_t tgt_, std::vector<std::size_t> offsets,
                                   std::vector<std::size_t> cols, std::vector<double> vals, std::size_t delay_)
    : row_offsets(std::move(offsets)), col_indices(std::move(cols)), values(std::move(vals)), src(src_),
      tgt(tgt_), delay(delay_) {
    ring.resize(delay);
}

void PopulationRunner::list_fired() {
    fired.clear();
    for (std::size_t c = 0; c < chunk_spikes.size(); ++c) {
        if (chunk_spikes[c] == 0) continue;
        const std::size_t end = std::min(size(), c * kChunk + kChunk);
        for (std::size_t k = c * kChunk; k < end; ++k)
            if (spikes[k]) fired.push_back(static_cast<uint32_t>(k));
    }
}

// The flags of 8 neurons (bytes of 0 or 1) as 8 bits, neuron b at bit b: the multiplier moves
// byte b's low bit to bit 56 + b, with no carries between the partial products.
inline uint32_t pack8(const uint8_t* flags) {
    uint64_t x;
    std::memcpy(&x, flags, 8);
    return static_cast<uint32_t>((x * 0x0102040810204080ULL) >> 56);
}

void SpikeSlot::keep(std::span<const uint32_t> rows, const std::vector<uint8_t>& flags, std::size_t n_rows) {
    bitmap = rows.size() > n_rows / 32;
    if (!bitmap) {
        words.assign(rows.begin(), rows.end());
        return;
    }
    // Dense: packed from the flags, 8 at a time, rather than bit by bit from the list.
    const std::size_t whole = n_rows / 32;
    words.resize(engine::ceil_div(n_rows, 32));
    const uint8_t* f = flags.data();
    for (std::size_t w = 0; w < whole; ++w, f += 32)
        words[w] = pack8(f) | pack8(f + 8) << 8 | pack8(f + 16) << 16 | pack8(f + 24) << 24;
    if (whole < words.size()) {
        uint32_t last = 0;
        for (std::size_t b = 0; b < n_rows % 32; ++b) last |= uint32_t{f[b]} << b;
        words[whole] = last;
    }
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
    const std::span<const uint32_t> now = fired_below(source, rows());
    if (delay == 0) {
        for (const uint32_t i : now) deliver(i);
        return;
    }
    // The slot's rows go out now and this step's take their place (in the buffer the last
    // delivery used, so that a run in its steady state allocates nothing).
    SpikeSlot& slot = ring[ring_pos];
    std::swap(delivered_, slot);
    slot.keep(now, source.spikes, std::min(rows(), source.size()));
    ring_pos = ring_pos + 1 == delay ? 0 : ring_pos + 1;
    delivered_.for_each(deliver);
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
    pool::num_threads();  // a run is a parallel operation, even one whose populations fit a chunk
    RunResult r;
    const std::size_t n_pops = populations.size();
    r.spike_counts.assign(n_pops, 0);
    r.spike_data.resize(n_pops);
    r.voltages.resize(n_pops);
    // Every step starts from zero currents and the spikes listed from the flags: the steps
    // clear what they read, and a run that stopped part-way (a panic) may have left sums
    // behind, or flags that its list does not show.
    for (PopulationRunner& p : populations) {
        std::fill(p.currents.begin(), p.currents.end(), 0.0);
        p.list_fired();
    }
    for (uint64_t t = 0; t < n_steps; ++t) {
        // A projection only reads its source's spikes of the last step and writes its target's
        // currents, so a self-projection needs no copy of them.
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
            p.list_fired();
            std::vector<uint64_t>& records = r.spike_data[pi];
            r.spike_counts[pi] += p.fired.size();
            for (const uint32_t k : p.fired) records.push_back((static_cast<uint64_t>(k) << 32) | t);
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
