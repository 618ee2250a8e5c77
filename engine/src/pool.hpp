// The process-wide worker pool: fixed size, built once, never torn down. A fork child starts
// without one and builds its own, of the parent's size, at its first parallel operation (or of
// the size build_global gives it before that).
#pragma once
#include <cstddef>
#include <functional>

namespace pool {

// Builds the global pool with exactly n workers (n > 0) and returns once all have started.
// Throws engine::Error with the reason when the pool exists already or a thread cannot start;
// in the latter case the threads already started are stopped and the pool stays unbuilt.
void build_global(std::size_t n);

// Worker count of the global pool, building it with its default size on first use. When the
// default pool could not be started (the first use threw), this is 1 and loops run inline.
std::size_t num_threads();

// Worker count of the global pool if it exists, else 0; never builds it.
std::size_t existing_size();

// Size the pool takes when it is built without build_global.
std::size_t default_size();

// Runs body(i) for every i in [0, n) on the pool; the calling thread takes part and returns
// when all are done. Nested calls from inside a body are allowed. The first exception thrown
// by a body stops the loop (remaining chunks are skipped) and is rethrown here. The first
// items run on the calling thread, and the rest go to the pool only when the work left,
// judged by their pace, pays for the hand-off: a small loop never leaves the calling thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body);

// As parallel_for for loops called again and again over the same data (the steps of a run):
// the items are split into runs of consecutive items, and each thread of the pool takes the
// items of the same run on every call before it helps with the others, so that each item's
// data tends to stay in the cache of the thread that used it last.
void parallel_for_affine(std::size_t n, const std::function<void(std::size_t)>& body);

// As parallel_for, giving each task a range [begin, end) of at most grain indices, offered to
// the pool at once: for callers whose own threshold says the work is worth it.
void parallel_chunks(std::size_t n, std::size_t grain,
                     const std::function<void(std::size_t, std::size_t)>& body);

// As parallel_for when the loop's work, n items of cost_each in the caller's unit, reaches
// pool_from (a threshold its caller measured), else on the calling thread alone. Either way it
// is a parallel operation: the pool comes into being here, as for parallel_for.
template <class F>
void parallel_for_from(std::size_t n, std::size_t cost_each, std::size_t pool_from, F&& body) {
    std::size_t total;
    if (!__builtin_mul_overflow(n, cost_each, &total) && total < pool_from) {
        num_threads();
        for (std::size_t i = 0; i < n; ++i) body(i);
        return;
    }
    parallel_for(n, body);
}

}  // namespace pool
