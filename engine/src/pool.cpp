#include "pool.hpp"

#include <immintrin.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "error.hpp"

namespace pool {
namespace {

using Body = std::function<void(std::size_t, std::size_t)>;

// How long an idle thread keeps looking for work before it sleeps: short loops called back to
// back (a solver step, a layer pass) then never pay for a wake-up.
constexpr auto kSpin = std::chrono::microseconds(200);
constexpr auto kSpinBeforeYield = std::chrono::microseconds(10);

// Waking a sleeping thread costs its waker some 10-15 us, and as much again passes before the
// thread takes work (measured on 8 virtual cores). So a loop wakes sleepers only once the work
// it still has unclaimed, estimated from its pace so far, is worth several times that; shorter
// loops run with the threads that are awake, or inline. A loop that follows the previous one
// within kSpin is likely one of a series (the steps of a run), whose later loops find the
// woken threads still spinning: it wakes them for less.
constexpr auto kWakeWorth = std::chrono::microseconds(50);
constexpr auto kWakeWorthInSeries = std::chrono::microseconds(10);

// The least work one more thread must get for its help to pay (its hand-off and the cache
// misses of taking data another thread used last), measured on short loops of 8 workers. So
// parallel_for runs its first items inline and offers the rest to the pool only once the work
// left, estimated from its pace (after kProbeMin, for a clock reading worth trusting), makes
// two such shares: a loop too small for the pool never touches it.
constexpr std::chrono::duration<double> kShareWorth = std::chrono::microseconds(2);
constexpr auto kProbeMin = std::chrono::nanoseconds(250);

// kShareWorth is what a hand-off costs where a cache line goes from one thread to another and
// back in kRoundTrip. That round trip is measured when the pool starts, and the figure scales
// with it: by at least 1 (it was measured so) and at most kMaxScale (should the measurement be
// disturbed).
constexpr auto kRoundTrip = std::chrono::nanoseconds(180);
constexpr double kMaxScale = 10.0;

// Loops that can be open at once (nested loops each take one); a caller that finds none free
// runs its loop inline, which gives the same results.
constexpr unsigned kSlots = 64;

// A slot's state word: who holds it and how many workers are inside. A worker joins only an
// open slot with room left, so the owner can hand out a slot's fields without a lock; a slot
// is free again once its owner has released it and the last worker has left (state 0).
constexpr uint64_t kOwned = uint64_t{1} << 63;
constexpr uint64_t kOpen = uint64_t{1} << 62;
constexpr unsigned kRoomShift = 31;
constexpr uint64_t kCountMask = (uint64_t{1} << kRoomShift) - 1;  // workers inside; also the room

// A loop splits its chunks into runs of consecutive chunks, one per thread that can compute
// at once (up to this many): a thread claims from its own run, whose counter no other thread
// writes until the run is nearly done, and then helps with the others. So the threads of a
// loop share a cache line only at its start, when they steal, and at its end.
constexpr unsigned kMaxRuns = 16;

// Chunks per run of a loop whose grain the pool chooses: enough to even out the threads'
// arrival times and uneven items, few enough that claiming costs nothing next to the items.
constexpr std::size_t kChunksPerRun = 4;

// A thread's place among the threads that run loops: 0 for any caller, 1 + its index for a
// worker. An affine loop gives each place the same run of chunks on every call: the caller
// the first run, the workers the others by their index. Other loops give a worker the run of
// its order of arrival.
thread_local unsigned t_place = 0;

// Each part that threads write while others read it has a cache line of its own.
struct alignas(64) Slot {
    std::atomic<uint64_t> state{0};
    // The loop, written by the owner before it opens the slot.
    alignas(64) const Body* body = nullptr;
    std::size_t n = 0, grain = 0, chunks = 0;
    std::exception_ptr error;           // written by the one task that set `failed`
    std::atomic<bool> failed{false};
    std::atomic<bool> waiting{false};   // the owner sleeps on done_cv
    // Chunks claimed and ended (run or skipped), added by each thread once it leaves the loop.
    alignas(64) std::atomic<std::size_t> finished{0};
    // The runs (at least one): chunks [next, end) are left of the run that began at `begin`.
    unsigned runs = 0;
    bool affine = false;
    struct alignas(64) Run {
        std::atomic<std::size_t> next{0};
        std::size_t begin = 0, end = 0;
    } run[kMaxRuns];

