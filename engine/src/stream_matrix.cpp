#include "stream_matrix.hpp"

#include "bitstream.hpp"
#include "chunked.hpp"
#include "error.hpp"
#include "rng.hpp"

namespace stream_matrix {
namespace {

// Cost of one draw of the float form on the calling thread (ChaCha8 on AVX-512, measured).
constexpr double kDrawNs = 1.6;

}  // namespace

Keystream::Keystream(uint64_t seed, std::size_t length)
    : seed_(seed), length_(length), words_per_(engine::ceil_div(length, 64)) {}

Streams Keystream::encode(std::span<const double> values, std::size_t rows, std::size_t cols, Layout layout) {
    const std::size_t n = values.size();
    if (engine::alloc_size(rows, cols) != n) engine::panic_eq("values must hold rows * cols entries", n, rows * cols);
    Streams s;
    s.words_per = words_per_;
    s.words.resize(engine::alloc_size(n, words_per_));
    // Wrapping like the generator's own position would; sizes that fit in memory never wrap.
    const uint64_t draws_per = 2 * static_cast<uint64_t>(length_);
    const uint64_t start = position_;
    auto encode_range = [&](std::size_t b, std::size_t e) {
        rng::ChaCha8 g(seed_);
        g.seek_words(start + draws_per * b);
        for (std::size_t k = b; k < e; ++k) {
            const std::size_t slot = layout == Layout::RowMajor ? k : (k % cols) * rows + k / cols;
            bitstream::bernoulli_packed_into(values[k], length_, g, {s.words.data() + slot * words_per_, words_per_});
        }
    };
    chunked::run_if_worth(n, static_cast<double>(length_) * kDrawNs, encode_range);
    position_ = start + draws_per * static_cast<uint64_t>(n);
    return s;
}

}  // namespace stream_matrix
