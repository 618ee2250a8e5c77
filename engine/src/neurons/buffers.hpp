// Buffers of the size-built models (histories, kernels, rings, fields, weight matrices).
#pragma once
#include <cstddef>
#include <vector>

#include "error.hpp"

namespace neurons {

// n copies of value. A count whose byte size cannot be represented stops the call; a
// representable one that no memory can hold fails as that allocation does (std::bad_alloc).
inline std::vector<double> filled(std::size_t n, double value) {
    if (n > std::vector<double>().max_size()) engine::panic("capacity overflow");
    return std::vector<double>(n, value);
}

// rows * cols copies of value (a row-major matrix), with the same two failures: a product
// that wraps is a count that cannot be represented, never a short buffer.
inline std::vector<double> filled(std::size_t rows, std::size_t cols, double value) {
    std::size_t n;
    if (__builtin_mul_overflow(rows, cols, &n)) engine::panic("capacity overflow");
    return filled(n, value);
}

// n + extra as a buffer length: a sum that wraps cannot be represented either.
inline std::size_t length_plus(std::size_t n, std::size_t extra) {
    std::size_t r;
    if (__builtin_add_overflow(n, extra, &r)) engine::panic("capacity overflow");
    return r;
}

}  // namespace neurons
