// Networks of populations by model name: the model table, the variant of one neuron, the
// factory, and the runner that steps populations joined by sparse delayed projections.
//
// The table below is the one place that knows the network models: each row names a model
// record, the names it answers to, whether supported_models() lists it, what soma_voltage
// reads and (where it differs from the record's own defaults) how the factory builds it.
// Everything else derives from it: NeuronVariant is a variant over the rows' records in row
// order, create_neuron matches the rows' names, and a population stores one vector of the
// record its model names. Every neuron is advanced by its record's own step, the function the
// model's Python class calls, so that both agree bit for bit.
#pragma once
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "neuron.hpp"
#include "neurons/ai_optimized.hpp"
#include "neurons/biophysical.hpp"
#include "neurons/hardware.hpp"
#include "neurons/maps.hpp"
#include "neurons/multi_compartment.hpp"
#include "neurons/rate.hpp"
#include "neurons/simple_spiking.hpp"
#include "neurons/special.hpp"
#include "neurons/trivial.hpp"

namespace network_runner {

// One row of the table: a model record R and what the network needs of it.
template <class R>
struct Model {
    using Record = R;
    const char* name;       // the short name
    const char* long_name;  // the second accepted name (nullptr: none)
    const char* listed_as;  // the name supported_models() gives it (nullptr: not listed)
    double (*soma)(const R&);
    R (*make)();
};

// The soma value read from a field.
template <auto Field>
double field(const auto& r) {
    return r.*Field;
}

// A cable reports its first compartment (0.0 when it has none).
inline double first_compartment(const neurons::multi_compartment::RallCableNeuron& r) {
    return r.voltages.empty() ? 0.0 : r.voltages[0];
}

// A model without a membrane value of its own reports 0.0.
template <class R>
double reads_zero(const R&) {
    return 0.0;
}

// The record of the model's Python class built without arguments.
template <class R>
R built_by_default() {
    return R();
}

// The common row: built by default, listed under its short name, the soma value a field.
template <class R, auto Soma>
constexpr Model<R> row(const char* name, const char* long_name, const char* listed_as) {
    return {name, long_name, listed_as, &field<Soma>, &built_by_default<R>};
}
template <class R, auto Soma>
constexpr Model<R> row(const char* name, const char* long_name) {
    return row<R, Soma>(name, long_name, name);
}

namespace ai = neurons::ai_optimized;
namespace bio = neurons::biophysical;
namespace hw = neurons::hardware;
namespace maps = neurons::maps;
namespace mc = neurons::multi_compartment;
namespace rate = neurons::rate;
namespace s = neurons::special;
namespace ss = neurons::simple_spiking;
namespace t = neurons::trivial;

// The network models in variant order. The random models (GIFPopulation, StochasticIF,
// GalvesLocherbach, GLM) are all seeded 42, so neurons of one model start alike.
inline constexpr auto kModels = std::make_tuple(
    row<neuron::Izhikevich, &neuron::Izhikevich::v>("Izhikevich", nullptr),
    row<neuron::AdExNeuron, &neuron::AdExNeuron::v>("AdEx", "AdExNeuron"),
    row<neuron::ExpIFNeuron, &neuron::ExpIFNeuron::v>("ExpIF", "ExpIfNeuron"),
    row<neuron::LapicqueNeuron, &neuron::LapicqueNeuron::v>("Lapicque", "LapicqueNeuron"),
    row<neuron::HomeostaticLif, &neuron::HomeostaticLif::v>("HomeostaticLif", nullptr),
    row<bio::HodgkinHuxleyNeuron, &bio::HodgkinHuxleyNeuron::v>("HodgkinHuxley", "HodgkinHuxleyNeuron"),
    row<bio::TraubMilesNeuron, &bio::TraubMilesNeuron::v>("TraubMiles", "TraubMilesNeuron"),
    row<bio::WangBuzsakiNeuron, &bio::WangBuzsakiNeuron::v>("WangBuzsaki", "WangBuzsakiNeuron"),
    row<bio::ConnorStevensNeuron, &bio::ConnorStevensNeuron::v>("ConnorStevens", "ConnorStevensNeuron"),
    row<bio::DestexheThalamicNeuron, &bio::DestexheThalamicNeuron::v>("DestexheThalamic", "DestexheThalamicNeuron"),
    row<bio::HuberBraunNeuron, &bio::HuberBraunNeuron::v>("HuberBraun", "HuberBraunNeuron", nullptr),
    row<bio::GolombFSNeuron, &bio::GolombFSNeuron::v>("GolombFS", "GolombFSNeuron", nullptr),
    row<bio::PospischilNeuron, &bio::PospischilNeuron::v>("Pospischil", "PospischilNeuron", nullptr),
    row<bio::MainenSejnowskiNeuron, &bio::MainenSejnowskiNeuron::vs>("MainenSejnowski", "MainenSejnowskiNeuron", nullptr),
    row<bio::DeSchutterPurkinjeNeuron, &bio::DeSchutterPurkinjeNeuron::v>("DeSchutterPurkinje", "DeSchutterPurkinjeNeuron", nullptr),
    row<bio::PlantR15Neuron, &bio::PlantR15Neuron::v>("PlantR15", "PlantR15Neuron", nullptr),
    row<bio::PrescottNeuron, &bio::PrescottNeuron::v>("Prescott", "PrescottNeuron", nullptr),
    row<bio::MihalasNieburNeuron, &bio::MihalasNieburNeuron::v>("MihalasNiebur", "MihalasNieburNeuron", nullptr),
    row<bio::GLIFNeuron, &bio::GLIFNeuron::v>("GLIF", "GLIFNeuron", nullptr),
    row<bio::GIFPopulationNeuron, &bio::GIFPopulationNeuron::v>("GIFPopulation", "GIFPopulationNeuron", nullptr),
    row<bio::AvRonCardiacNeuron, &bio::AvRonCardiacNeuron::v>("AvRonCardiac", "AvRonCardiacNeuron", nullptr),
    row<bio::DurstewitzDopamineNeuron, &bio::DurstewitzDopamineNeuron::v>("DurstewitzDopamine", "DurstewitzDopamineNeuron", nullptr),
    row<bio::HillTononiNeuron, &bio::HillTononiNeuron::v>("HillTononi", "HillTononiNeuron", nullptr),
    row<bio::BertramPhantomBurster, &bio::BertramPhantomBurster::v>("BertramPhantom", "BertramPhantomBurster", nullptr),
    row<bio::YamadaNeuron, &bio::YamadaNeuron::v>("Yamada", "YamadaNeuron", nullptr),
    row<ss::FitzHughNagumoNeuron, &ss::FitzHughNagumoNeuron::v>("FitzHughNagumo", "FitzHughNagumoNeuron"),
    row<ss::MorrisLecarNeuron, &ss::MorrisLecarNeuron::v>("MorrisLecar", "MorrisLecarNeuron"),
    row<ss::HindmarshRoseNeuron, &ss::HindmarshRoseNeuron::x>("HindmarshRose", "HindmarshRoseNeuron"),
    row<ss::ResonateAndFireNeuron, &ss::ResonateAndFireNeuron::x>("ResonateAndFire", "ResonateAndFireNeuron"),
    row<ss::FitzHughRinzelNeuron, &ss::FitzHughRinzelNeuron::v>("FitzHughRinzel", "FitzHughRinzelNeuron"),
    row<ss::McKeanNeuron, &ss::McKeanNeuron::v>("McKean", "McKeanNeuron"),
    row<ss::TermanWangOscillator, &ss::TermanWangOscillator::v>("TermanWang", "TermanWangOscillator"),
    row<ss::GutkinErmentroutNeuron, &ss::GutkinErmentroutNeuron::v>("GutkinErmentrout", "GutkinErmentroutNeuron"),
    row<ss::WilsonHRNeuron, &ss::WilsonHRNeuron::v>("WilsonHR", "WilsonHRNeuron"),
    row<ss::ChayNeuron, &ss::ChayNeuron::v>("Chay", "ChayNeuron"),
    row<ss::ChayKeizerNeuron, &ss::ChayKeizerNeuron::v>("ChayKeizer", "ChayKeizerNeuron"),
    row<ss::ShermanRinzelKeizerNeuron, &ss::ShermanRinzelKeizerNeuron::v>("ShermanRinzelKeizer", "ShermanRinzelKeizerNeuron"),
    row<ss::ButeraRespiratoryNeuron, &ss::ButeraRespiratoryNeuron::v>("ButeraRespiratory", "ButeraRespiratoryNeuron"),
    row<ss::EPropALIFNeuron, &ss::EPropALIFNeuron::v>("EPropALIF", "EPropALIFNeuron"),
    row<ss::SuperSpikeNeuron, &ss::SuperSpikeNeuron::v>("SuperSpike", "SuperSpikeNeuron"),
    row<ss::LearnableNeuronModel, &ss::LearnableNeuronModel::v>("LearnableNeuron", "LearnableNeuronModel"),
    row<ss::PernarowskiNeuron, &ss::PernarowskiNeuron::v>("Pernarowski", "PernarowskiNeuron"),
    row<t::QuadraticIFNeuron, &t::QuadraticIFNeuron::v>("QuadraticIF", "QuadraticIFNeuron"),
    row<t::ThetaNeuron, &t::ThetaNeuron::theta>("Theta", "ThetaNeuron"),
    row<t::PerfectIntegratorNeuron, &t::PerfectIntegratorNeuron::v>("PerfectIntegrator", "PerfectIntegratorNeuron"),
    row<t::GatedLIFNeuron, &t::GatedLIFNeuron::v>("GatedLIF", "GatedLIFNeuron"),
    row<t::NonlinearLIFNeuron, &t::NonlinearLIFNeuron::v>("NonlinearLIF", "NonlinearLIFNeuron"),
    row<t::SFANeuron, &t::SFANeuron::v>("SFA", "SFANeuron"),
    row<t::MATNeuron, &t::MATNeuron::v>("MAT", "MATNeuron"),
    row<t::KLIFNeuron, &t::KLIFNeuron::v>("KLIF", "KLIFNeuron"),
    row<t::InhibitoryLIFNeuron, &t::InhibitoryLIFNeuron::v>("InhibitoryLIF", "InhibitoryLIFNeuron"),
    row<t::ComplementaryLIFNeuron, &t::ComplementaryLIFNeuron::v_pos>("ComplementaryLIF", "ComplementaryLIFNeuron"),
    row<t::ParametricLIFNeuron, &t::ParametricLIFNeuron::v>("ParametricLIF", "ParametricLIFNeuron"),
    row<t::NonResettingLIFNeuron, &t::NonResettingLIFNeuron::v>("NonResettingLIF", "NonResettingLIFNeuron"),
    row<t::AdaptiveThresholdIFNeuron, &t::AdaptiveThresholdIFNeuron::v>("AdaptiveThresholdIF", "AdaptiveThresholdIFNeuron"),
    row<t::SigmaDeltaNeuron, &t::SigmaDeltaNeuron::sigma>("SigmaDelta", "SigmaDeltaNeuron"),
    row<t::EnergyLIFNeuron, &t::EnergyLIFNeuron::v>("EnergyLIF", "EnergyLIFNeuron"),
    row<t::ClosedFormContinuousNeuron, &t::ClosedFormContinuousNeuron::x>("ClosedFormContinuous", "ClosedFormContinuousNeuron"),
    row<maps::ChialvoMapNeuron, &maps::ChialvoMapNeuron::x>("ChialvoMap", "ChialvoMapNeuron"),
    row<maps::RulkovMapNeuron, &maps::RulkovMapNeuron::x>("RulkovMap", "RulkovMapNeuron"),
    row<maps::IbarzTanakaMapNeuron, &maps::IbarzTanakaMapNeuron::x>("IbarzTanakaMap", "IbarzTanakaMapNeuron"),
    row<maps::MedvedevMapNeuron, &maps::MedvedevMapNeuron::x>("MedvedevMap", "MedvedevMapNeuron"),
    row<maps::CazellesMapNeuron, &maps::CazellesMapNeuron::x>("CazellesMap", "CazellesMapNeuron"),
    row<maps::CourageNekorkinMapNeuron, &maps::CourageNekorkinMapNeuron::x>("CourageNekorkinMap", "CourageNekorkinMapNeuron"),
    row<hw::BrainScaleSAdExNeuron, &hw::BrainScaleSAdExNeuron::v>("BrainScaleSAdEx", "BrainScaleSAdExNeuron"),
    row<hw::SpiNNakerLIFNeuron, &hw::SpiNNakerLIFNeuron::v>("SpiNNakerLIF", "SpiNNakerLIFNeuron"),
    row<hw::NeuroGridNeuron, &hw::NeuroGridNeuron::v_s>("NeuroGrid", "NeuroGridNeuron"),
    row<hw::DPINeuron, &hw::DPINeuron::i_mem>("DPI", "DPINeuron"),
    row<mc::MarderSTGNeuron, &mc::MarderSTGNeuron::v>("MarderSTG", "MarderSTGNeuron"),
    Model<mc::RallCableNeuron>{"RallCable", "RallCableNeuron", "RallCable", &first_compartment, &built_by_default<mc::RallCableNeuron>},
    row<mc::BoothRinzelNeuron, &mc::BoothRinzelNeuron::vs>("BoothRinzel", "BoothRinzelNeuron"),
    row<mc::DendrifyNeuron, &mc::DendrifyNeuron::v_s>("Dendrify", "DendrifyNeuron"),
    row<rate::LiquidTimeConstantNeuron, &rate::LiquidTimeConstantNeuron::x>("LiquidTimeConstant", "LiquidTimeConstantNeuron"),
    Model<rate::ParallelSpikingNeuron>{"ParallelSpiking", "ParallelSpikingNeuron", "ParallelSpiking", &reads_zero<rate::ParallelSpikingNeuron>,
                 [] { return rate::ParallelSpikingNeuron(rate::ParallelSpikingNeuron::Args{4, 0.5}); }},
    row<rate::FractionalLIFNeuron, &rate::FractionalLIFNeuron::v>("FractionalLIF", "FractionalLIFNeuron"),
    row<s::StochasticIFNeuron, &s::StochasticIFNeuron::v>("StochasticIF", "StochasticIFNeuron"),
    row<s::GalvesLocherbachNeuron, &s::GalvesLocherbachNeuron::v>("GalvesLocherbach", "GalvesLocherbachNeuron"),
    row<s::SpikeResponseNeuron, &s::SpikeResponseNeuron::v>("SpikeResponse", "SpikeResponseNeuron"),
    Model<s::GLMNeuron>{"GLM", "GLMNeuron", "GLM", &field<&s::GLMNeuron::bias>,
                 [] { return s::GLMNeuron(s::GLMNeuron::Args{5, 10, 42}); }},
    row<ai::ArcaneNeuron, &ai::ArcaneNeuron::v_fast>("Arcane", "ArcaneNeuron", "ArcaneNeuron"));

inline constexpr std::size_t kVariants = std::tuple_size_v<std::remove_cv_t<decltype(kModels)>>;

template <std::size_t I>
using RecordAt = typename std::tuple_element_t<I, std::remove_cv_t<decltype(kModels)>>::Record;

// The neurons of a population whose record is a plain block of 8-byte words (trivially
// copyable, so it owns no arrays): word f of neuron k at words[f * n + k]. A step over
// consecutive neurons then reads each field as one contiguous run, and on a wide processor
// several neurons pass through the record's own step at once. The bytes are the records'
// bytes, moved between the columns and a record as they are.
template <class R>
struct Columns {
    static constexpr std::size_t kWords = sizeof(R) / 8;
    std::size_t n = 0;
    std::vector<uint64_t> words;

