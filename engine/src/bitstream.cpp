#include "bitstream.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "error.hpp"
#include "pool.hpp"
#include "simd/byte_compare.hpp"
#include "simd/features.hpp"
#include "simd/kernels.hpp"
#include "simd/uniform_compare.hpp"

namespace bitstream {
namespace {

constexpr uint64_t low_bits(std::size_t n) { return n >= 64 ? ~0ull : (1ull << n) - 1; }

// A stream's words must cover its length before anything reads them. The report names the
// first missing word, as a plain indexed read would.
void require_words(const BitStreamTensor& t) {
    if (t.data.size() < engine::ceil_div(t.length, 64)) engine::panic_index(t.data.size(), t.data.size());
}

void require_out(std::span<uint64_t> out, std::size_t length) {
    const std::size_t words = engine::ceil_div(length, 64);
    if (out.size() != words)
        engine::panic_eq("output must hold ceil(length / 64) words", out.size(), words);
}

// Bytes 8j..8j+7 of entry b are the bits j of b, as 0 or 1.
constexpr std::array<uint64_t, 256> kSpread = [] {
    std::array<uint64_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned j = 0; j < 8; ++j)
            if (b & (1u << j)) t[b] |= 1ull << (8 * j);
    return t;
}();

// n <= 64 bits starting at bit pos, with pos + n within the valid bits of src.
uint64_t read_bits(const uint64_t* src, std::size_t pos, unsigned n) {
    const std::size_t w = pos >> 6;
    const unsigned o = static_cast<unsigned>(pos & 63);
    uint64_t v = src[w] >> o;
    if (o != 0 && o + n > 64) v |= src[w + 1] << (64 - o);
    return v & low_bits(n);
}

// The float form compares p > u with u = k * 2^-53 for the 53-bit integer k = draw >> 11.
// For p in [0, 1], p * 2^53 is exact (scaling by a power of two), so
//   p > k * 2^-53  <=>  p * 2^53 > k  <=>  ceil(p * 2^53) > k   (k an integer),
// and the per-bit float compare becomes k < T with T = ceil(p * 2^53) <= 2^53.
uint64_t float_form_threshold(double p) {
    if (std::isnan(p)) return 0;
    if (p < 0.0) p = 0.0;
    if (p > 1.0) p = 1.0;
    return static_cast<uint64_t>(std::ceil(p * 0x1p53));
}

template <class Gen>
void float_form(double p, std::size_t length, Gen& gen, std::span<uint64_t> out) {
    require_out(out, length);
    const uint64_t T = float_form_threshold(p);
    Gen g = gen;  // a local copy stays in registers (its words could alias the output's)
    const std::size_t full = length / 64, rest = length % 64;
    for (std::size_t k = 0; k < full; ++k) {
        uint64_t w = 0;
        for (unsigned j = 0; j < 64; ++j) w |= static_cast<uint64_t>((g.next_u64() >> 11) < T) << j;
        out[k] = w;
    }
    if (rest) {
        uint64_t w = 0;
        for (unsigned j = 0; j < rest; ++j) w |= static_cast<uint64_t>((g.next_u64() >> 11) < T) << j;
        out[full] = w;
    }
    gen = g;
}

// The same on a ChaCha8 keystream, eight draws per compare for the full words.
void float_form(double p, std::size_t length, rng::ChaCha8& g, std::span<uint64_t> out) {
    require_out(out, length);
    const uint64_t T = float_form_threshold(p);
    const std::size_t full = length / 64, rest = length % 64;
    const uint32_t f = simd::features();
    if (full == 0) {
    } else if (simd::has(f, simd::kNeedBits512)) {
        simd::detail::uniform_words_avx512(g, out.data(), full, T);
    } else if (simd::has(f, simd::kNeed256)) {
        simd::detail::uniform_words_avx2(g, out.data(), full, T);
    } else {
        simd::detail::uniform_words_portable(g, out.data(), full, T);
    }
    if (rest) {
        uint64_t w = 0;
        for (unsigned j = 0; j < rest; ++j) w |= static_cast<uint64_t>((g.next_u64() >> 11) < T) << j;
        out[full] = w;
    }
}

template <class Gen>
uint64_t partial_mask(Gen& g, std::size_t rest, uint8_t t) {
    uint8_t buf[64];
    g.fill_bytes(buf, rest);
    uint64_t m = 0;
    for (std::size_t j = 0; j < rest; ++j) m |= static_cast<uint64_t>(buf[j] < t) << j;
    return m;
}

template <class Gen>
void byte_form(double p, std::size_t length, Gen& g, std::span<uint64_t> out) {
    require_out(out, length);
    const std::size_t full = length / 64, rest = length % 64;
    if (p >= 1.0) {
        std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(full), ~0ull);
        if (rest) out[full] = low_bits(rest);
        return;
    }
    const uint8_t t = byte_threshold(p);
    const uint32_t f = simd::features();
    if (full == 0) {
    } else if (simd::has(f, simd::kNeedBytes512)) {
        simd::detail::encode_words_avx512(g, out.data(), full, t);
    } else if (simd::has(f, simd::kNeed256)) {
        simd::detail::encode_words_avx2(g, out.data(), full, t);
    } else {
        simd::detail::encode_words_portable(g, out.data(), full, t);
    }
    if (rest) out[full] = partial_mask(g, rest, t);
}

