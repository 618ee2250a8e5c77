// The process-wide worker pool: fixed size, built once, never torn down.
#pragma once
#include <cstddef>
#include <functional>

namespace pool {

// Builds the global pool with exactly n workers (n > 0) and returns once all have started.
// Throws engine::Error with the reason when the pool exists already or a thread cannot start.
void build_global(std::size_t n);

// Worker count of the global pool, building it with its default size on first use.
std::size_t num_threads();

// Size the pool takes when it is built without build_global.
std::size_t default_size();

// Runs body(i) for every i in [0, n) on the pool; the calling thread takes part and returns
// when all are done. Nested calls from inside a body are allowed. The first exception thrown
// by a body stops the loop (remaining chunks are skipped) and is rethrown here.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body);

// As parallel_for, giving each task a range [begin, end) of at most grain indices.
void parallel_chunks(std::size_t n, std::size_t grain,
                     const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace pool