    Columns() = default;
    Columns(std::size_t count, R proto) : n(count), words(engine::alloc_size(count, kWords)) {
        __builtin_clear_padding(&proto);  // so that every word is determinate
        const auto w = std::bit_cast<std::array<uint64_t, kWords>>(proto);
        for (std::size_t f = 0; f < kWords; ++f) std::fill_n(words.begin() + f * n, n, w[f]);
    }
    R get(std::size_t k) const {
        std::array<uint64_t, kWords> w;
        for (std::size_t f = 0; f < kWords; ++f) w[f] = words[f * n + k];
        return std::bit_cast<R>(w);
    }
};

template <class R>
inline constexpr bool kColumnar = std::is_trivially_copyable_v<R> && sizeof(R) % 8 == 0 && alignof(R) <= 8;

// A population's storage: columns where the record allows them, else the records in a row.
template <class R>
using Store = std::conditional_t<kColumnar<R>, Columns<R>, std::vector<R>>;

template <class Seq>
struct Variants;
template <std::size_t... I>
struct Variants<std::index_sequence<I...>> {
    using One = std::variant<RecordAt<I>...>;
    using Many = std::variant<Store<RecordAt<I>>...>;
};
using Indices = std::make_index_sequence<kVariants>;

// One neuron of any network model.
struct NeuronVariant {
    Variants<Indices>::One record;

