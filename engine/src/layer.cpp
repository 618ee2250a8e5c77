#include "layer.hpp"

#include <algorithm>
#include <string>

#include "bitstream.hpp"
#include "error.hpp"
#include "pool.hpp"
#include "rng.hpp"
#include "simd/kernels.hpp"

namespace layer {
namespace {

// Up to this many neurons a forward pass stays on the calling thread.
constexpr std::size_t kSerialNeurons = 7;
// Packed weights of fewer words than this are drawn on the calling thread.
constexpr std::size_t kParallelPackWords = 512;
// Words of input masks a batch pass keeps at once (8 MiB).
constexpr std::size_t kBatchScratchWords = std::size_t{1} << 20;
// A loop that counts fewer stream words than this in all runs faster on the calling thread
// than on the pool (measured: 8 neurons of 8K words tie, of 32K words take half the time).
constexpr std::size_t kPoolWords = 16384;

// Runs body(k) for k < n, on the pool when the n items count at least kPoolWords in all.
template <class F>
void for_items(std::size_t n, std::size_t words_each, F&& body) {
    pool::parallel_for_from(n, words_each, kPoolWords, body);
}

std::string num(std::size_t v) { return std::to_string(v); }

void check_input_length(const DenseLayer& l, std::size_t got) {
    if (got != l.n_inputs)
        throw engine::Error("Expected input of length " + num(l.n_inputs) + ", got " + num(got) + ".");
}

// Up to kSerialNeurons neurons run one after another; more go through for_items.
template <class F>
void for_neurons(std::size_t n, std::size_t words_each, F&& f) {
    if (n <= kSerialNeurons) {
        for (std::size_t j = 0; j < n; ++j) f(j);
        return;
    }
    for_items(n, words_each, f);
}

// Byte-form masks of every input, input i drawn from a fresh xoshiro256++ seeded with base + i:
// the rows of a batch encoding. Each mask is what the fused encode-and-count draws for that
// input, whatever the neuron. A serial layer encodes them on the calling thread too.
std::vector<uint64_t> input_masks(std::span<const double> x, std::size_t length, std::size_t words,
                                  uint64_t base, bool serial) {
    std::vector<uint64_t> masks(x.size() * words);
    if (!serial) {
        bitstream::batch_encode_rows(x, length, base, masks);
        return masks;
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
        rng::Xoshiro256pp g(base + i);
        bitstream::bernoulli_packed_simd_into(x[i], length, g, {masks.data() + i * words, words});
    }
    return masks;
}

// Number of 32-bit ChaCha8 outputs the byte-form encoder consumes for one stream.
uint64_t stream_draws(double p, std::size_t length) {
    if (p >= 1.0) return 0;
    return static_cast<uint64_t>(length / 64) * 16 + engine::ceil_div(length % 64, 4);
}

}  // namespace

DenseLayer DenseLayer::make(std::size_t n_inputs, std::size_t n_neurons, std::size_t length,
                            uint64_t seed) {
    if (length == 0) engine::panic("bitstream length must be > 0");
    if (n_inputs == 0) engine::panic("n_inputs must be > 0");
    if (n_neurons == 0) engine::panic("n_neurons must be > 0");
    DenseLayer l;
    l.n_inputs = n_inputs;
    l.n_neurons = n_neurons;
    l.length = length;
    l.words = engine::ceil_div(length, 64);
    // The packed streams are the layer's largest buffer: asked for first and in one piece, a
    // layer too large for memory fails at once instead of after drawing its weights row by row.
    l.packed_weights.reserve(engine::alloc_size(engine::alloc_size(n_neurons, n_inputs), l.words));
    rng::ChaCha8 g(seed);
    l.weights.assign(n_neurons, std::vector<double>(n_inputs));
    for (auto& row : l.weights)
        for (double& w : row) w = g.next_f64();
    l.weight_seed = seed + 1;
    l.refresh_packed_weights();
    return l;
}

void DenseLayer::refresh_packed_weights() {
    // One ChaCha8 keystream feeds all streams in order. Each stream consumes a number of
    // outputs known from its weight alone, so every neuron's run of streams can start from the
    // keystream position it would reach sequentially, and the rows are packed in parallel with
    // the same bits.
    const std::size_t per_neuron = engine::checked_mul(n_inputs, words);
    const std::size_t total = engine::checked_mul(n_neurons, per_neuron);
    std::vector<uint64_t> start(n_neurons, 0);
    uint64_t pos = 0;
    for (std::size_t j = 0; j < n_neurons; ++j) {
        start[j] = pos;
        for (double w : weights[j]) pos += stream_draws(w, length);
    }
    // Packed in place: the buffer make() reserved, or the one of the previous packing, already
    // has the size, so repacking allocates nothing and never holds two buffers at once.
    packed_weights.assign(total, 0);
    uint64_t* const packed = packed_weights.data();
    // The pool only if it exists already: building a layer leaves set_num_threads free. The
    // rows come out the same either way.
    const bool parallel = pool::existing_size() > 1 && n_neurons > 1 &&
                          total >= kParallelPackWords;
    auto pack = [&](std::size_t j) {
        rng::ChaCha8 g(weight_seed);
        g.seek_words(start[j]);
        uint64_t* row = packed + j * per_neuron;
        for (std::size_t i = 0; i < n_inputs; ++i)
            bitstream::bernoulli_packed_simd_into(weights[j][i], length, g, {row + i * words, words});
    };
    if (parallel) {
        pool::parallel_for(n_neurons, pack);
    } else {
        for (std::size_t j = 0; j < n_neurons; ++j) pack(j);
    }
}

void DenseLayer::set_weights(std::vector<std::vector<double>> rows) {
    if (rows.size() != n_neurons)
        throw engine::Error("Expected " + num(n_neurons) + " rows, got " + num(rows.size()) + ".");
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (rows[r].size() != n_inputs)
            throw engine::Error("Row " + num(r) + " has length " + num(rows[r].size()) + ", expected " +
                                num(n_inputs) + ".");
    weights = std::move(rows);
    refresh_packed_weights();
}

std::vector<double> DenseLayer::forward(std::span<const double> x, uint64_t seed) const {
    check_input_length(*this, x.size());
    rng::Xoshiro256pp g(seed);
    std::vector<uint64_t> streams(n_inputs * words);
    for (std::size_t i = 0; i < n_inputs; ++i)
        bitstream::bernoulli_packed_into(x[i], length, g, {streams.data() + i * words, words});
    std::vector<double> out(n_neurons);
    const double len = static_cast<double>(length);
    for_neurons(n_neurons, n_inputs * words, [&](std::size_t j) {
        // Streams of neuron j and the inputs lie in the same order, so the sum of the per-input
        // counts is one count over the whole run.
        out[j] = static_cast<double>(simd::fused_and_popcount_dispatch(neuron_streams(j), streams)) / len;
    });
    return out;
}

std::vector<double> DenseLayer::forward_fused(std::span<const double> x, uint64_t seed) const {
    check_input_length(*this, x.size());
    const std::vector<uint64_t> masks = input_masks(x, length, words, seed, n_neurons <= kSerialNeurons);
    std::vector<double> out(n_neurons);
    const double len = static_cast<double>(length);
    for_neurons(n_neurons, n_inputs * words, [&](std::size_t j) {
        out[j] = static_cast<double>(simd::fused_and_popcount_dispatch(neuron_streams(j), masks)) / len;
    });
    return out;
}

std::vector<double> DenseLayer::forward_fused_reference(std::span<const double> x, uint64_t seed) const {
    check_input_length(*this, x.size());
    std::vector<double> out(n_neurons);
    for_neurons(n_neurons, n_inputs * words, [&](std::size_t j) {
        uint64_t sum = 0;
        for (std::size_t i = 0; i < n_inputs; ++i) {
            rng::Xoshiro256pp g(seed + i);
            sum += bitstream::encode_and_popcount(stream(j, i), length, g, x[i]);
        }
        out[j] = static_cast<double>(sum) / static_cast<double>(length);
    });
    return out;
}

std::vector<double> DenseLayer::forward_prepacked(std::span<const std::vector<uint64_t>> rows) const {
    if (rows.size() != n_inputs)
        throw engine::Error("Expected " + num(n_inputs) + " packed inputs, got " + num(rows.size()) + ".");
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].size() != words)
            throw engine::Error("Packed input " + num(i) + " has " + num(rows[i].size()) +
                                " words, expected " + num(words) + ".");
    std::vector<double> out(n_neurons);
    for_items(n_neurons, n_inputs * words, [&](std::size_t j) {
        uint64_t sum = 0;
        for (std::size_t i = 0; i < n_inputs; ++i) sum += simd::fused_and_popcount_dispatch(stream(j, i), rows[i]);
        out[j] = static_cast<double>(sum) / static_cast<double>(length);
    });
    return out;
}

