#include "error.hpp"

#include <sstream>
#include <thread>

namespace engine {

static std::string thread_label() {
    std::ostringstream s;
    s << std::this_thread::get_id();
    return s.str();
}

Panic::Panic(const std::string& msg, std::source_location w, std::string t)
    : std::runtime_error(msg), where(w), thread(std::move(t)) {}

void panic(const std::string& msg, std::source_location where) {
    throw Panic(msg, where, thread_label());
}

void panic_eq(const std::string& msg, unsigned long long left, unsigned long long right,
              std::source_location where) {
    panic("assertion `left == right` failed: " + msg + "\n  left: " + std::to_string(left) +
              "\n right: " + std::to_string(right),
          where);
}

void panic_index(std::size_t index, std::size_t len, std::source_location where) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          where);
}

std::size_t checked_mul(std::size_t a, std::size_t b, std::source_location where) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) panic("size overflow", where);
    return r;
}

}  // namespace engine