    // One update with the input current; the model's spike code (any nonzero code is a spike).
    int32_t step(double current);
    // The neuron's membrane value, as its row reads it.
    double soma_voltage() const;
};

// The row whose name (short or long, compared whole and case-sensitively) is `name`.
std::optional<std::size_t> model_index(std::string_view name);

// A new neuron of the named model; engine::Error "Unsupported model: '{}'" for any other name.
NeuronVariant create_neuron(std::string_view name);

// The short names of the listed rows, in row order.
std::vector<std::string> supported_models();

// Neurons are stepped in chunks of this many, each chunk by one thread.
inline constexpr std::size_t kChunk = 256;

// One population: n neurons of one model, their spike flags of the last step, the input
// currents of the step being computed, and the number of spikes of each chunk in the last
// step (so that silent chunks are passed over without reading their flags). `fired` lists the
// set flags in ascending order, once per step for every projection that reads them.
struct PopulationRunner {
    Variants<Indices>::Many neurons;
    std::vector<uint8_t> spikes;
    std::vector<double> currents;
    std::vector<uint32_t> chunk_spikes;
    std::vector<uint32_t> fired;

    std::size_t size() const { return spikes.size(); }
    // Lists the set flags in `fired`.
    void list_fired();
};

// The most neurons whose index fits the high 32 bits of a spike record.
inline constexpr uint64_t kMaxPopulation = uint64_t{1} << 32;

// n neurons of the named model; with n = 0 any name is accepted. engine::Error for an unknown
// name, then for a population larger than kMaxPopulation.
PopulationRunner create_population(std::string_view model, std::size_t n);

// Steps chunk c of a population (neurons c * kChunk up to the next chunk) with its currents:
// sets their flags and the chunk's count, and clears each current once it is read.
void step_chunk(PopulationRunner& p, std::size_t c);

// The rows one step of a delayed projection delivers: the source neurons that spiked and have
// a row, in ascending order, so that keeping and delivering them costs the spikes they are.
// Where more than one row in 32 spiked they are kept as a bitmap of the rows instead, which is
// then the smaller (a slot never takes more than 4 bytes a spike, nor more than a bit a row).
// A fresh slot is empty: nothing spiked.
struct SpikeSlot {
    std::vector<uint32_t> words;  // the rows, or bit r % 32 of word r / 32 set for row r
    bool bitmap = false;

