// Float-form Bernoulli streams of whole matrices on one ChaCha8 keystream, stored flat, for the
// bitstream forms of the graph and attention layers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stream_matrix {

// Where stream (r, c) of a rows x cols matrix is stored: at slot r * cols + c (row-major) or
// c * rows + r (column-major, so that a column's streams lie back to back).
enum class Layout { RowMajor, ColumnMajor };

struct Streams {
    std::vector<uint64_t> words;
    std::size_t words_per = 0;  // ceil(length / 64)

    // n consecutive streams from slot s on.
    std::span<const uint64_t> run(std::size_t s, std::size_t n) const {
        return {words.data() + s * words_per, n * words_per};
    }
};

// One generator seeded with `seed` draws the streams of all encodings of a call one after
// another. Each stream of length L takes exactly L 64-bit draws (2L keystream words), so the
// position of every stream in the keystream is known beforehand and long runs are encoded in
// parallel, each part on its own generator set to its position, with the same bits.
class Keystream {
public:
    Keystream(uint64_t seed, std::size_t length);

    // The float-form streams of values[r * cols + c] (values holds rows * cols values), drawn
    // in row-major order from the current position, which then moves past them.
    Streams encode(std::span<const double> values, std::size_t rows, std::size_t cols, Layout layout);

    std::size_t words_per() const { return words_per_; }

private:
    uint64_t seed_;
    std::size_t length_, words_per_;
    uint64_t position_ = 0;  // keystream words drawn so far
};

}  // namespace stream_matrix
