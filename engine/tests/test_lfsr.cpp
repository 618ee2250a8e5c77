#include <gtest/gtest.h>

#include <set>

#include "lfsr.hpp"

using namespace lfsr;

TEST(Lfsr, FirstStepAndFullPeriod) {
    Lfsr16 l(44257);
    EXPECT_EQ(l.step(), 22979);
    std::set<uint16_t> seen{22979};
    for (int i = 1; i < 65535; ++i) seen.insert(l.step());
    EXPECT_EQ(l.reg, 44257);
    EXPECT_EQ(seen.size(), 65535u);
    EXPECT_EQ(seen.count(0), 0u);
}

TEST(Lfsr, ZeroSeedRefusedAndResetKeepsState) {
    EXPECT_THROW(Lfsr16(0), engine::Error);
    Lfsr16 l(7);
    l.step();
    const uint16_t before = l.reg;
    EXPECT_THROW(l.reset(uint16_t{0}), engine::Error);
    EXPECT_EQ(l.reg, before);
    l.reset(std::nullopt);
    EXPECT_EQ(l.reg, 7);
    l.reset(uint16_t{9});
    l.step();
    l.reset(std::nullopt);
    EXPECT_EQ(l.reg, 9);
}

TEST(Encoder, OnesOverAPeriodCountBelowThreshold) {
    for (uint16_t x : {uint16_t{0}, uint16_t{1}, uint16_t{1000}, uint16_t{65535}}) {
        BitstreamEncoder e(16, 44257);
        long ones = 0;
        for (int i = 0; i < 65535; ++i) ones += e.step(x);
        EXPECT_EQ(ones, x == 0 ? 0 : x - 1) << x;
    }
}

TEST(Averager, WindowSlides) {
    BitstreamAverager a(4);
    EXPECT_EQ(a.estimate(), 0.0);
    a.push(1);
    a.push(1);
    EXPECT_EQ(a.estimate(), 1.0);
    a.push(0);
    a.push(0);
    a.push(1);
    EXPECT_EQ(a.estimate(), 0.5);
    a.reset();
    a.push(2);
    EXPECT_EQ(a.estimate(), 2.0);
    EXPECT_THROW(BitstreamAverager(0), engine::Panic);
}