    // Keeps the rows below n_rows whose flag is set: `rows` lists them, ascending.
    void keep(std::span<const uint32_t> rows, const std::vector<uint8_t>& flags, std::size_t n_rows);
    // Calls f(row) for every kept row, in ascending order.
    template <class F>
    void for_each(F&& f) const {
        if (!bitmap) {
            for (const uint32_t r : words) f(r);
            return;
        }
        for (std::size_t w = 0; w < words.size(); ++w) {
            const uint32_t base = static_cast<uint32_t>(w * 32);
            if (words[w] == ~uint32_t{0}) {  // the common word of a dense step: 32 rows in a row
                for (uint32_t b = 0; b < 32; ++b) f(base + b);
                continue;
            }
            for (uint32_t bits = words[w]; bits != 0; bits &= bits - 1)
                f(base + static_cast<uint32_t>(std::countr_zero(bits)));
        }
    }
};

// A projection: a CSR matrix from the neurons of population src to the currents of population
// tgt, delivered `delay` steps late through a ring of `delay` slots.
struct ProjectionRunner {
    std::vector<std::size_t> row_offsets;
    std::vector<std::size_t> col_indices;
    std::vector<double> values;
    std::vector<SpikeSlot> ring;
    std::size_t src = 0, tgt = 0, delay = 0;
    std::size_t ring_pos = 0;

