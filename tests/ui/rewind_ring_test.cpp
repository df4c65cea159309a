// The rewind ring: a snapshot every fourth slice, the last forty kept, stepped back newest first
// with the picture taken with each, within its memory bound.
#include "ui/rewind_ring.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ui/state_files.h"

namespace kivo {
namespace {

TEST(RewindRingTest, KeepsTheLastTenSecondsAndStepsBackNewestFirst) {
    auto gb = std::make_unique<TGBSYSF>();
    RewindRing ring;
    EXPECT_LT(ring.bytes(), 32u << 20);
    EXPECT_EQ(ring.StepBack(*gb), nullptr);

    // Slice n marks the machine with n in work RAM, in a register and in its picture.
    auto slice = [&](int n) {
        gb->memory.wram[100] = static_cast<u8>(n);
        gb->state.BC = static_cast<u16>(n);
        if (u8* picture = ring.AfterSlice(*gb)) std::memset(picture, n & 0xFF, 92160);
    };
    for (int n = 1; n <= 3; ++n) slice(n);
    EXPECT_EQ(ring.size(), 0);
    for (int n = 4; n <= 4 * 50; ++n) slice(n);
    EXPECT_EQ(ring.size(), 40);

    // Newest first: slices 200, 196, ... 44; then nothing, and the machine stays as it was.
    for (int k = 0; k < 40; ++k) {
        const int n = 200 - 4 * k;
        const u8* picture = ring.StepBack(*gb);
        ASSERT_NE(picture, nullptr) << k;
        EXPECT_EQ(gb->memory.wram[100], static_cast<u8>(n));
        EXPECT_EQ(gb->state.BC, n);
        EXPECT_EQ(picture[0], n & 0xFF);
        EXPECT_EQ(picture[92159], n & 0xFF);
    }
    EXPECT_EQ(ring.StepBack(*gb), nullptr);
    EXPECT_EQ(gb->memory.wram[100], 44);

    // Resumed from a step back, the next snapshot comes four slices later; Clear forgets all.
    for (int n = 1; n <= 5; ++n) slice(n);
    EXPECT_EQ(ring.size(), 1);
    ring.StepBack(*gb);
    EXPECT_EQ(gb->memory.wram[100], 4);
    slice(9);
    ring.Clear();
    EXPECT_EQ(ring.StepBack(*gb), nullptr);
}

}  // namespace
}  // namespace kivo
