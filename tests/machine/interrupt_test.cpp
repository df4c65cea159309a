// Interrupts, HALT, STOP and the speed switch: when requests wake the processor, when they are
// served, and what the speed switch leaves in KEY1. Programs start at 0x0150.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/program_test.h"

namespace kivo {
namespace {

using namespace gbasm;

class InterruptTest : public test::ProgramTest {
  protected:
    // The programs count in B and enable what they need in IE themselves.
    void Load(const Asm& program, const Asm* handler = nullptr, u8 cgb_flag = 0) {
        ProgramTest::Load(program, handler, cgb_flag);
        gb.state.BC = 0, gb.state.IE = 0;
    }
    // What these tests watch: PC, the word on top of the stack, IF's request bits, IME, whether
    // HALT or STOP waits, and B, which the programs count in.
    std::string Cpu() const {
        const GbState& s = gb.state;
        char text[64];
        std::snprintf(text, sizeof text, "PC %04X top %02X%02X IF %02X IME %d wait %d B %d", s.PC,
                      gb.BusRead(0xCFFF), gb.BusRead(0xCFFE), s.IF & 0x1F, s.IME,
                      s.flag_halt | s.flag_stop, s.BC >> 8);
        return text;
    }
};

// EI takes effect at once: a pending request is served at the end of EI's own step, and the
// dispatch adds no cycles. DI holds requests back.
TEST_F(InterruptTest, EiServesAPendingRequestAtTheEndOfItsOwnStepAndDiHoldsItBack) {
    Asm a(0x0150);
    a.ei(), a.di(), a.nop();
    Load(a);
    gb.state.IE = irq::TIMER | irq::VBLANK;
    gb.RequestInterrupt(irq::TIMER);
    Run(1);
    EXPECT_EQ(Cpu(), "PC 0050 top 0151 IF 00 IME 0 wait 0 B 0");
    EXPECT_EQ(gb.state.op_cycles, 4u);
    gb.state.PC = 0x0151, gb.state.IME = 1;
    Run(1);
    gb.RequestInterrupt(irq::VBLANK);
    Run(1);
    EXPECT_EQ(Cpu(), "PC 0153 top 0151 IF 01 IME 0 wait 0 B 0");
}

// Of two requests the lowest bit is served; the other waits while the handler runs with IME
// clear, until RETI, setting IME at once, has it served at the end of its own step.
TEST_F(InterruptTest, TwoPendingRequestsServeTheLowestBitFirstAndRetiServesTheNext) {
    Asm a(0x0150), vblank(0x0040);
    a.ei(), a.nop();
    vblank.nop(), vblank.reti();
    Load(a, &vblank);
    gb.state.IE = 0x1F;
    gb.RequestInterrupt(irq::VBLANK | irq::TIMER);
    Run(2);
    EXPECT_EQ(Cpu(), "PC 0041 top 0151 IF 04 IME 0 wait 0 B 0");
    Run(1);
    EXPECT_EQ(Cpu(), "PC 0050 top 0151 IF 00 IME 0 wait 0 B 0");
}

// A halted processor idles in 4-cycle steps until a request enabled in IE is set, whatever IME
// says. With IME clear nothing is served and the byte after HALT runs next, once.
TEST_F(InterruptTest, HaltWaitsForAnEnabledRequestAndEndsWithoutDispatchWhenImeIsClear) {
    Asm a(0x0150);
    a.halt(), a.inc(B), a.nop();

    // A timer request that IE does not enable leaves the processor halted until V-blank.
    Load(a);
    gb.state.IE = irq::VBLANK;
    gb.RequestInterrupt(irq::TIMER);
    int steps = 0;
    do {
        Run(1);
    } while ((gb.state.flag_halt) && ++steps < 20000);
    EXPECT_EQ(gb.state.LY, 144);
    EXPECT_EQ(Cpu(), "PC 0151 top 0000 IF 05 IME 0 wait 0 B 0");
    EXPECT_EQ(gb.state.op_cycles, 4u);
    Run(2);
    EXPECT_EQ(Cpu(), "PC 0153 top 0000 IF 05 IME 0 wait 0 B 1");

    // An enabled request already pending ends HALT in its own step.
    Load(a);
    gb.state.IE = irq::TIMER;
    gb.RequestInterrupt(irq::TIMER);
    Run(2);
    EXPECT_EQ(Cpu(), "PC 0152 top 0000 IF 04 IME 0 wait 0 B 1");

    // IF's upper bits are not requests, even with every IE bit set.
    Load(a);
    gb.state.IE = 0xFF;
    gb.state.IF = 0xE0;
    Run(50);
    EXPECT_EQ(Cpu(), "PC 0151 top 0000 IF 00 IME 0 wait 1 B 0");
}

// A game's main loop that waits for V-blank with one HALT, with an LCD STAT request (LYC 9) raised
// every frame that it never enables, and key presses raising the joypad request: the loop still
// runs exactly once per frame.
TEST_F(InterruptTest, VblankLoopWithOneHaltRunsOncePerFrameWhateverOtherRequestsStand) {
    Asm a(0x0150), vblank(0x0040);
    a.ld(A, 0x40), a.ldh(reg::STAT, A);
    a.ld(A, 9), a.ldh(reg::LYC, A);
    a.ld(A, irq::VBLANK), a.ldh(reg::IE, A);
    a.label("loop");
    a.ei(), a.halt(), a.inc(C), a.jr("loop");
    vblank.inc(B), vblank.reti();
    for (const bool keys : {false, true}) {
        Load(a, &vblank);
        constexpr u32 kFrameCycles = 70224;
        u32 cycles = 0;
        for (int frame = 0; frame < 60; ++frame) {
            if (keys) (frame % 2 ? gb.ReleaseButton(KEY_A) : gb.PressButton(KEY_A));
            for (const u32 end = cycles + kFrameCycles; cycles < end;
                 cycles += gb.state.op_cycles) {
                Run(1);
            }
        }
        EXPECT_EQ(gb.state.BC >> 8, 60) << "keys " << keys;
        EXPECT_EQ(gb.state.BC & 0xFF, 60) << "keys " << keys;
        EXPECT_NE(gb.state.IF & irq::LCD_STAT, 0) << "keys " << keys;
    }
}

TEST_F(InterruptTest, HaltedProcessorWithImeServesTheRequestAndReturnsAfterHalt) {
    Asm a(0x0150);
    a.ei(), a.halt(), a.nop();
    Load(a);
    gb.state.IE = irq::TIMER;
    Run(5);
    EXPECT_EQ(Cpu(), "PC 0152 top 0000 IF 00 IME 1 wait 1 B 0");
    gb.RequestInterrupt(irq::TIMER);
    Run(1);
    EXPECT_EQ(Cpu(), "PC 0050 top 0152 IF 00 IME 0 wait 0 B 0");
}

// With KEY1 armed in colour mode, STOP switches the speed and goes on at once (it is one byte
// here); KEY1 then shows the new speed in bit 7 with the switch disarmed.
TEST_F(InterruptTest, StopWithTheSwitchArmedInColourModeChangesSpeedAndGoesOn) {
    Asm a(0x0150);
    a.ld(A, 0x01), a.ldh(reg::KEY1, A), a.stop(), a.inc(B);
    a.ld(A, 0x01), a.ldh(reg::KEY1, A), a.stop();
    Load(a, nullptr, 0x80);
    ASSERT_EQ(gb.state.CGB_MODE, 1);
    for (const u8 speed : {1, 0}) {
        Run(4);
        EXPECT_EQ(gb.state.CGB_double_speed, speed);
        EXPECT_EQ(gb.memory.io_page[reg::KEY1], speed << 7);
        EXPECT_EQ(Cpu(), speed ? "PC 0156 top 0000 IF 00 IME 0 wait 0 B 1"
                               : "PC 015C top 0000 IF 00 IME 0 wait 0 B 1");
    }
}

// Without an armed switch STOP idles until any request, enabled or not. Outside colour mode an
// armed KEY1 does nothing.
TEST_F(InterruptTest, StopWithoutAnArmedSwitchIdlesUntilAnyRequest) {
    Asm a(0x0150);
    a.stop(), a.inc(B);
    for (const u8 cgb_flag : {0x00, 0x80}) {
        Load(a, nullptr, cgb_flag);
        gb.memory.io_page[reg::KEY1] = cgb_flag ? 0x00 : 0x01;
        Run(20);
        EXPECT_EQ(Cpu(), "PC 0151 top 0000 IF 00 IME 0 wait 1 B 0") << int{cgb_flag};
        EXPECT_EQ(gb.state.CGB_double_speed, 0);
        gb.RequestInterrupt(irq::JOYPAD);
        Run(2);
        EXPECT_EQ(Cpu(), "PC 0152 top 0000 IF 10 IME 0 wait 0 B 1") << int{cgb_flag};
    }
}

}  // namespace
}  // namespace kivo