template <class Gen, void (*Encode)(double, std::size_t, Gen&, std::span<uint64_t>)>
std::vector<uint64_t> encoded(double p, std::size_t length, Gen& g) {
    std::vector<uint64_t> out(engine::ceil_div(length, 64));
    Encode(p, length, g, out);
    return out;
}

}  // namespace

BitStreamTensor BitStreamTensor::from_words(std::vector<uint64_t> words, std::size_t length) {
    if (length == 0) engine::panic("bitstream length must be > 0");
    return BitStreamTensor{std::move(words), length};
}

BitStreamTensor BitStreamTensor::random(std::size_t dimension, uint64_t seed) {
    rng::Xoshiro256pp g(seed);
    return from_words(bernoulli_packed(0.5, dimension, g), dimension);
}

void BitStreamTensor::rotate_right(std::size_t shift) {
    if (length == 0) return;
    const std::size_t s = shift % length;
    if (s == 0) return;
    require_words(*this);
    const std::size_t L = length, words = engine::ceil_div(L, 64);
    std::vector<uint64_t> out(words);
    const uint64_t* src = data.data();
    for (std::size_t k = 0; k < words; ++k) {
        const std::size_t first = 64 * k;
        const unsigned n = static_cast<unsigned>(std::min<std::size_t>(64, L - first));
        // Output bit first + i comes from input bit (first + i - s) mod L.
        const std::size_t from = first >= s ? first - s : L - (s - first);
        const std::size_t before_wrap = L - from;
        uint64_t v;
        if (n <= before_wrap) {
            v = read_bits(src, from, n);
        } else {
            const unsigned a = static_cast<unsigned>(before_wrap);
            v = read_bits(src, from, a) | (read_bits(src, 0, n - a) << a);
        }
        out[k] = v;
    }
    data = std::move(out);
}

BitStreamTensor BitStreamTensor::bundle(std::span<const BitStreamTensor* const> tensors) {
    const std::size_t n = tensors.size();
    if (n == 0) engine::panic("Cannot bundle zero vectors.");
    const BitStreamTensor& first = *tensors[0];
    if (n == 1) return first;
    const std::size_t words = first.data.size();
    // A short member stops the call; report the shortest, where a word-by-word pass would stop.
    const BitStreamTensor* shortest = nullptr;
    for (const BitStreamTensor* t : tensors)
        if (t->data.size() < words && (!shortest || t->data.size() < shortest->data.size())) shortest = t;
    if (shortest) engine::panic_index(shortest->data.size(), shortest->data.size());

    std::vector<uint64_t> out(words);
    if (n == 3) {
        const uint64_t* a = tensors[0]->data.data();
        const uint64_t* b = tensors[1]->data.data();
        const uint64_t* c = tensors[2]->data.data();
        for (std::size_t k = 0; k < words; ++k) out[k] = (a[k] & c[k]) | ((a[k] | c[k]) & b[k]);
    } else {
        // Word-wise too: the members' counts are kept in bit planes (simd::majority_dispatch).
        std::vector<const uint64_t*> members(n);
        for (std::size_t i = 0; i < n; ++i) members[i] = tensors[i]->data.data();
        simd::majority_dispatch(members.data(), n, words, out.data());
    }
    return BitStreamTensor{std::move(out), first.length};
}

