// Packed bitstreams and the Bernoulli encoders that produce them.
//
// Layout: a stream of L bits occupies ceil(L / 64) words; bit i is bit (i mod 64) of word
// (i div 64), lowest bit first. Bits at positions L and above are 0 in every stream produced
// here; words taken from outside (from_words) are kept as given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "rng.hpp"

namespace bitstream {

struct BitStreamTensor {
    std::vector<uint64_t> data;
    std::size_t length = 0;

    // Takes the words as they are (their count is not checked against the length).
    // Stops with "bitstream length must be > 0" when length is 0.
    static BitStreamTensor from_words(std::vector<uint64_t> words, std::size_t length);

    // A random hypervector: `dimension` bits of the float-form encoding of p = 0.5 on a
    // xoshiro256++ seeded with `seed`. Stops with "bitstream length must be > 0" for dimension 0.
    static BitStreamTensor random(std::size_t dimension, uint64_t seed);

    // Cyclic rotation of the logical bit sequence: bit i of the result is bit (i - s) mod length
    // of the input, s = shift mod length. s = 0 (or length 0) leaves the words untouched;
    // otherwise the words are rebuilt to ceil(length / 64) with zero tail bits.
    // Too few words for the length stops (index out of bounds).
    void rotate_right(std::size_t shift);

    // Bitwise majority. One tensor: a copy. Otherwise the first tensor's word count and length;
    // a bit is set when more than n/2 of the members have it (three members: two of three).
    // No members stops with "Cannot bundle zero vectors."; a member with fewer words than the
    // first stops (index out of bounds).
    static BitStreamTensor bundle(std::span<const BitStreamTensor* const> tensors);
    static BitStreamTensor bundle(std::span<const BitStreamTensor> tensors);

    // Word-wise XOR over the smaller word count; the result has this tensor's length.
    // Unequal lengths stop with "Bitstream lengths must match for XOR." and both lengths.
    BitStreamTensor xor_with(const BitStreamTensor& other) const;
    void xor_inplace(const BitStreamTensor& other);

    // Set bits of this XOR other over the smaller word count (dispatched XOR popcount), divided
    // by the length. Unequal lengths stop with "Bitstream lengths must match for Hamming distance.".
    double hamming_distance(const BitStreamTensor& other) const;

    // Set bits over all words (portable count).
    uint64_t popcount() const;
};

// Bit i is 1 when byte i is nonzero; length = number of bytes.
BitStreamTensor pack(std::span<const uint8_t> bytes);
// The same result, eight bytes per step.
BitStreamTensor pack_fast(std::span<const uint8_t> bytes);
// One packed word from up to 64 bytes (n <= 64), eight bytes per step.
uint64_t pack_fast_word(const uint8_t* bytes, std::size_t n);

// `length` bytes of 0 or 1. Too few words for the length stops (index out of bounds) before
// anything is allocated.
std::vector<uint8_t> unpack(const BitStreamTensor& tensor);

// Float form: one uniform draw u per bit, in order, and the bit is set when p > u, with p
// clamped to [0, 1] (NaN sets no bit but still draws). Exactly `length` draws.
std::vector<uint64_t> bernoulli_packed(double p, std::size_t length, rng::Xoshiro256pp& g);
std::vector<uint64_t> bernoulli_packed(double p, std::size_t length, rng::ChaCha8& g);
// The same into out, which must hold exactly ceil(length / 64) words.
void bernoulli_packed_into(double p, std::size_t length, rng::Xoshiro256pp& g, std::span<uint64_t> out);
void bernoulli_packed_into(double p, std::size_t length, rng::ChaCha8& g, std::span<uint64_t> out);

// Threshold of the byte form: min(255, floor(256 * clamp(p, 0, 1))), 0 for NaN.
uint8_t byte_threshold(double p);

// Byte form: p >= 1 gives ones over the length without drawing; otherwise 64 drawn bytes per
// full word (rest bytes for a partial last word) and bit j set when byte j < byte_threshold(p).
std::vector<uint64_t> bernoulli_packed_simd(double p, std::size_t length, rng::Xoshiro256pp& g);
std::vector<uint64_t> bernoulli_packed_simd(double p, std::size_t length, rng::ChaCha8& g);
void bernoulli_packed_simd_into(double p, std::size_t length, rng::Xoshiro256pp& g, std::span<uint64_t> out);
void bernoulli_packed_simd_into(double p, std::size_t length, rng::ChaCha8& g, std::span<uint64_t> out);

// Row i of out (ceil(length / 64) words each) is the byte-form stream of probs[i] drawn from
// its own xoshiro256++ seeded with seed + i (wrapping), so the rows are independent.
void batch_encode_rows(std::span<const double> probs, std::size_t length, uint64_t seed, std::span<uint64_t> out);

// popcount(weights AND byte-form encoding of p), without storing the encoding. Only words that
// exist in weights are drawn and counted (a short weight array ends the count early).
uint64_t encode_and_popcount(std::span<const uint64_t> weights, std::size_t length,
                             rng::Xoshiro256pp& g, double p);

// Float-form encodings of the first min(rows * cols, probs.size()) probabilities, one after
// another on g, each resized to words_per_row words (cut, or padded with zero words).
std::vector<std::vector<uint64_t>> encode_matrix_prob_to_packed(std::span<const double> probs,
                                                                std::size_t rows, std::size_t cols,
                                                                std::size_t length,
                                                                std::size_t words_per_row,
                                                                rng::ChaCha8& g);

}  // namespace bitstream
