// Loops that go to the worker pool only when there is enough work to pay for it.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "pool.hpp"

namespace chunked {

// Runs body(b, e) over [0, n) in ranges of at most grain indices: on the calling thread when
// one range covers everything (the pool is then not touched), else on the pool.
template <class Body>
void run(std::size_t n, std::size_t grain, Body&& body) {
    if (n <= grain) {
        body(std::size_t{0}, n);
        return;
    }
    pool::parallel_chunks(n, grain, body);
}

// Indices per task so that a task holds at least min_task of work when each index costs
// per_item (both in the same unit).
inline std::size_t grain_for(double per_item, double min_task) {
    if (!(per_item > 0.0)) return SIZE_MAX;
    const double g = std::ceil(min_task / per_item);
    return g >= 1e18 ? SIZE_MAX : std::max<std::size_t>(1, static_cast<std::size_t>(g));
}

}  // namespace chunked