    std::size_t claimed() const {
        std::size_t c = 0;
        for (unsigned r = 0; r < runs; ++r)
            c += std::min(run[r].next.load(std::memory_order_relaxed), run[r].end) - run[r].begin;
        return c;
    }
};

constexpr std::size_t kNoChunk = ~std::size_t{0};

// The next chunk of slot sl for a thread: from run r (its own to begin with) while it has
// chunks, then from the others in turn. `r` and `tried` keep the thread's place between calls.
std::size_t claim(Slot& sl, unsigned& r, unsigned& tried) {
    while (tried < sl.runs) {
        Slot::Run& run = sl.run[r];
        if (run.next.load(std::memory_order_relaxed) < run.end) {
            const std::size_t c = run.next.fetch_add(1, std::memory_order_relaxed);
            if (c < run.end) return c;
        }
        r = r + 1 == sl.runs ? 0 : r + 1;
        ++tried;
    }
    return kNoChunk;
}

struct Pool {
    explicit Pool(std::size_t n) : size(n) {}
    const std::size_t size;
    // kShareWorth scaled to this machine, set before the pool is published.
    std::chrono::duration<double> share_worth = kShareWorth;
    alignas(64) std::atomic<uint64_t> ping{0};  // the round trips of the start, with worker 0
    int caller_cpu = -1;                        // where the pool's builder ran when it started
    Slot slots[kSlots];
    alignas(64) std::atomic<uint64_t> open{0};  // bit s: slot s may have chunks left to claim
    alignas(64) std::atomic<int> sleepers{0};  // changed under mu, read anywhere
    std::atomic<std::chrono::steady_clock::rep> last_end{0};  // when a loop last finished
    int wakes = 0;                              // sleepers asked to wake, under mu
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::condition_variable work_cv;  // `wakes` was raised (or stop was set)
    std::condition_variable done_cv;  // a loop whose owner sleeps has finished
    std::vector<std::thread> threads;
    Pool* forgotten_before = nullptr;  // the chain of g_forgotten
};

std::atomic<Pool*> g_pool{nullptr};
std::atomic<bool> g_default_failed{false};  // the default pool could not start; loops run inline
std::mutex g_build_mu;
// The size build_global gave (0 when the pool took the default size). A fork child inherits it
// and builds a pool of the same size when it first needs one.
std::size_t g_set_size = 0;
// Pools that a fork left in this process without their threads: never touched again, only kept
// reachable.
Pool* g_forgotten = nullptr;

// Waits up to kSpin for done(). An idle worker (`yield`) that found nothing for a while also
// hands its processor to any other runnable thread now and then, so that on a busy machine it
// does not keep a thread with work off its core; loops called back to back never see it. A
// caller waiting for its own loop does not yield: it would lose its core.
template <class Done>
bool spin_until(Done done, bool yield) {
    const auto start = std::chrono::steady_clock::now();
    const auto calm = start + kSpinBeforeYield, until = start + kSpin;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return true;
            _mm_pause();
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return done();
        if (yield && now >= calm) sched_yield();
    }
}

uint64_t bit(unsigned s) { return uint64_t{1} << s; }

// Claims and runs chunks of slot s, from run `first` on, until none is left, calling
// after_chunk() after each; then adds the chunks it ended to the loop's count.
template <class AfterChunk>
void work_on(Pool& p, unsigned s, unsigned first, AfterChunk after_chunk) {
    Slot& sl = p.slots[s];
    unsigned run = first, tried = 0;
    std::size_t ended = 0;
    for (;;) {
        const std::size_t c = claim(sl, run, tried);
        if (c == kNoChunk) break;
        if (!sl.failed.load(std::memory_order_relaxed)) {
            const std::size_t b = c * sl.grain, e = std::min(sl.n, b + sl.grain);
            try {
                (*sl.body)(b, e);
            } catch (...) {
                if (!sl.failed.exchange(true)) sl.error = std::current_exception();
            }
        }
        ++ended;
        after_chunk();
    }
    if (p.open.load(std::memory_order_relaxed) & bit(s)) p.open.fetch_and(~bit(s), std::memory_order_relaxed);
    // seq_cst with `waiting`: either the owner sees the last count or this sees it sleep.
    if (ended && sl.finished.fetch_add(ended) + ended == sl.chunks && sl.waiting.load()) {
        std::lock_guard<std::mutex> lk(p.mu);
        p.done_cv.notify_all();
    }
}

// Wakes up to `want` sleeping threads.
void wake(Pool& p, int want) {
    std::lock_guard<std::mutex> lk(p.mu);
    const int add = std::min(want, p.sleepers.load(std::memory_order_relaxed) - p.wakes);
    for (int i = 0; i < add; ++i) {
        ++p.wakes;
        p.work_cv.notify_one();
    }
}

constexpr unsigned kNotJoined = ~0u;

// Enters slot s as a helper if it is open and has room, and returns the run the helper starts
// from (kNotJoined when it did not enter). The count is raised first (one atomic step, no retry
// loop) and taken back when the slot turns out closed or full.
unsigned join(Pool& p, unsigned s) {
    Slot& sl = p.slots[s];
    const uint64_t st = sl.state.fetch_add(1, std::memory_order_acquire);
    const uint64_t inside = st & kCountMask, room = (st >> kRoomShift) & kCountMask;
    if ((st & kOpen) && inside < room) {
        // The last seat taken: idle threads need not look at this slot any more.
        if (inside + 1 == room) p.open.fetch_and(~bit(s), std::memory_order_relaxed);
        // The caller has the first run.
        if (sl.runs == 1) return 0;
        const uint64_t k = sl.affine ? t_place - 1 : inside;
        return 1 + static_cast<unsigned>(k % (sl.runs - 1));
    }
    sl.state.fetch_sub(1, std::memory_order_release);
    return kNotJoined;
}

// Joins one open slot, starting the search at `from` so that threads spread over loops. A
// thread just woken for it passes the wake-up on to two more sleepers while chunks are left,
// so that waking all of them costs no single thread much.
bool help_once(Pool& p, unsigned from, bool woken) {
    const uint64_t mask = p.open.load(std::memory_order_acquire);
    if (mask == 0) return false;
    const unsigned r = from % kSlots;
    const uint64_t rotated = r ? (mask >> r) | (mask << (kSlots - r)) : mask;
    for (uint64_t m = rotated; m != 0; m &= m - 1) {
        const unsigned s = (static_cast<unsigned>(__builtin_ctzll(m)) + r) % kSlots;
        const unsigned first = join(p, s);
        if (first == kNotJoined) continue;
        if (woken && p.sleepers.load(std::memory_order_relaxed) > 0 &&
            p.slots[s].claimed() < p.slots[s].chunks)
            wake(p, 2);
        work_on(p, s, first, [] {});
        p.slots[s].state.fetch_sub(1, std::memory_order_release);
        return true;
    }
    return false;
}

constexpr uint64_t kPingsDone = ~uint64_t{0};

// Worker 0's part in measuring the round trip: each odd value of `ping` is answered with the
// next one, until the measurement ends or the pool stops. A new thread often starts on its
// creator's processor, where the two would take turns; so the worker keeps off the caller's
// processor meanwhile (when it may run elsewhere), and then takes back its mask.
void answer_pings(Pool& p) {
    cpu_set_t mask;
    bool moved = false;
    if (p.caller_cpu >= 0 && pthread_getaffinity_np(pthread_self(), sizeof mask, &mask) == 0 &&
        CPU_ISSET(p.caller_cpu, &mask) && CPU_COUNT(&mask) > 1) {
        cpu_set_t elsewhere = mask;
        CPU_CLR(p.caller_cpu, &elsewhere);
        moved = pthread_setaffinity_np(pthread_self(), sizeof elsewhere, &elsewhere) == 0;
    }
    uint64_t seen = 0;
    for (;;) {
        while (!spin_until([&] { return p.ping.load(std::memory_order_acquire) != seen ||
                                        p.stop.load(std::memory_order_relaxed); }, true)) {
        }
        const uint64_t v = p.ping.load(std::memory_order_acquire);
        if (v == kPingsDone || p.stop.load(std::memory_order_relaxed)) break;
        seen = v & 1 ? v + 1 : v;
        if (v & 1) p.ping.store(seen, std::memory_order_release);
    }
    if (moved) pthread_setaffinity_np(pthread_self(), sizeof mask, &mask);
}

// The time of a cache line's round trip between the calling thread and worker 0: the fastest
// of a few batches, as many as fit in about two milliseconds (another thread that takes the
// processor of either now and then does not count; where the two cannot run at once, every
// batch is slow). A worker that does not answer counts as slower than any figure the scale
// keeps. Ends the worker's part.
std::chrono::duration<double> measure_round_trip(Pool& p) {
    using clock = std::chrono::steady_clock;
    constexpr int kBatches = 9, kPings = 32;
    auto ping = [&p](uint64_t v) {
        p.ping.store(v, std::memory_order_release);
        return spin_until([&] { return p.ping.load(std::memory_order_acquire) == v + 1; }, true);
    };
    // The worker may still be starting.
    uint64_t v = 1;
    bool ok = false;
    for (int tries = 0; !ok && tries < 10; ++tries) ok = ping(v);
    std::chrono::duration<double> fastest{}, spent{};
    int batches = 0;
    while (ok && batches < kBatches && spent < std::chrono::milliseconds(2)) {
        const auto t0 = clock::now();
        for (int i = 0; ok && i < kPings; ++i) ok = ping(v += 2);
        const std::chrono::duration<double> took = clock::now() - t0;
        spent += took;
        if (ok && (batches++ == 0 || took < fastest)) fastest = took;
    }
    p.ping.store(kPingsDone, std::memory_order_release);
    if (batches == 0) return kRoundTrip * kMaxScale;
    return fastest / kPings;
}

// Scales the hand-off figure of pool p to the round trip measured with its worker 0 (a pool
// of one worker has no hand-off: its worker is told so at once).
void measure_hand_off(Pool& p) {
    if (p.size < 2) {
        p.ping.store(kPingsDone, std::memory_order_release);
        return;
    }
    const double scale = std::min(measure_round_trip(p) / kRoundTrip, kMaxScale);
    if (scale > 1.0) p.share_worth = kShareWorth * scale;
}

void worker_main(Pool* p, unsigned id) {
    t_place = id + 1;
    if (id == 0) answer_pings(*p);
    bool woken = false;
    for (;;) {
        if (help_once(*p, id, woken)) {
            woken = false;
            continue;
        }
        const bool found = spin_until([p] {
            return p->open.load(std::memory_order_relaxed) != 0 ||
                   p->stop.load(std::memory_order_relaxed);
        }, true);
        if (p->stop.load()) return;
        if (found) continue;
        // Asleep until a loop wants help or the pool stops. A loop opened meanwhile is not
        // reason enough: its owner wakes sleepers when that is worth it.
        std::unique_lock<std::mutex> lk(p->mu);
        p->sleepers.fetch_add(1, std::memory_order_relaxed);
        while (p->wakes == 0 && !p->stop.load()) p->work_cv.wait(lk);
        if (p->wakes > 0) --p->wakes;
        p->sleepers.fetch_sub(1, std::memory_order_relaxed);
        woken = true;
    }
}

void stop_and_join(Pool* p) {
    {
        std::lock_guard<std::mutex> lk(p->mu);
        p->stop.store(true);
        p->work_cv.notify_all();
    }
    for (auto& t : p->threads) t.join();
    delete p;
}

// A fork copies only its calling thread: the child would find the pool's record, locks and
// condition variables as they stood, but none of its workers, and a signal to their condition
// variable can block there for ever. So the child forgets the pool, touching none of its locks,
// and builds a fresh one of the same size at its first parallel operation. The build lock is
// held across the fork, so that no pool is half built in the child.
void before_fork() { g_build_mu.lock(); }
void after_fork_in_parent() { g_build_mu.unlock(); }
void after_fork_in_child() {
    if (Pool* p = g_pool.load(std::memory_order_relaxed)) {
        p->forgotten_before = g_forgotten;
        g_forgotten = p;
        g_pool.store(nullptr, std::memory_order_relaxed);
    }
    g_build_mu.unlock();
}

// Starts a pool of n workers, or stops every thread it started and throws: engine::Error with
// the system's text when a thread cannot start, std::bad_alloc when memory runs out. Called
// with g_build_mu held.
Pool* make_pool(std::size_t n) {
    static bool fork_handled = false;
    if (!fork_handled) {
        if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0)
            throw std::bad_alloc();
        fork_handled = true;
    }
    auto* p = new Pool(n);
    p->caller_cpu = sched_getcpu();
    try {
        for (std::size_t i = 0; i < n; ++i) {
            p->threads.emplace_back(worker_main, p, static_cast<unsigned>(i));
            // Measured while worker 0 and the caller are the pool's only threads, so that
            // neither shares its processor with the other workers' first spins.
            if (i == 0) measure_hand_off(*p);
        }
    } catch (const std::system_error& e) {
        stop_and_join(p);
        throw engine::Error(e.code().message());
    } catch (...) {
        stop_and_join(p);
        throw;
    }
    return p;
}

