#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include "error.hpp"
#include "pool.hpp"

// The plain loop and the affine one (runs of items kept by thread) share every guarantee.
using Loop = void (*)(std::size_t, const std::function<void(std::size_t)>&);

class PoolLoops : public ::testing::TestWithParam<Loop> {};

TEST_P(PoolLoops, EveryIndexRunsOnce) {
    const Loop loop = GetParam();
    for (std::size_t n : {0u, 1u, 2u, 7u, 100u, 10007u}) {
        for (int round = 0; round < 3; ++round) {
            std::vector<std::atomic<int>> hits(n);
            loop(n, [&](std::size_t i) { hits[i].fetch_add(1); });
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << i;
        }
    }
}

// Items long enough that the loop goes to the pool after its first few, which run inline.
TEST_P(PoolLoops, SlowItemsRunOnceEachAcrossTheInlineStart) {
    const std::size_t n = 300;
    std::vector<std::atomic<int>> hits(n);
    GetParam()(n, [&](std::size_t i) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(3);
        while (std::chrono::steady_clock::now() < until) {
        }
        hits[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
}

TEST_P(PoolLoops, NestedLoopsFinish) {
    const Loop loop = GetParam();
    const std::size_t outer = 64, inner = 257;
    std::vector<std::vector<int>> out(outer, std::vector<int>(inner, 0));
    loop(outer, [&](std::size_t i) {
        loop(inner, [&](std::size_t j) { out[i][j] = static_cast<int>(i * 1000 + j); });
    });
    for (std::size_t i = 0; i < outer; ++i)
        for (std::size_t j = 0; j < inner; ++j) ASSERT_EQ(out[i][j], static_cast<int>(i * 1000 + j));
}

TEST_P(PoolLoops, ExceptionReachesCaller) {
    const Loop loop = GetParam();
    std::atomic<int> ran{0};
    try {
        loop(1000, [&](std::size_t i) {
            ran++;
            if (i == 500) engine::panic("stop here");
        });
        FAIL() << "no exception";
    } catch (const engine::Panic& p) {
        EXPECT_STREQ(p.what(), "stop here");
    }
    // The pool stays usable afterwards.
    std::atomic<int> after{0};
    loop(100, [&](std::size_t) { after++; });
    EXPECT_EQ(after.load(), 100);
}

// A loop of long items is shared out: other threads run some of them, and each item still
// runs once. However slowly a loaded machine runs the helpers, the caller cannot finish alone:
// its items after the first (which run before the loop is offered) wait, up to a second each,
// until another thread has run one. The pool wakes a helper at the latest when the caller's
// first chunk ends.
TEST_P(PoolLoops, LongLoopsAreShared) {
    if (pool::num_threads() < 2) GTEST_SKIP() << "a pool of one worker";
    const std::size_t n = 64;
    const auto caller = std::this_thread::get_id();
    std::vector<std::atomic<int>> hits(n);
    std::atomic<bool> helped{false};
    std::size_t caller_items = 0;
    GetParam()(n, [&](std::size_t i) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
        while (std::chrono::steady_clock::now() < until) {
        }
        if (std::this_thread::get_id() != caller) {
            helped = true;
        } else if (caller_items++ > 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (!helped && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        hits[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
    EXPECT_TRUE(helped.load());
}

INSTANTIATE_TEST_SUITE_P(Kinds, PoolLoops, ::testing::Values(&pool::parallel_for, &pool::parallel_for_affine),
                         [](const auto& info) { return info.param == &pool::parallel_for ? "plain" : "affine"; });

TEST(Pool, BuildAfterUseIsRefused) {
    pool::parallel_for(2, [](std::size_t) {});
    try {
        pool::build_global(4);
        FAIL();
    } catch (const engine::Error& e) {
        EXPECT_STREQ(e.what(), "The global thread pool has already been initialized.");
    }
    EXPECT_GE(pool::num_threads(), 1u);
}

TEST(Pool, ChunksCoverTheRangeOnceWithinTheGrain) {
    for (std::size_t n : {1u, 5u, 64u, 1000u})
        for (std::size_t grain : {1u, 3u, 64u, 5000u}) {
            std::vector<std::atomic<int>> hits(n);
            std::atomic<bool> too_long{false};
            pool::parallel_chunks(n, grain, [&](std::size_t b, std::size_t e) {
                if (e <= b || e - b > grain) too_long = true;
                for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
            });
            EXPECT_FALSE(too_long.load()) << n << " " << grain;
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << grain << " " << i;
        }
}

// More callers at once than loops can be open: the extra ones run their loops inline.
TEST(Pool, ManyCallersAtOnce) {
    const std::size_t callers = 100, n = 3000;
    std::vector<std::vector<std::size_t>> out(callers, std::vector<std::size_t>(n, 0));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < callers; ++c)
        threads.emplace_back([&, c] {
            for (int round = 0; round < 20; ++round) {
                pool::parallel_for(n, [&](std::size_t i) { out[c][i] = c * n + i + round; });
                for (std::size_t i = 0; i < n; ++i)
                    if (out[c][i] != c * n + i + round) failures++;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}


namespace {

// The threads of this process.
std::size_t tasks() {
    const std::filesystem::directory_iterator threads("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(threads), end(threads)));
}

// Runs child() in a fork child of this process and returns its exit code, or -1 when it has
// not ended within a minute.
int in_child(const std::function<int()>& child) {
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 99;  // the child threw
        try {
            code = child();
        } catch (...) {
        }
        _exit(code);
    }
    if (pid < 0) return -2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (r == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

std::vector<std::size_t> squares() {
    std::vector<std::size_t> out(10007);
    pool::parallel_for(out.size(), [&](std::size_t i) { out[i] = i * i; });
    return out;
}

}  // namespace

// A fork child forgets the parent's pool, whose workers it does not have: its first loop
// builds a pool of the parent's size, or of the size set in the child before that.
TEST(PoolFork, ChildBuildsAPoolOfItsOwn) {
    const std::vector<std::size_t> want = squares();
    const std::size_t size = pool::num_threads();
    for (int k = 0; k < 20; ++k) {
        squares();  // the parent has just used its pool
        const int code = in_child([&] {
            if (pool::existing_size() != 0) return 1;
            const std::size_t before = tasks();
            if (squares() != want) return 2;
            if (pool::existing_size() != size || tasks() - before != size) return 3;
            return 0;
        });
        ASSERT_EQ(code, 0) << "fork " << k << " (-1: the child hung)";
    }
    EXPECT_EQ(in_child([&] {
        pool::build_global(2);
        return squares() == want && pool::num_threads() == 2 ? 0 : 1;
    }), 0);
    EXPECT_EQ(squares(), want);
    EXPECT_EQ(pool::existing_size(), size);
}
