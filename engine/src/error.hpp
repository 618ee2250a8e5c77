// Engine failures: a message for the caller (Error) or a violated precondition (Panic).
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <vector>

namespace engine {

// A message of the engine's own, returned to the caller instead of a value.
struct Error : std::runtime_error {
    explicit Error(const std::string& msg) : std::runtime_error(msg), text(msg) {}
    explicit Error(const char* msg) : Error(std::string(msg)) {}
    std::string text;  // the whole message: what() ends at a NUL that a caller's text may hold
};

// A violated precondition: stops the call. Carries where it happened and on which thread.
struct Panic : std::runtime_error {
    Panic(const std::string& msg, std::source_location where, std::string thread);
    std::source_location where;
    std::string thread;
};

[[noreturn]] void panic(const std::string& msg,
                        std::source_location where = std::source_location::current());

// Stops with the two-sided report of a failed equality check.
[[noreturn]] void panic_eq(const std::string& msg, unsigned long long left, unsigned long long right,
                           std::source_location where = std::source_location::current());

[[noreturn]] void panic_index(std::size_t index, std::size_t len,
                              std::source_location where = std::source_location::current());

// Bounds-checked element access for indices that callers control.
template <class V>
inline auto& at(V& v, std::size_t i, std::source_location where = std::source_location::current()) {
    if (i >= v.size()) panic_index(i, v.size(), where);
    return v[i];
}

// ceil(n / d) without the wrap of (n + d - 1) / d.
constexpr std::size_t ceil_div(std::size_t n, std::size_t d) { return n / d + (n % d != 0); }

// a * b, stopping instead of wrapping.
std::size_t checked_mul(std::size_t a, std::size_t b,
                        std::source_location where = std::source_location::current());

// a * b as the size of a buffer: a product that does not fit fails as that allocation would
// (std::bad_alloc), instead of wrapping into a small one.
inline std::size_t alloc_size(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
    return r;
}
// Whether len is a * b, the product not wrapping; product receives a * b (wrapped if it did).
inline bool length_is_product(std::size_t len, std::size_t a, std::size_t b, std::size_t& product) {
    return !__builtin_mul_overflow(a, b, &product) && len == product;
}

// x converted to u64, saturating: NaN and values at or below 0 give 0, values beyond the
// range the maximum (a plain cast of those is undefined).
inline uint64_t saturating_u64(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(x);
}

// A vector of rows * cols copies of v. A count no memory can hold fails as that allocation
// would, with std::bad_alloc, never with the library's length error.
template <class T>
std::vector<T> sized_vector(std::size_t rows, std::size_t cols, const T& v = T{}) {
    const std::size_t n = alloc_size(rows, cols);
    if (n > std::vector<T>().max_size()) throw std::bad_alloc();
    return std::vector<T>(n, v);
}

}  // namespace engine
