#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "error.hpp"
#include "pool.hpp"

TEST(Pool, EveryIndexRunsOnce) {
    for (std::size_t n : {0u, 1u, 2u, 7u, 100u, 10007u}) {
        std::vector<std::atomic<int>> hits(n);
        pool::parallel_for(n, [&](std::size_t i) { hits[i].fetch_add(1); });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << n << " " << i;
    }
}

// Items long enough that the loop goes to the pool after its first few, which run inline.
TEST(Pool, SlowItemsRunOnceEachAcrossTheInlineStart) {
    const std::size_t n = 300;
    std::vector<std::atomic<int>> hits(n);
    pool::parallel_for(n, [&](std::size_t i) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(3);
        while (std::chrono::steady_clock::now() < until) {
        }
        hits[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
}

TEST(Pool, NestedLoopsFinish) {
    const std::size_t outer = 64, inner = 257;
    std::vector<std::vector<int>> out(outer, std::vector<int>(inner, 0));
    pool::parallel_for(outer, [&](std::size_t i) {
        pool::parallel_for(inner, [&](std::size_t j) { out[i][j] = static_cast<int>(i * 1000 + j); });
    });
    for (std::size_t i = 0; i < outer; ++i)
        for (std::size_t j = 0; j < inner; ++j) ASSERT_EQ(out[i][j], static_cast<int>(i * 1000 + j));
}

TEST(Pool, ExceptionReachesCaller) {
    std::atomic<int> ran{0};
    try {
        pool::parallel_for(1000, [&](std::size_t i) {
            ran++;
            if (i == 500) engine::panic("stop here");
        });
        FAIL() << "no exception";
    } catch (const engine::Panic& p) {
        EXPECT_STREQ(p.what(), "stop here");
    }
    // The pool stays usable afterwards.
    std::atomic<int> after{0};
    pool::parallel_for(100, [&](std::size_t) { after++; });
    EXPECT_EQ(after.load(), 100);
}

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