BitStreamTensor BitStreamTensor::bundle(std::span<const BitStreamTensor> tensors) {
    std::vector<const BitStreamTensor*> ptrs;
    ptrs.reserve(tensors.size());
    for (const BitStreamTensor& t : tensors) ptrs.push_back(&t);
    return bundle(std::span<const BitStreamTensor* const>(ptrs));
}

BitStreamTensor BitStreamTensor::xor_with(const BitStreamTensor& other) const {
    if (length != other.length)
        engine::panic_eq("Bitstream lengths must match for XOR.", length, other.length);
    const std::size_t n = std::min(data.size(), other.data.size());
    std::vector<uint64_t> out(n);
    for (std::size_t k = 0; k < n; ++k) out[k] = data[k] ^ other.data[k];
    return BitStreamTensor{std::move(out), length};
}

void BitStreamTensor::xor_inplace(const BitStreamTensor& other) {
    if (length != other.length)
        engine::panic_eq("Bitstream lengths must match for XOR.", length, other.length);
    const std::size_t n = std::min(data.size(), other.data.size());
    for (std::size_t k = 0; k < n; ++k) data[k] ^= other.data[k];
}

double BitStreamTensor::hamming_distance(const BitStreamTensor& other) const {
    if (length != other.length)
        engine::panic_eq("Bitstream lengths must match for Hamming distance.", length, other.length);
    return static_cast<double>(simd::fused_xor_popcount_dispatch(data, other.data)) /
           static_cast<double>(length);
}

uint64_t BitStreamTensor::popcount() const { return simd::portable::popcount(data); }

BitStreamTensor pack(std::span<const uint8_t> bytes) {
    const std::size_t n = bytes.size();
    std::vector<uint64_t> words(engine::ceil_div(n, 64));
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != 0) words[i >> 6] |= 1ull << (i & 63);
    return BitStreamTensor{std::move(words), n};
}

uint64_t pack_fast_word(const uint8_t* bytes, std::size_t n) {
    uint64_t word = 0;
    std::size_t i = 0;
    for (unsigned g = 0; i + 8 <= n; i += 8, ++g) {
        uint64_t x;
        std::memcpy(&x, bytes + i, 8);
        // High bit of each byte: set when the byte is nonzero (no carry crosses bytes).
        const uint64_t nz = (((x & 0x7F7F7F7F7F7F7F7Full) + 0x7F7F7F7F7F7F7F7Full) | x) & 0x8080808080808080ull;
        // Gather the eight high bits into one byte, byte j's to bit j.
        const uint64_t b = ((nz >> 7) * 0x0102040810204080ull) >> 56;
        word |= b << (8 * g);
    }
    for (; i < n; ++i) word |= static_cast<uint64_t>(bytes[i] != 0) << i;
    return word;
}

BitStreamTensor pack_fast(std::span<const uint8_t> bytes) {
    const std::size_t n = bytes.size();
    std::vector<uint64_t> words(engine::ceil_div(n, 64));
    for (std::size_t w = 0; w < words.size(); ++w)
        words[w] = pack_fast_word(bytes.data() + 64 * w, std::min<std::size_t>(64, n - 64 * w));
    return BitStreamTensor{std::move(words), n};
}

std::vector<uint8_t> unpack(const BitStreamTensor& t) {
    require_words(t);
    std::vector<uint8_t> out(t.length);
    const std::size_t full = t.length / 64;
    uint8_t* o = out.data();
    for (std::size_t k = 0; k < full; ++k) {
        uint64_t w = t.data[k];
        for (unsigned b = 0; b < 8; ++b, w >>= 8, o += 8) std::memcpy(o, &kSpread[w & 0xFF], 8);
    }
    for (std::size_t i = 64 * full; i < t.length; ++i) out[i] = (t.data[full] >> (i & 63)) & 1u;
    return out;
}

