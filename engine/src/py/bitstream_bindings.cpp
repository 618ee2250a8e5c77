// The bitstream module functions, their NumPy forms, and BitStreamTensor.
#include "bindings.hpp"
#include "bitstream.hpp"
#include "numpy.hpp"
#include "pool.hpp"
#include "sc_arith.hpp"
#include "simd/features.hpp"
#include "simd/kernels.hpp"

namespace py {

using bitstream::BitStreamTensor;

namespace {

using Rows = std::vector<std::vector<uint64_t>>;
using Words = std::vector<uint64_t>;

const char* const kPackedShape = "Expected packed uint64 words as 1-D or 2-D sequence.";

Ref pack_bitstream(Obj bits) {
    if (auto rows = try_load<std::vector<std::vector<uint8_t>>>(bits.ptr)) {
        std::vector<Words> out;
        out.reserve(rows->size());
        for (const auto& r : *rows) out.push_back(bitstream::pack(r).data);
        return Ref::check(to_py(out));
    }
    if (auto flat = try_load<std::vector<uint8_t>>(bits.ptr))
        return Ref::check(to_py(bitstream::pack(*flat).data));
    throw engine::Error("Expected a 1-D or 2-D array of uint8 bits.");
}

Bytes unpacked(Words words, std::size_t length) {
    return Bytes{bitstream::unpack(BitStreamTensor::from_words(std::move(words), length))};
}

Ref unpack_bitstream(Obj packed, std::size_t original_length,
                     std::optional<std::tuple<std::size_t, std::size_t>> original_shape) {
    if (auto rows = try_load<Rows>(packed.ptr)) {
        std::size_t bits;
        if (original_shape) {
            const auto [batch, row_len] = *original_shape;
            if (batch != rows->size())
                throw engine::Error("original_shape batch " + std::to_string(batch) +
                                    " does not match packed batch " + std::to_string(rows->size()) + ".");
            bits = row_len;
        } else {
            bits = rows->empty() ? 0 : original_length / rows->size();
        }
        std::vector<Bytes> out;
        out.reserve(rows->size());
        for (auto& r : *rows) out.push_back(unpacked(std::move(r), bits));
        return Ref::check(to_py(out));
    }
    if (auto flat = try_load<Words>(packed.ptr)) return Ref::check(to_py(unpacked(std::move(*flat), original_length)));
    throw engine::Error(kPackedShape);
}

uint64_t popcount(Obj packed) {
    if (auto rows = try_load<Rows>(packed.ptr)) {
        uint64_t total = 0;
        for (const auto& r : *rows) total += simd::popcount_dispatch(r);
        return total;
    }
    if (auto flat = try_load<Words>(packed.ptr)) return simd::popcount_dispatch(*flat);
    throw engine::Error(kPackedShape);
}

Ref unpack_bitstream_numpy(np::Array<uint64_t, 1> packed, std::size_t original_length) {
    const auto words = packed.slice("Cannot read numpy array: ");
    return np::array(bitstream::unpack(
        BitStreamTensor::from_words(Words(words.begin(), words.end()), original_length)));
}

std::vector<Words> batch_encode(np::Array<double, 1> probs, std::size_t length, uint64_t seed) {
    const auto p = probs.slice("Cannot read probs: ");
    rng::ChaCha8 g(seed);
    std::vector<Words> out;
    out.reserve(p.size());
    for (double v : p) out.push_back(bitstream::bernoulli_packed(v, length, g));
    return out;
}

Ref batch_encode_numpy(np::Array<double, 1> probs, std::size_t length, uint64_t seed) {
    const auto p = probs.slice("Cannot read probs: ");
    const std::size_t words = engine::ceil_div(length, 64);
    std::size_t total, bytes;
    if (__builtin_mul_overflow(p.size(), words, &total) || __builtin_mul_overflow(total, sizeof(uint64_t), &bytes) ||
        bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX))
        throw engine::Error("Shape construction failed: array is too big; `arr.size * arr.dtype.itemsize` "
                            "is larger than the maximum possible size.");
    Words buf(total);
    bitstream::batch_encode_rows(p, length, seed, buf);
    return np::array2d(std::move(buf), p.size(), words);
}

Ref cordiv(np::Array<uint8_t, 1> numerator, np::Array<uint8_t, 1> denominator) {
    return np::array(sc_arith::cordiv(numerator.slice_or_type_error(), denominator.slice_or_type_error()));
}

std::string tensor_repr(const BitStreamTensor& t) {
    return "BitStreamTensor(length=" + std::to_string(t.length) + ", popcount=" + std::to_string(t.popcount()) + ")";
}

}  // namespace

