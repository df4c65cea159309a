// The divider and the programmable timer as the run slice advances them: one increment per step
// at most, the excess carried, and overflow reloading TIMA from TMA with a timer request.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/program_test.h"

namespace kivo {
namespace {

using namespace gbasm;

using TimerTest = test::ProgramTest;

TEST_F(TimerTest, OverflowReloadsFromTmaAndRequestsInTheSameStep) {
    Load();
    gb.state.TAC = 0x05;  // enabled, 16 cycles
    gb.state.TIMA = 0xFF, gb.state.TMA = 0x42, gb.state.tima_cycles = 12;
    Run(1);
    EXPECT_EQ(gb.state.TIMA, 0x42);
    EXPECT_EQ(gb.state.IF & irq::TIMER, irq::TIMER);
    EXPECT_EQ(gb.state.tima_cycles, 0);
}

// TAC bits 0-1 pick the period and bit 2 enables counting; a stopped timer keeps its prescaler.
// The divider counts every 256 cycles whatever TAC says.
TEST_F(TimerTest, TacSelectsThePeriodAndEnablesCounting) {
    // TAC and the NOPs (4 cycles) per increment, 0 for none.
    for (const auto& [tac, nops_per_tick] :
         {std::pair{0x04, 256}, std::pair{0x05, 4}, std::pair{0x06, 16}, std::pair{0x07, 64},
          std::pair{0x03, 0}}) {
        Load();
        gb.state.TAC = tac, gb.state.TIMA = 0, gb.state.tima_cycles = 0, gb.state.div_cycles = 0;
        const u8 div = gb.state.DIV;
        for (int nops = 1; nops <= 1000; ++nops) {
            Run(1);
            ASSERT_EQ(gb.state.TIMA, nops_per_tick ? nops / nops_per_tick : 0)
                << tac << " " << nops;
            ASSERT_EQ(gb.state.DIV, static_cast<u8>(div + nops / 64)) << tac << " " << nops;
        }
        EXPECT_TRUE(nops_per_tick || gb.state.tima_cycles == 0) << "a stopped prescaler moved";
    }
}

TEST_F(TimerTest, CountsAtMostOncePerStepAndCarriesTheExcess) {
    // Four 24-cycle CALLs against a 16-cycle period: one increment each, 32 cycles left over,
    // which the following NOPs work off one period per step.
    Asm a(0x0150);
    for (int i = 0; i < 4; ++i) a.call(static_cast<int>(a.pc() + 3));
    Load(a);
    gb.state.TAC = 0x05, gb.state.TIMA = 0;
    Run(4);
    EXPECT_EQ(gb.state.TIMA, 4);
    EXPECT_EQ(gb.state.tima_cycles, 32);
    Run(1);  // 36 cycles: one more
    EXPECT_EQ(gb.state.TIMA, 5);
    EXPECT_EQ(gb.state.tima_cycles, 20);
}

}  // namespace
}  // namespace kivo
