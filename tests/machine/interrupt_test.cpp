// Interrupts, HALT, STOP and the speed switch: when requests wake the processor, when they are
// served, and what the speed switch leaves in KEY1.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

using namespace gbasm;

class InterruptTest : public ::testing::Test {
  protected:
    // Places the program and an optional set of handlers (each assembled at its vector), opens the
    // cartridge and points PC at the program with the stack in work RAM.
    void Load(const Asm& program, const std::vector<Asm>& handlers = {}, test::RomSpec spec = {}) {
        std::vector<u8> rom = test::MakeRom(spec);
        PlaceInRom(rom, program);
        for (const Asm& h : handlers) PlaceInRom(rom, h);
        test::OpenImage(gb, std::move(rom));
        gb.state.PC = program.origin();
        gb.state.SP = 0xD000;
    }
    void Run(int steps) {
        for (int i = 0; i < steps; ++i) gb.Step();
    }
    u16 StackTop() const { return static_cast<u16>(gb.BusRead(0xCFFF) << 8 | gb.BusRead(0xCFFE)); }

    std::unique_ptr<TGBSYSF> owner = std::make_unique<TGBSYSF>();
    TGBSYSF& gb = *owner;
};

TEST_F(InterruptTest, EiServesAPendingRequestAtTheEndOfItsOwnStep) {
    Asm a(0x0150);
    a.ei();
    a.label("after");
    a.nop();
    Load(a);
    gb.state.IE = irq::TIMER;
    gb.RequestInterrupt(irq::TIMER);
    Run(1);
    EXPECT_EQ(gb.state.PC, 0x0050);
    EXPECT_EQ(StackTop(), a.addr("after"));
    EXPECT_EQ(gb.state.SP, 0xCFFE);
    EXPECT_EQ(gb.state.IME, 0);
    EXPECT_EQ(gb.state.IF & 0x1F, 0);
    EXPECT_EQ(gb.state.op_cycles, 4u);  // the dispatch itself costs nothing
}

TEST_F(InterruptTest, DiKeepsRequestsPending) {
    Asm a(0x0150);
    a.ei();
    a.di();
    a.nop();
    Load(a);
    gb.state.IE = irq::VBLANK;
    Run(2);
    gb.RequestInterrupt(irq::VBLANK);
    Run(1);
    EXPECT_EQ(gb.state.PC, 0x0153);
    EXPECT_EQ(gb.state.IF & irq::VBLANK, irq::VBLANK);
}

TEST_F(InterruptTest, TwoPendingRequestsServeOnlyTheLowestBit) {
    Asm a(0x0150);
    a.ei();
    Asm vblank(0x0040);
    vblank.nop();
    vblank.nop();
    Load(a, {vblank});
    gb.state.IE = 0x1F;
    gb.RequestInterrupt(irq::VBLANK | irq::TIMER);
    Run(1);
    EXPECT_EQ(gb.state.PC, 0x0040);
    EXPECT_EQ(gb.state.IF & 0x1F, irq::TIMER);
    // IME is now clear, so the timer request waits for the handler to enable it again.
    Run(2);
    EXPECT_EQ(gb.state.PC, 0x0042);
    EXPECT_EQ(gb.state.IF & 0x1F, irq::TIMER);
}

TEST_F(InterruptTest, RetiReturnsAndServesTheNextRequestAtOnce) {
    Asm a(0x0150);
    a.ei();
    a.label("after");
    a.nop();
    Asm vblank(0x0040);
    vblank.reti();
    Load(a, {vblank});
    gb.state.IE = irq::VBLANK | irq::JOYPAD;
    gb.RequestInterrupt(irq::VBLANK | irq::JOYPAD);
    Run(1);
    ASSERT_EQ(gb.state.PC, 0x0040);
    Run(1);  // RETI: back to "after", IME set, and the joypad request is served in this step
    EXPECT_EQ(gb.state.PC, 0x0060);
    EXPECT_EQ(StackTop(), a.addr("after"));
    EXPECT_EQ(gb.state.IF & 0x1F, 0);
}

TEST_F(InterruptTest, HaltIdlesInFourCycleStepsUntilARequest) {
    Asm a(0x0150);
    a.halt();
    a.inc(B);
    Load(a);
    gb.state.BC = 0;
    Run(1);
    EXPECT_EQ(gb.state.flag_halt, 1);
    const u32 slice = gb.state.slice_cycles;
    Run(10);
    EXPECT_EQ(gb.state.PC, 0x0151);
    EXPECT_EQ(gb.state.op_cycles, 4u);
    EXPECT_EQ(gb.state.slice_cycles, slice + 40);
    EXPECT_EQ(gb.state.BC, 0);
}