// The global pool, built with its default size on first use; null when that build failed
// earlier, so that loops run on the calling thread instead of failing again.
Pool* current() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
    if (g_default_failed.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard<std::mutex> lk(g_build_mu);
    if (Pool* p = g_pool.load(std::memory_order_relaxed)) return p;
    if (g_default_failed.load(std::memory_order_relaxed)) return nullptr;
    const std::size_t n = g_set_size ? g_set_size : default_size();
    Pool* p;
    try {
        p = make_pool(n);
    } catch (const engine::Error& e) {
        g_default_failed.store(true, std::memory_order_release);
        throw engine::Error("Cannot start the thread pool of " + std::to_string(n) +
                            " threads: " + e.what());
    } catch (...) {
        g_default_failed.store(true, std::memory_order_release);
        throw;
    }
    g_pool.store(p, std::memory_order_release);
    return p;
}

// A positive decimal count that fits in 64 bits; 0 for anything else (unset, empty, signs,
// blanks, too many digits), with `zero` set when the text is a plain 0.
std::size_t env_count(const char* name, bool& zero) {
    const char* v = std::getenv(name);
    if (!v) return 0;
    if (*v == '+') ++v;
    if (!*v) return 0;
    uint64_t x = 0;
    for (; *v; ++v) {
        if (*v < '0' || *v > '9') return 0;
        if (__builtin_mul_overflow(x, uint64_t{10}, &x) ||
            __builtin_add_overflow(x, static_cast<uint64_t>(*v - '0'), &x))
            return 0;
    }
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

void run_inline(std::size_t n, std::size_t grain, const Body& body) {
    for (std::size_t b = 0; b < n; b += grain) body(b, b + std::min(grain, n - b));
}

// Takes a free slot, starting where this thread found one last time; kSlots if none is free.
unsigned acquire_slot(Pool& p) {
    thread_local unsigned hint = 0;
    for (unsigned k = 0; k < kSlots; ++k) {
        const unsigned s = (hint + k) % kSlots;
        uint64_t free = 0;
        if (p.slots[s].state.load(std::memory_order_relaxed) == 0 &&
            p.slots[s].state.compare_exchange_strong(free, kOwned, std::memory_order_acquire,
                                                     std::memory_order_relaxed)) {
            hint = s;
            return s;
        }
    }
    return kSlots;
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
    if (g_pool.load(std::memory_order_relaxed))
        throw engine::Error("The global thread pool has already been initialized.");
    g_pool.store(make_pool(n), std::memory_order_release);
    g_set_size = n;
}

std::size_t num_threads() {
    const Pool* p = current();
    return p ? p->size : 1;
}

std::size_t existing_size() {
    const Pool* p = g_pool.load(std::memory_order_acquire);
    return p ? p->size : 0;
}

namespace {

// Helpers that a loop of `chunks` chunks takes besides the caller. The caller works too, so
// at most size threads compute at once; when the loop's work is known (`expected`, the work
// of all its chunks on one thread), only as many threads join as each have a share worth
// their coming: a short loop on many threads spends more on the hand-off than it gains.
uint64_t helpers_for(const Pool* p, std::size_t chunks, std::chrono::duration<double> expected) {
    if (!p || p->size < 2 || chunks < 2) return 0;
    uint64_t room = std::min<uint64_t>({p->size - 1, chunks - 1, kCountMask});
    if (expected.count() > 0.0) {
        const double shares = expected / p->share_worth;
        if (shares < static_cast<double>(room + 1)) room = shares >= 1.0 ? static_cast<uint64_t>(shares) - 1 : 0;
    }
    return room;
}

// The loop of parallel_chunks; `expected` is the work of all its chunks on one thread when the
// caller has judged it (zero when not), so that sleepers are woken at once for a long loop
// rather than after its first chunk.
void run_chunks(std::size_t n, std::size_t grain, const Body& body,
                std::chrono::duration<double> expected, bool affine = false, std::size_t lead = 0) {
    Pool* p = current();  // a parallel operation brings the pool into being, even an empty one
    if (n == 0) return;
    if (grain == 0) grain = 1;
    const std::size_t chunks = engine::ceil_div(n, grain);
    const uint64_t room = helpers_for(p, chunks, expected);
    const unsigned s = room ? acquire_slot(*p) : kSlots;
    if (s == kSlots) {
        run_inline(n, grain, body);
        return;
    }
    Slot& sl = p->slots[s];
    sl.body = &body;
    sl.n = n;
    sl.grain = grain;
    sl.chunks = chunks;
    sl.error = nullptr;
    sl.failed.store(false, std::memory_order_relaxed);
    sl.waiting.store(false, std::memory_order_relaxed);
    sl.finished.store(0, std::memory_order_relaxed);
    // Runs of consecutive chunks, one per thread that can compute at once (up to kMaxRuns). An
    // affine loop lays them out over the whole loop, whose first `lead` chunks the caller has
    // run already: they then fall on the same chunks from call to call, however many the
    // caller ran first.
    sl.affine = affine;
    sl.runs = static_cast<unsigned>(std::min<std::size_t>({chunks, room + 1, kMaxRuns}));
    if (!affine) lead = 0;
    const std::size_t total = chunks + lead;
    for (unsigned r = 0; r < sl.runs; ++r) {
        sl.run[r].begin = std::max(total * r / sl.runs, lead) - lead;
        sl.run[r].next.store(sl.run[r].begin, std::memory_order_relaxed);
        sl.run[r].end = std::max(total * (r + 1) / sl.runs, lead) - lead;
    }
    // Added, not stored: a thread may be raising and taking back its count meanwhile.
    sl.state.fetch_add(kOpen | (room << kRoomShift), std::memory_order_release);
    p->open.fetch_or(bit(s));

    const auto posted = std::chrono::steady_clock::now();
    const std::chrono::steady_clock::duration since_last(
        posted.time_since_epoch().count() - p->last_end.load(std::memory_order_relaxed));
    const auto worth = since_last < kSpin ? kWakeWorthInSeries : kWakeWorth;
    bool may_wake = true;
    if (expected >= worth && p->sleepers.load(std::memory_order_relaxed) > 0) {
        may_wake = false;
        wake(*p, 1);
    }
    work_on(*p, s, 0, [&] {
        if (!may_wake || p->sleepers.load(std::memory_order_relaxed) == 0) return;
        const std::size_t claimed = sl.claimed();
        if (claimed >= sl.chunks) {
            may_wake = false;
            return;
        }
        const auto elapsed = std::chrono::steady_clock::now() - posted;
        if (elapsed * static_cast<double>(sl.chunks - claimed) / static_cast<double>(claimed) <
            worth)
            return;
        may_wake = false;
        wake(*p, 1);
    });
    auto done = [&sl] { return sl.finished.load(std::memory_order_acquire) == sl.chunks; };
    if (!spin_until(done, false)) {
        std::unique_lock<std::mutex> lk(p->mu);
        sl.waiting.store(true);  // seq_cst with `finished`, as in work_on
        p->done_cv.wait(lk, [&sl] { return sl.finished.load() == sl.chunks; });
    }
    p->open.fetch_and(~bit(s), std::memory_order_relaxed);
    p->last_end.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                      std::memory_order_relaxed);
    std::exception_ptr error = std::move(sl.error);
    sl.error = nullptr;
    // Closed and released at once; workers still inside only find no chunk left and leave.
    sl.state.fetch_and(kCountMask, std::memory_order_release);
    if (error) std::rethrow_exception(error);
}

}  // namespace

