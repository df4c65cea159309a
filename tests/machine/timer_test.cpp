// The divider and the programmable timer as the run slice advances them: one increment per step
// at most, the excess carried, overflow reloading TIMA from TMA with a timer request, and counts
// from a state file that cannot overflow.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

using namespace gbasm;

class TimerTest : public ::testing::Test {
  protected:
    // A cartridge whose bank 0 is all NOPs (4 cycles each) from 0x0150 on.
    void LoadNops() {
        Asm a(0x0150);
        Load(a);
    }
    void Load(const Asm& program) {
        std::vector<u8> rom = test::MakeRom();
        PlaceInRom(rom, program);
        test::OpenImage(gb, std::move(rom));
        gb.state.PC = program.origin();
        gb.state.SP = 0xD000;
    }
    void Run(int steps) {
        for (int i = 0; i < steps; ++i) gb.Step();
    }

    std::unique_ptr<TGBSYSF> owner = std::make_unique<TGBSYSF>();
    TGBSYSF& gb = *owner;
};

TEST_F(TimerTest, OverflowReloadsFromTmaAndRequestsInTheSameStep) {
    LoadNops();
    gb.state.TAC = 0x05;  // enabled, 16 cycles
    gb.state.TIMA = 0xFF;
    gb.state.TMA = 0x42;
    gb.state.tima_cycles = 12;
    Run(1);
    EXPECT_EQ(gb.state.TIMA, 0x42);
    EXPECT_EQ(gb.state.IF & irq::TIMER, irq::TIMER);
    EXPECT_EQ(gb.state.tima_cycles, 0);
}

TEST_F(TimerTest, EachTacSelectsItsPeriod) {
    const struct {
        u8 tac;
        int nops_per_tick;
    } cases[] = {{0x04, 256}, {0x05, 4}, {0x06, 16}, {0x07, 64}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tac);
        LoadNops();
        gb.state.TAC = c.tac;
        gb.state.TIMA = 0;
        Run(c.nops_per_tick - 1);
        EXPECT_EQ(gb.state.TIMA, 0);
        Run(1);
        EXPECT_EQ(gb.state.TIMA, 1);
        Run(c.nops_per_tick * 3);
        EXPECT_EQ(gb.state.TIMA, 4);
    }
}

TEST_F(TimerTest, CountsAtMostOncePerStepAndCarriesTheExcess) {
    // Four 24-cycle CALLs against a 16-cycle period: one increment each, 32 cycles left over,
    // which the following NOPs work off one period per step.
    Asm a(0x0150);
    for (int i = 0; i < 4; ++i) a.call(static_cast<int>(a.pc() + 3));
    Load(a);
    gb.state.TAC = 0x05;
    gb.state.TIMA = 0;
    Run(4);
    EXPECT_EQ(gb.state.TIMA, 4);
    EXPECT_EQ(gb.state.tima_cycles, 32);
    Run(1);  // 36 cycles: one more
    EXPECT_EQ(gb.state.TIMA, 5);
    EXPECT_EQ(gb.state.tima_cycles, 20);
}

TEST_F(TimerTest, StoppedTimerKeepsItsPrescaler) {
    LoadNops();
    gb.state.TAC = 0x03;  // period bits set, enable bit clear
    gb.state.tima_cycles = 7;
    gb.state.TIMA = 0x10;
    Run(100);
    EXPECT_EQ(gb.state.tima_cycles, 7);
    EXPECT_EQ(gb.state.TIMA, 0x10);
}

TEST_F(TimerTest, DividerCountsEvery256Cycles) {
    LoadNops();
    gb.state.DIV = 0xFF;
    gb.state.div_cycles = 0;
    Run(63);
    EXPECT_EQ(gb.state.DIV, 0xFF);
    Run(1);
    EXPECT_EQ(gb.state.DIV, 0x00);
    EXPECT_EQ(gb.state.div_cycles, 0);
}

// A state file can hold any count. The sums stay defined (the sanitizer build checks this), a
// huge backlog is capped, and a negative count climbs back to normal counting.
TEST_F(TimerTest, PrescalersFromAStateFileCannotOverflow) {
    LoadNops();
    gb.state.TAC = 0x05;
    gb.state.div_cycles = INT_MAX;
    gb.state.tima_cycles = INT_MAX;
    const u8 div = gb.state.DIV, tima = gb.state.TIMA;
    Run(1);
    EXPECT_EQ(gb.state.DIV, static_cast<u8>(div + 1));
    EXPECT_EQ(gb.state.TIMA, static_cast<u8>(tima + 1));
    EXPECT_LE(gb.state.tima_cycles, 1 << 24);
    EXPECT_LE(gb.state.div_cycles, 1 << 24);

    gb.state.div_cycles = INT_MIN;
    gb.state.tima_cycles = INT_MIN;
    Run(10);
    EXPECT_EQ(gb.state.div_cycles, INT_MIN + 40);
    EXPECT_EQ(gb.state.tima_cycles, INT_MIN + 40);
}

TEST_F(TimerTest, TimerRequestWakesAndIsServed) {
    Asm a(0x0150);
    a.ei();
    a.halt();
    Load(a);
    gb.state.IE = irq::TIMER;
    gb.state.TAC = 0x05;
    gb.state.TIMA = 0xFE;
    gb.state.tima_cycles = 0;
    Run(2);  // EI, HALT: 8 cycles
    Run(6);  // idle until TIMA overflows at 32 cycles
    EXPECT_EQ(gb.state.PC, 0x0050);
    EXPECT_EQ(gb.state.TIMA, gb.state.TMA);
}

}  // namespace
}  // namespace kivo