void bernoulli_packed_into(double p, std::size_t length, rng::Xoshiro256pp& g, std::span<uint64_t> out) {
    float_form(p, length, g, out);
}
void bernoulli_packed_into(double p, std::size_t length, rng::ChaCha8& g, std::span<uint64_t> out) {
    float_form(p, length, g, out);
}
std::vector<uint64_t> bernoulli_packed(double p, std::size_t length, rng::Xoshiro256pp& g) {
    return encoded<rng::Xoshiro256pp, float_form<rng::Xoshiro256pp>>(p, length, g);
}
std::vector<uint64_t> bernoulli_packed(double p, std::size_t length, rng::ChaCha8& g) {
    return encoded<rng::ChaCha8, float_form>(p, length, g);
}

uint8_t byte_threshold(double p) {
    double q = p > 0.0 ? p : 0.0;  // NaN and negatives give 0
    if (q > 1.0) q = 1.0;
    q *= 256.0;
    if (q > 255.0) q = 255.0;
    return static_cast<uint8_t>(q);
}

void bernoulli_packed_simd_into(double p, std::size_t length, rng::Xoshiro256pp& g, std::span<uint64_t> out) {
    byte_form(p, length, g, out);
}
void bernoulli_packed_simd_into(double p, std::size_t length, rng::ChaCha8& g, std::span<uint64_t> out) {
    byte_form(p, length, g, out);
}
std::vector<uint64_t> bernoulli_packed_simd(double p, std::size_t length, rng::Xoshiro256pp& g) {
    return encoded<rng::Xoshiro256pp, byte_form<rng::Xoshiro256pp>>(p, length, g);
}
std::vector<uint64_t> bernoulli_packed_simd(double p, std::size_t length, rng::ChaCha8& g) {
    return encoded<rng::ChaCha8, byte_form<rng::ChaCha8>>(p, length, g);
}

uint64_t encode_and_popcount(std::span<const uint64_t> weights, std::size_t length,
                             rng::Xoshiro256pp& g, double p) {
    const std::size_t full = length / 64, rest = length % 64;
    const std::size_t counted = std::min(full, weights.size());
    const bool partial = rest > 0 && weights.size() > full;
    if (p >= 1.0) {
        uint64_t c = simd::popcount_dispatch(weights.first(counted));
        if (partial) c += simd::detail::popcount_word(weights[full] & low_bits(rest));
        return c;
    }
    const uint8_t t = byte_threshold(p);
    const uint32_t f = simd::features();
    uint64_t c = 0;
    if (counted == 0) {
    } else if (simd::has(f, simd::kNeedBytesCount512))
        c = simd::detail::encode_and_count_avx512(g, weights.data(), counted, t);
    else if (simd::has(f, simd::kNeedBytesCount256))
        c = simd::detail::encode_and_count_avx2(g, weights.data(), counted, t);
    else
        c = simd::detail::encode_and_count_portable(g, weights.data(), counted, t);
    if (partial) c += simd::detail::popcount_word(partial_mask(g, rest, t) & weights[full]);
    return c;
}

std::vector<std::vector<uint64_t>> encode_matrix_prob_to_packed(std::span<const double> probs,
                                                                std::size_t rows, std::size_t cols,
                                                                std::size_t length,
                                                                std::size_t words_per_row,
                                                                rng::ChaCha8& g) {
    // rows * cols beyond the machine size means "more than there are".
    std::size_t n;
    if (__builtin_mul_overflow(rows, cols, &n)) n = SIZE_MAX;
    n = std::min(n, probs.size());
    std::vector<std::vector<uint64_t>> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<uint64_t> v = bernoulli_packed(probs[i], length, g);
        v.resize(words_per_row, 0);
        out.push_back(std::move(v));
    }
    return out;
}

// Rows of fewer words than this in all are encoded on the calling thread. 512 words take 4 to
// 6 us on the machines measured, about the two shares below which the pool keeps a loop on the
// calling thread anyway, after timing its first items; 1024 take half the time on the pool.
constexpr std::size_t kPoolEncodeWords = 768;

void batch_encode_rows(std::span<const double> probs, std::size_t length, uint64_t seed, std::span<uint64_t> out) {
    const std::size_t words = engine::ceil_div(length, 64);
    if (engine::checked_mul(probs.size(), words) > out.size()) engine::panic("batch output too short");
    pool::parallel_for_from(probs.size(), words, kPoolEncodeWords, [&](std::size_t i) {
        rng::Xoshiro256pp g(seed + i);
        bernoulli_packed_simd_into(probs[i], length, g, {out.data() + i * words, words});
    });
}

}  // namespace bitstream