Ref simd_tier_function() {
    return function<[] { return std::string(simd::simd_tier()); }>(
        "simd_tier", {}, "Returns the highest SIMD tier available on this CPU.");
}

Ref pack_bitstream_function() { return function<&pack_bitstream>("pack_bitstream", {arg("bits")}); }

Ref unpack_bitstream_function() {
    return function<&unpack_bitstream>("unpack_bitstream",
                                       {arg("packed"), arg("original_length"), arg("original_shape", None)});
}

Ref popcount_function() { return function<&popcount>("popcount", {arg("packed")}); }

Ref pack_bitstream_numpy_function() {
    return function<[](np::Array<uint8_t, 1> bits) {
        return np::array(std::move(simd::pack_dispatch(bits.slice("Cannot read numpy array: ")).data));
    }>("pack_bitstream_numpy", {arg("bits")},
       "Pack a 1-D numpy uint8 array into packed u64 words, returning a numpy array.\n"
       "Zero-copy input, single-allocation output.");
}

Ref popcount_numpy_function() {
    return function<[](np::Array<uint64_t, 1> packed) {
        return simd::popcount_dispatch(packed.slice("Cannot read numpy array: "));
    }>("popcount_numpy", {arg("packed")}, "Popcount on a numpy uint64 array \u2014 zero-copy input.");
}

Ref unpack_bitstream_numpy_function() {
    return function<&unpack_bitstream_numpy>("unpack_bitstream_numpy", {arg("packed"), arg("original_length")},
                                             "Unpack a numpy uint64 array back to a numpy uint8 array.");
}

Ref batch_encode_function() {
    return function<&batch_encode>(
        "batch_encode", {arg("probs"), arg("length", 1024), arg("seed", 44257)},
        "Bernoulli-encode a numpy float64 array into packed bitstream words.\n\n"
        "Returns nested packed words with shape (n_probs, ceil(length / 64)).");
}

Ref batch_encode_numpy_function() {
    return function<&batch_encode_numpy>(
        "batch_encode_numpy", {arg("probs"), arg("length", 1024), arg("seed", 44257)},
        "Bernoulli-encode a numpy float64 array into a 2-D numpy uint64 array.\n\n"
        "Returns shape `(n_probs, ceil(length / 64))`.");
}

Ref cordiv_function() { return function<&cordiv>("py_cordiv", {arg("numerator"), arg("denominator")}); }

Ref adaptive_length_function() {
    return function<&sc_arith::adaptive_length>("py_adaptive_length", {arg("epsilon"), arg("confidence")});
}

Ref bitstream_tensor_class() {
    return Class<BitStreamTensor>("BitStreamTensor")
        .init<[](std::size_t dimension, uint64_t seed) { return BitStreamTensor::random(dimension, seed); }>(
            {arg("dimension", 10000), arg("seed", 44257)})
        .def<[](const BitStreamTensor& a, const BitStreamTensor& b) { return make(a.xor_with(b)); }>(
            "xor", {arg("other")}, "XOR returning a new tensor (HDC bind).")
        .def<[](BitStreamTensor& a, const BitStreamTensor& b) { a.xor_inplace(b); }>(
            "xor_inplace", {arg("other")}, "In-place XOR (HDC bind).")
        .def_static<[](std::vector<Shared<BitStreamTensor>> vectors) {
            std::vector<const BitStreamTensor*> members;
            members.reserve(vectors.size());
            for (const auto& v : vectors) members.push_back(&v.get());
            return make(BitStreamTensor::bundle(members));
        }>("bundle", {arg("vectors")}, "Majority-vote bundle of multiple tensors.")
        .def_static<[](std::vector<uint64_t> data, std::size_t length) {
            if (length == 0) throw engine::Error("bitstream length must be > 0");
            return make(BitStreamTensor{std::move(data), length});
        }>("from_packed", {arg("data"), arg("length")}, "Create from pre-packed u64 words.")
        .def<&BitStreamTensor::rotate_right>("rotate_right", {arg("shift")},
                                             "Cyclic right rotation by `shift` bits (HDC permute).")
        .def<&BitStreamTensor::hamming_distance>("hamming_distance", {arg("other")},
                                                 "Normalized Hamming distance (0.0 = identical, 1.0 = opposite).")
        .def<&BitStreamTensor::popcount>("popcount", {}, "Count of set bits.")
        .prop<[](const BitStreamTensor& t) { return t.data; }>("data", "Packed u64 words (read-only copy).")
        .prop<[](const BitStreamTensor& t) { return t.length; }>("length", "Logical bit length.")
        .len<[](const BitStreamTensor& t) { return t.length; }>()
        .repr<&tensor_repr>()
        .build();
}

}  // namespace py