void parallel_chunks(std::size_t n, std::size_t grain, const Body& body) {
    run_chunks(n, grain, body, {});
}

namespace {

void run_for(std::size_t n, const std::function<void(std::size_t)>& body, bool affine) {
    const Pool* p = current();
    const std::size_t threads = p ? p->size : 1;
    const auto open_worth = 2 * (p ? p->share_worth : kShareWorth);
    std::size_t done = 0;
    std::chrono::duration<double> left{};
    if (threads > 1) {
        // The clock is read after items 1, 4, 16, 64, ...: few readings for many small items
        // (each costs as much as a small item), an early one for large items.
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t check = 1; done < n;) {
            body(done++);
            if (done == n) return;
            if (done < check) continue;
            check *= 4;
            const auto elapsed = std::chrono::steady_clock::now() - start;
            left = elapsed * static_cast<double>(n - done) / static_cast<double>(done);
            if (elapsed >= kProbeMin && left >= open_worth) break;
        }
    }
    // A few chunks per thread that takes part balance uneven tasks without much claiming; an
    // affine loop claims item by item, for items that stay with their thread.
    const std::size_t rest = n - done;
    const std::size_t grain =
        affine ? 1 : engine::ceil_div(rest, (helpers_for(p, rest, left) + 1) * kChunksPerRun);
    run_chunks(rest, grain, [&body, done](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) body(done + i);
    }, left, affine, done);
}

}  // namespace

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& body) { run_for(n, body, false); }

void parallel_for_affine(std::size_t n, const std::function<void(std::size_t)>& body) { run_for(n, body, true); }

}  // namespace pool