std::vector<double> DenseLayer::forward_prepacked_2d(std::span<const uint64_t> flat, std::size_t rows,
                                                     std::size_t words_per_row) const {
    if (rows != n_inputs)
        throw engine::Error("Expected " + num(n_inputs) + " packed inputs, got " + num(rows) + ".");
    if (words_per_row != words)
        throw engine::Error("Expected " + num(words) + " words per input, got " + num(words_per_row) + ".");
    std::size_t expect;
    if (__builtin_mul_overflow(rows, words_per_row, &expect) || flat.size() != expect)
        throw engine::Error("Flat buffer length " + num(flat.size()) + " != n_inputs(" + num(rows) +
                            ") * words(" + num(words_per_row) + ").");
    std::vector<double> out(n_neurons);
    for_items(n_neurons, n_inputs * words, [&](std::size_t j) {
        // The rows lie back to back like neuron j's streams: one count over the whole run.
        out[j] = static_cast<double>(simd::fused_and_popcount_dispatch(neuron_streams(j), flat)) /
                 static_cast<double>(length);
    });
    return out;
}

void DenseLayer::forward_batch_into(std::span<const double> inputs, std::size_t n_samples, uint64_t seed,
                                    std::span<double> out) const {
    std::size_t n_in;
    if (__builtin_mul_overflow(n_samples, n_inputs, &n_in))
        throw engine::Error("Input size overflow when validating n_samples * n_inputs.");
    if (inputs.size() != n_in)
        throw engine::Error("Expected " + num(n_in) + " values (" + num(n_samples) + "\u00d7" + num(n_inputs) +
                            "), got " + num(inputs.size()) + ".");
    std::size_t n_out;
    if (__builtin_mul_overflow(n_samples, n_neurons, &n_out))
        throw engine::Error("Output size overflow when validating n_samples * n_neurons.");
    if (out.size() != n_out)
        throw engine::Error("Expected output length " + num(n_out) + " (" + num(n_samples) + "\u00d7" +
                            num(n_neurons) + "), got " + num(out.size()) + ".");
    if (n_samples == 0) return;
    const std::size_t per_sample = n_inputs * words;
    // Samples go through in blocks, so the masks' scratch stays bounded for any batch size.
    const std::size_t block =
        std::clamp<std::size_t>(kBatchScratchWords / std::max<std::size_t>(per_sample, 1), 1, n_samples);
    std::vector<uint64_t> masks(engine::checked_mul(block, per_sample));
    const double len = static_cast<double>(length);
    for (std::size_t b0 = 0; b0 < n_samples; b0 += block) {
        const std::size_t nb = std::min(block, n_samples - b0);
        // Every mask has its own generator (seed s * 1000000 + seed + i), so all are independent.
        // Encoding a word costs about as much as counting sixteen (measured).
        for_items(nb * n_inputs, 16 * words, [&](std::size_t k) {
            const std::size_t s = b0 + k / n_inputs, i = k % n_inputs;
            rng::Xoshiro256pp g(static_cast<uint64_t>(s) * 1000000u + seed + i);
            bitstream::bernoulli_packed_simd_into(inputs[s * n_inputs + i], length, g,
                                                  {masks.data() + k * words, words});
        });
        // Neuron-major items: a task's consecutive samples share one neuron's streams in cache.
        for_items(n_neurons * nb, per_sample, [&](std::size_t k) {
            const std::size_t j = k / nb, s = k % nb;
            const uint64_t c = simd::fused_and_popcount_dispatch(
                neuron_streams(j), {masks.data() + s * per_sample, per_sample});
            out[(b0 + s) * n_neurons + j] = static_cast<double>(c) / len;
        });
    }
}

}  // namespace layer
