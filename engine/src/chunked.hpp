// Loops that go to the worker pool only when there is enough work to pay for it.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "error.hpp"
#include "pool.hpp"

namespace chunked {

// Measured on a call that follows some Python work, when the workers have gone to sleep:
// handing a loop to the pool then costs 100 to 150 us before the work is shared, so a loop of
// less than kMinParallelNs of work stays on the calling thread, and a task carries at least
// kMinTaskNs.
inline constexpr double kMinParallelNs = 400'000;
inline constexpr double kMinTaskNs = 50'000;

// Indices per pool task for n items of about per_item_ns each on the calling thread: n when
// the loop is too short for the pool, else enough for kMinTaskNs, rounded up to whole units.
inline std::size_t grain_for(std::size_t n, double per_item_ns, std::size_t unit = 1) {
    if (!(per_item_ns * static_cast<double>(n) >= kMinParallelNs)) return n;
    const double g = std::ceil(kMinTaskNs / per_item_ns / static_cast<double>(unit));
    if (!(g < static_cast<double>(n))) return n;
    return (g < 1.0 ? 1 : static_cast<std::size_t>(g)) * unit;
}

// Runs body(b, e) over [0, n) in ranges of grain_for(n, per_item_ns, unit) indices, on the
// calling thread alone when one range covers everything. For a loop of an operation that is
// serial to its callers: inline, it leaves the pool unbuilt.
template <class Body>
void run_if_worth(std::size_t n, double per_item_ns, Body&& body, std::size_t unit = 1) {
    const std::size_t grain = grain_for(n, per_item_ns, unit);
    if (grain >= n) {
        body(std::size_t{0}, n);
        return;
    }
    pool::parallel_chunks(n, grain, body);
}

// As run_if_worth for a parallel operation: the pool comes into being even when the loop
// stays on the calling thread.
template <class Body>
void run(std::size_t n, double per_item_ns, Body&& body, std::size_t unit = 1) {
    pool::num_threads();
    run_if_worth(n, per_item_ns, body, unit);
}

}  // namespace chunked