TEST_F(InterruptTest, HaltEndsWithoutDispatchWhenImeIsClear) {
    Asm a(0x0150);
    a.halt();
    a.inc(B);
    a.nop();
    Load(a);
    gb.state.BC = 0;
    gb.state.IE = 0;  // the request is not even enabled
    Run(3);
    gb.RequestInterrupt(irq::LCD_STAT);
    Run(1);  // an idle step whose end sees the request
    EXPECT_EQ(gb.state.flag_halt, 0);
    EXPECT_EQ(gb.state.PC, 0x0151);
    Run(2);
    EXPECT_EQ(gb.state.BC >> 8, 1);  // the byte after HALT ran once
    EXPECT_EQ(gb.state.PC, 0x0153);
    EXPECT_EQ(gb.state.IF & irq::LCD_STAT, irq::LCD_STAT);
}

TEST_F(InterruptTest, HaltWithARequestAlreadyPendingEndsInTheSameStep) {
    Asm a(0x0150);
    a.halt();
    a.inc(B);
    Load(a);
    gb.state.BC = 0;
    gb.RequestInterrupt(irq::SERIAL);
    Run(1);
    EXPECT_EQ(gb.state.flag_halt, 0);
    Run(1);
    EXPECT_EQ(gb.state.BC >> 8, 1);
}

TEST_F(InterruptTest, HaltedProcessorWithImeServesTheRequestAndReturnsAfterHalt) {
    Asm a(0x0150);
    a.ei();
    a.halt();
    a.label("after");
    a.nop();
    Load(a);
    gb.state.IE = irq::TIMER;
    Run(5);
    EXPECT_EQ(gb.state.PC, a.addr("after"));
    gb.RequestInterrupt(irq::TIMER);
    Run(1);
    EXPECT_EQ(gb.state.PC, 0x0050);
    EXPECT_EQ(StackTop(), a.addr("after"));
    EXPECT_EQ(gb.state.flag_halt, 0);
}

TEST_F(InterruptTest, StopWithTheSwitchArmedInColourModeChangesSpeedAndGoesOn) {
    Asm a(0x0150);
    a.ld(A, 0x01);
    a.ldh(reg::KEY1, A);
    a.stop();
    a.inc(B);  // runs as the next instruction: STOP is one byte here
    a.ld(A, 0x01);
    a.ldh(reg::KEY1, A);
    a.stop();
    Load(a, {}, {.cgb_flag = 0x80});
    ASSERT_EQ(gb.state.CGB_MODE, 1);
    gb.state.BC = 0;
    Run(3);
    EXPECT_EQ(gb.state.CGB_double_speed, 1);
    EXPECT_EQ(gb.memory.io_page[reg::KEY1], 0x80);
    EXPECT_EQ(gb.state.flag_stop, 0);
    Run(1);
    EXPECT_EQ(gb.state.BC >> 8, 1);

    // Switching back: bit 7 follows the new speed, the arm bit is cleared again.
    Run(3);
    EXPECT_EQ(gb.state.CGB_double_speed, 0);
    EXPECT_EQ(gb.memory.io_page[reg::KEY1], 0x00);
    EXPECT_EQ(gb.state.flag_stop, 0);
}

TEST_F(InterruptTest, StopWithoutAnArmedSwitchIdlesUntilAnyRequest) {
    for (const u8 cgb_flag : {u8{0x00}, u8{0x80}}) {
        SCOPED_TRACE(cgb_flag);
        Asm a(0x0150);
        a.stop();
        a.inc(B);
        Load(a, {}, {.cgb_flag = cgb_flag});
        gb.state.BC = 0;
        // Outside colour mode an armed KEY1 does nothing.
        gb.memory.io_page[reg::KEY1] = cgb_flag ? 0x00 : 0x01;
        gb.state.IE = 0;
        Run(20);
        EXPECT_EQ(gb.state.flag_stop, 1);
        EXPECT_EQ(gb.state.PC, 0x0151);
        EXPECT_EQ(gb.state.CGB_double_speed, 0);
        gb.RequestInterrupt(irq::JOYPAD);
        Run(2);
        EXPECT_EQ(gb.state.flag_stop, 0);
        EXPECT_EQ(gb.state.BC >> 8, 1);
    }
}

TEST_F(InterruptTest, DispatchPushesTheHighByteFirst) {
    Asm a(0x0150);
    Load(a);
    gb.state.PC = 0x1234;
    gb.state.IME = 1;
    gb.RequestInterrupt(irq::JOYPAD | irq::SERIAL);
    gb.DispatchInterrupt(irq::SERIAL, 0x0058);
    EXPECT_EQ(gb.BusRead(0xCFFF), 0x12);
    EXPECT_EQ(gb.BusRead(0xCFFE), 0x34);
    EXPECT_EQ(gb.state.SP, 0xCFFE);
    EXPECT_EQ(gb.state.PC, 0x0058);
    EXPECT_EQ(gb.state.IME, 0);
    EXPECT_EQ(gb.state.IF & 0x1F, irq::JOYPAD);
}

}  // namespace
}  // namespace kivo
