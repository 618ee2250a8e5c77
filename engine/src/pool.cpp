#include "pool.hpp"

#include <immintrin.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "error.hpp"

namespace pool {
namespace {

// How long an idle thread keeps looking for work before it sleeps: short loops called back to
// back (a solver step, a layer pass) then never pay for a wake-up.
constexpr auto kSpin = std::chrono::microseconds(50);

struct Job {
    const std::function<void(std::size_t, std::size_t)>* body;
    std::size_t n, grain, chunks;
    int max_helpers;                       // workers that may join besides the caller
    std::atomic<std::size_t> next{0};      // next chunk to claim
    std::atomic<std::size_t> finished{0};  // chunks claimed and ended (run or skipped)
    std::atomic<bool> failed{false};
    std::exception_ptr error;              // first failure, written under the pool mutex
    int helpers = 0;                       // workers holding a pointer, under the pool mutex
    bool waiting = false;                  // the caller sleeps on done_cv, under the pool mutex
};

struct Pool {
    std::mutex mu;
    std::condition_variable work_cv;  // a job was queued
    std::condition_variable done_cv;  // a job the caller waits for may have finished
    std::deque<Job*> queue;
    std::atomic<std::size_t> queued{0};  // queue.size(), readable without the mutex
    int sleeping = 0;
    std::vector<std::thread> threads;
    std::size_t size = 0;
};

Pool* g_pool = nullptr;
std::mutex g_build_mu;

template <class Done>
bool spin_until(Done done) {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return true;
            _mm_pause();
        }
        if (std::chrono::steady_clock::now() >= until) return done();
    }
}

void remove_job(Pool& p, Job& job) {
    auto it = std::find(p.queue.begin(), p.queue.end(), &job);
    if (it != p.queue.end()) {
        p.queue.erase(it);
        p.queued.store(p.queue.size(), std::memory_order_relaxed);
    }
}

// Claims and runs chunks of job until none is left.
void work_on(Pool& p, Job& job) {
    for (;;) {
        const std::size_t c = job.next.fetch_add(1, std::memory_order_relaxed);
        if (c >= job.chunks) break;
        if (!job.failed.load(std::memory_order_relaxed)) {
            const std::size_t b = c * job.grain, e = std::min(job.n, b + job.grain);
            try {
                (*job.body)(b, e);
            } catch (...) {
                std::lock_guard<std::mutex> lk(p.mu);
                if (!job.failed.exchange(true)) job.error = std::current_exception();
            }
        }
        if (job.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == job.chunks) {
            std::lock_guard<std::mutex> lk(p.mu);
            if (job.waiting) p.done_cv.notify_all();
        }
    }
}

Job* joinable(Pool& p) {
    for (Job* j : p.queue)
        if (j->helpers < j->max_helpers && j->next.load(std::memory_order_relaxed) < j->chunks) return j;
    return nullptr;
}

void worker_main(Pool* p) {
    std::unique_lock<std::mutex> lk(p->mu);
    for (;;) {
        Job* job = joinable(*p);
        if (!job) {
            lk.unlock();
            spin_until([p] { return p->queued.load(std::memory_order_relaxed) != 0; });
            lk.lock();
            job = joinable(*p);
            while (!job) {
                ++p->sleeping;
                p->work_cv.wait(lk);
                --p->sleeping;
                job = joinable(*p);
            }
        }
        ++job->helpers;
        lk.unlock();
        work_on(*p, *job);
        lk.lock();
        remove_job(*p, *job);
        if (--job->helpers == 0 && job->waiting) p->done_cv.notify_all();
    }
}

std::size_t env_count(const char* name, bool& zero) {
    const char* v = std::getenv(name);
    if (!v || !*v) return 0;
    char* end = nullptr;
    const unsigned long long x = std::strtoull(v, &end, 10);
    if (*end != '\0' || v[0] == '-') return 0;
    if (x == 0) zero = true;
    return static_cast<std::size_t>(x);
}

std::size_t cpu_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned h = std::thread::hardware_concurrency();
    return h ? h : 1;
}

Pool* make_pool(std::size_t n) {
    auto* p = new Pool();
    p->size = n;
    try {
        for (std::size_t i = 0; i < n; ++i) p->threads.emplace_back(worker_main, p);
    } catch (const std::system_error& e) {
        // Threads already started wait on an empty queue for good; the pool object stays
        // allocated with them since they still use it.
        for (auto& t : p->threads) t.detach();
        throw engine::Error(e.code().message());
    }
    for (auto& t : p->threads) t.detach();
    return p;
}

Pool& global() {
    Pool* p = __atomic_load_n(&g_pool, __ATOMIC_ACQUIRE);
    if (p) return *p;
    std::lock_guard<std::mutex> lk(g_build_mu);
    if (!g_pool) __atomic_store_n(&g_pool, make_pool(default_size()), __ATOMIC_RELEASE);
    return *g_pool;
}

}  // namespace

std::size_t default_size() {
    for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        bool zero = false;
        const std::size_t n = env_count(name, zero);
        if (n > 0) return n;
        if (zero) return cpu_count();
    }
    return cpu_count();
}

void build_global(std::size_t n) {
    std::lock_guard<std::mutex> lk(g_build_mu);
    if (g_pool) throw engine::Error("The global thread pool has already been initialized.");
    __atomic_store_n(&g_pool, make_pool(n), __ATOMIC_RELEASE);
}

std::size_t num_threads() { return global().size; }

void parallel_chunks(std::size_t n, std::size_t grain,
                     const std::function<void(std::size_t, std::size_t)>& body) {
    Pool& p = global();  // a parallel operation brings the pool into being, even an empty one
    if (n == 0) return;
    if (grain == 0) grain = 1;
    Job job;
    job.body = &body;
    job.n = n;
    job.grain = grain;
    job.chunks = engine::ceil_div(n, grain);
    // The caller works too, so at most size threads compute at once.
    job.max_helpers = static_cast<int>(std::min<std::size_t>(p.size - 1, job.chunks - 1));
    if (job.max_helpers > 0) {
        std::lock_guard<std::mutex> lk(p.mu);
        p.queue.push_back(&job);
        p.queued.store(p.queue.size(), std::memory_order_relaxed);
        const int wake = std::min(p.sleeping, job.max_helpers);
        for (int i = 0; i < wake; ++i) p.work_cv.notify_one();
    }
    work_on(p, job);
    auto done = [&] {
        return job.finished.load(std::memory_order_acquire) == job.chunks;
    };
    if (job.max_helpers > 0) {
        spin_until(done);
        std::unique_lock<std::mutex> lk(p.mu);
        remove_job(p, job);
        job.waiting = true;
        p.done_cv.wait(lk, [&] { return done() && job.helpers == 0; });
    }
    if (job.error) std::rethrow_exception(job.error);
}

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body) {
    // A few chunks per thread balance uneven tasks without much queue traffic.
    const std::size_t threads = num_threads();
    const std::size_t grain = std::max<std::size_t>(1, n / (threads * 4));
    parallel_chunks(n, grain, [&body](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) body(i);
    });
}

}  // namespace pool
