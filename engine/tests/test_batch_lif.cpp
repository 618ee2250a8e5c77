#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "batch_lif.hpp"
#include "error.hpp"

// The runs write into caller-sized outputs: sizes that do not fit the inputs stop the call
// before anything is read or written past them.
TEST(BatchLif, OutputsAndNoisesMustFitTheRun) {
    const batch_lif::LifParams p{};
    const batch_lif::Gains g{0, 256};
    std::vector<int32_t> spikes(4);
    std::vector<int16_t> voltages(3);
    EXPECT_THROW(batch_lif::run_constant(p, g, 1, 0, spikes, voltages), engine::Panic);
    const std::vector<int16_t> currents(2, 1);
    std::vector<int32_t> s4(4);
    std::vector<int16_t> v4(4);
    EXPECT_THROW(batch_lif::run_multi(p, g, currents, 3, s4, v4), engine::Panic);
    const std::vector<int16_t> noises(1, 0);
    std::vector<int32_t> s2(2);
    std::vector<int16_t> v2(2);
    EXPECT_THROW(batch_lif::run_varying(p, g, currents, noises, s2, v2), engine::Panic);
    batch_lif::run_varying(p, g, currents, {}, s2, v2);
    EXPECT_EQ(v2, (std::vector<int16_t>{1, 2}));
}
