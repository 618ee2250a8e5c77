// Fork-join cost of the worker pool: one parallel loop of empty tasks, one per worker, against
// a textbook pool (mutex, condition-variable broadcast, counter) timed in the same run.
//
//   build/bench_pool [workers]     (default 8)
//
// Two loops per pool: "empty", where the caller may run tasks that no worker took yet, and
// "all workers", where every task waits until all have started, so every worker takes part.
// Each figure is the median over batches of back-to-back calls (the minimum beside it). The
// pool wakes sleeping workers only for loops long enough to pay for it, so a busy loop wakes
// them before each timing; a task waits at most 1 ms for the others (a worker the system
// did not run meanwhile), and such loops are counted and printed.
//
// Then loops of small items (about 30 to 300 ns each, 4 to 64 us in all, the sizes that the
// engine's callers hand to the pool) through pool::parallel_for against the same items in a plain loop,
// alternating in this process, each call after 1 us of the caller's own work. Target: the pool
// takes at most 1.05 x the plain loop's time.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <immintrin.h>
#include <x86intrin.h>

#include "pool.hpp"

namespace {

constexpr double kTargetUs = 5.0;

// The baseline: n - 1 threads sleeping on a condition variable, woken by a broadcast for every
// loop; the caller takes part and sleeps until the last task is done.
class CondvarPool {
public:
    explicit CondvarPool(std::size_t n) {
        for (std::size_t i = 1; i < n; ++i) threads_.emplace_back([this] { run(); });
    }
    ~CondvarPool() {
        {
            std::lock_guard<std::mutex> lk(mu_);
            stop_ = true;
        }
        work_cv_.notify_all();
        for (auto& t : threads_) t.join();
    }
    void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body) {
        std::unique_lock<std::mutex> lk(mu_);
        body_ = &body;
        n_ = n;
        next_ = 0;
        left_ = n;
        ++generation_;
        work_cv_.notify_all();
        drain(lk);
        done_cv_.wait(lk, [this] { return left_ == 0; });
    }

private:
    void drain(std::unique_lock<std::mutex>& lk) {
        while (next_ < n_) {
            const std::size_t i = next_++;
            lk.unlock();
            (*body_)(i);
            lk.lock();
            if (--left_ == 0) done_cv_.notify_all();
        }
    }
    void run() {
        std::unique_lock<std::mutex> lk(mu_);
        unsigned long long seen = 0;
        for (;;) {
            work_cv_.wait(lk, [&] { return stop_ || generation_ != seen; });
            if (stop_) return;
            seen = generation_;
            drain(lk);
        }
    }
    std::mutex mu_;
    std::condition_variable work_cv_, done_cv_;
    std::vector<std::thread> threads_;
    const std::function<void(std::size_t)>* body_ = nullptr;
    std::size_t n_ = 0, next_ = 0, left_ = 0;
    unsigned long long generation_ = 0;
    bool stop_ = false;
};

struct Figure {
    double median_us, min_us;
};

// Per-call time of f over `batches` batches of `calls` back-to-back calls.
template <class F>
Figure time_calls(int batches, int calls, F&& f) {
    std::vector<double> per_call;
    for (int b = 0; b < batches; ++b) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int c = 0; c < calls; ++c) f();
        const std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - t0;
        per_call.push_back(d.count() / calls);
    }
    std::sort(per_call.begin(), per_call.end());
    return {per_call[per_call.size() / 2], per_call.front()};
}

std::atomic<long> g_timeouts{0};

// A task that returns once all `workers` tasks of its loop have started, or after 1 ms.
struct Rendezvous {
    std::atomic<std::size_t> arrived{0};
    std::size_t workers;
    void operator()(std::size_t) {
        arrived.fetch_add(1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
        while (arrived.load() < workers) {
            _mm_pause();
            if (std::chrono::steady_clock::now() > until) {
                g_timeouts++;
                return;
            }
        }
    }
};

// A loop of some milliseconds, which wakes every sleeping worker.
void busy_loop(const std::function<void(std::size_t, const std::function<void(std::size_t)>&)>& p) {
    p(256, [](std::size_t) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        while (std::chrono::steady_clock::now() < until) _mm_pause();
    });
}

// Busy for about ns nanoseconds, by the time-stamp counter (ticks_per_ns measured at start).
double g_ticks_per_ns = 1.0;
void busy_ns(double ns) {
    const unsigned long long until = __rdtsc() + static_cast<unsigned long long>(ns * g_ticks_per_ns);
    while (__rdtsc() < until) {
    }
}

void measure_ticks() {
    const auto t0 = std::chrono::steady_clock::now();
    const unsigned long long c0 = __rdtsc();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(50)) {
    }
    const std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - t0;
    g_ticks_per_ns = static_cast<double>(__rdtsc() - c0) / d.count();
}