    ProjectionRunner(std::size_t src, std::size_t tgt, std::vector<std::size_t> row_offsets,
                     std::vector<std::size_t> col_indices, std::vector<double> values, std::size_t delay);

    std::size_t rows() const { return row_offsets.empty() ? 0 : row_offsets.size() - 1; }

    // Adds one step of weighted input from the source population's spikes of this step (its
    // `fired` list) to `currents`.
    void propagate(const PopulationRunner& source, std::vector<double>& currents);

private:
    SpikeSlot delivered_;  // the slot a delayed projection delivers this step
};

struct RunResult {
    std::vector<uint64_t> spike_counts;
    std::vector<std::vector<uint64_t>> spike_data;  // (neuron << 32) | step
    std::vector<std::vector<double>> voltages;
};

// The longest run whose step index fits the low 32 bits of a spike record.
inline constexpr uint64_t kMaxRunSteps = uint64_t{1} << 32;

struct NetworkRunner {
    std::vector<PopulationRunner> populations;
    std::vector<ProjectionRunner> projections;

    std::size_t add_population(PopulationRunner p);
    void add_projection(ProjectionRunner p);
    // Continues from the state the previous run left; engine::Error for a run longer than
    // kMaxRunSteps, the index panic for a projection that reaches outside its arrays.
    RunResult run(uint64_t n_steps);
};

struct BatchResult {
    std::vector<double> voltages;
    std::vector<uint64_t> spikes;
    uint64_t n_steps = 0;
};

// The neuron stepped with trace[0 .. min(n_steps, len) - 1].
BatchResult batch_simulate(NeuronVariant neuron, uint64_t n_steps, std::span<const double> trace);

}  // namespace network_runner