// Per-call microseconds of n items of item_ns each, plain and through the pool: the best of
// rounds of alternating batches.
std::pair<double, double> small_items(std::size_t n, double asked_ns) {
    std::vector<double> out(n);
    const std::function<void(std::size_t)> item = [&](std::size_t i) {
        busy_ns(asked_ns);
        out[i] = static_cast<double>(i);
    };
    double plain = 1e300, pooled = 1e300;
    const int calls = 400;
    for (int round = 0; round < 15; ++round)
        for (int mode = 0; mode < 2; ++mode) {
            const auto t0 = std::chrono::steady_clock::now();
            for (int c = 0; c < calls; ++c) {
                if (mode == 0)
                    for (std::size_t i = 0; i < n; ++i) item(i);
                else
                    pool::parallel_for(n, item);
                busy_ns(1000);
            }
            const std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - t0;
            double& best = mode == 0 ? plain : pooled;
            best = std::min(best, d.count() / calls - 1.0);
        }
    return {plain, pooled};
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t workers = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 8;
    if (workers < 2) {
        std::fprintf(stderr, "bench_pool: needs at least 2 workers\n");
        return 1;
    }
    try {
        pool::build_global(workers);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_pool: cannot build a pool of %zu: %s\n", workers, e.what());
        return 1;
    }
    CondvarPool baseline(workers);
    const int batches = 31, calls = 2000;

    auto empty = [](std::size_t) {};
    auto all_workers = [&](auto& p) {
        Rendezvous r;
        r.workers = workers;
        p(workers, std::ref(r));
    };
    auto engine_for = [](std::size_t n, const std::function<void(std::size_t)>& f) {
        // One chunk per task, offered to the workers at once: the hand-off itself.
        pool::parallel_chunks(n, 1, [&f](std::size_t b, std::size_t) { f(b); });
    };
    auto baseline_for = [&](std::size_t n, const std::function<void(std::size_t)>& f) {
        baseline.parallel_for(n, f);
    };

    busy_loop(engine_for);
    const Figure e_empty = time_calls(batches, calls, [&] { engine_for(workers, empty); });
    const Figure b_empty = time_calls(batches, calls, [&] { baseline.parallel_for(workers, empty); });
    busy_loop(engine_for);
    const Figure e_all = time_calls(batches, calls, [&] { all_workers(engine_for); });
    const long e_timeouts = g_timeouts.exchange(0);
    const Figure b_all = time_calls(batches, calls / 4, [&] { all_workers(baseline_for); });
    const long b_timeouts = g_timeouts.exchange(0);

    std::printf("pool fork-join, %zu workers, median of %d batches of back-to-back calls (min)\n",
                workers, batches);
    std::printf("  %-34s %12s %12s %9s\n", "loop of one empty task per worker", "engine us",
                "condvar us", "speed-up");
    auto row = [](const char* label, Figure e, Figure b, bool target) {
        std::printf("  %-34s %5.2f (%4.2f) %5.2f (%4.2f) %8.1fx", label, e.median_us, e.min_us,
                    b.median_us, b.min_us, b.median_us / e.median_us);
        if (target)
            std::printf("  (target <= %.0f us: %s)", kTargetUs,
                        e.median_us <= kTargetUs ? "met" : "MISSED");
        std::printf("\n");
    };
    row("empty", e_empty, b_empty, false);
    row("all workers take part", e_all, b_all, true);
    if (e_timeouts || b_timeouts)
        std::printf("  tasks that waited 1 ms for a worker the system did not run: engine %ld, "
                    "condvar %ld\n", e_timeouts, b_timeouts);

    measure_ticks();
    std::printf("loops of small items, %zu workers against a plain loop in the same process, best "
                "of 15 rounds\n", workers);
    std::printf("  %8s %6s %9s %10s %10s %6s\n", "item ns", "items", "work us", "plain us", "pool us",
                "ratio");
    for (const double asked_ns : {10.0, 40.0, 120.0, 250.0}) {
        // What an item takes, reading the counter included: the best of a few plain runs.
        double item_ns = 1e300;
        for (int r = 0; r < 5; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < 20000; ++i) busy_ns(asked_ns);
            const std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - t0;
            item_ns = std::min(item_ns, d.count() / 20000);
        }
        for (const double work_us : {4.0, 6.0, 8.0, 16.0, 64.0}) {
            const auto n = static_cast<std::size_t>(work_us * 1000.0 / item_ns);
            const auto [plain, pooled] = small_items(n, asked_ns);
            const double ratio = pooled / plain;
            std::printf("  %8.0f %6zu %9.1f %10.2f %10.2f %6.2f  (target <= 1.05: %s)\n", item_ns, n,
                        work_us, plain, pooled, ratio, ratio <= 1.05 ? "met" : "MISSED");
        }
    }
    return 0;
}
