// LCD timing: the mode sequence and its cycle counts, LY and the coincidence flag, the V-blank
// and STAT interrupt requests, program writes to STAT and LY, the H-blank DMA hook and the
// frame-skip counter. The LCD is driven one step at a time with op_cycles set by the test.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "machine/gbsys.h"

namespace kivo {
namespace {

constexpr u32 kFrameCycles = 70224;

struct Event {
    u32 cycle;
    u8 ly;
    u8 mode;
    bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << "{cycle " << e.cycle << ", LY " << int{e.ly} << ", mode " << int{e.mode} << "}";
}

class Lcd : public testing::Test {
  protected:
    void SetUp() override {
        gb->HardReset();
        std::memset(gb->memory.frame_buffer, 0xAB, sizeof gb->memory.frame_buffer);
    }

    GbState& s() { return gb->state; }

    // Puts the machine at the start of line 0's OAM search, the start of a frame.
    void StartFrame() {
        s().STAT = static_cast<u8>((s().STAT & 0xFC) | 2);
        s().LY = 0;
        s().lcd_cycles = 0;
    }

    void Run(u32 cycles, u32 step = 4) {
        s().op_cycles = step;
        for (u32 t = 0; t < cycles; t += step) gb->LcdStep();
    }

    // Runs cycles in one-cycle steps and records every change of mode or LY.
    std::vector<Event> Trace(u32 cycles) {
        std::vector<Event> events;
        s().op_cycles = 1;
        for (u32 t = 1; t <= cycles; ++t) {
            const u8 ly = s().LY;
            const u8 mode = s().STAT & 3;
            gb->LcdStep();
            if (s().LY != ly || (s().STAT & 3) != mode) {
                events.push_back({t, s().LY, static_cast<u8>(s().STAT & 3)});
            }
        }
        return events;
    }

    struct Requests {
        int vblank = 0;
        int stat = 0;
    };
    // Runs cycles and counts the interrupt requests, clearing IF after each step.
    Requests CountRequests(u32 cycles, u32 step = 4) {
        Requests r;
        s().op_cycles = step;
        for (u32 t = 0; t < cycles; t += step) {
            s().IF = 0;
            gb->LcdStep();
            r.vblank += (s().IF & irq::VBLANK) ? 1 : 0;
            r.stat += (s().IF & irq::LCD_STAT) ? 1 : 0;
        }
        return r;
    }

    // Visible pixel 0 of a line differs from the 0xAB fill once the line has been drawn.
    bool LineDrawn(int ly) const {
        return gb->memory.frame_buffer[ly * kLineBytes + kVisibleOffset] != 0xAB;
    }
    int LinesDrawn() const {
        int n = 0;
        for (int ly = 0; ly < kScreenHeight; ++ly) n += LineDrawn(ly) ? 1 : 0;
        return n;
    }

    // A pending H-blank DMA of `blocks` 16-byte blocks from work RAM 0xC000 to video RAM 0x8000,
    // as a state file or an HDMA5 write leaves it.
    void ArmHblankDma(int blocks) {
        for (int i = 0; i < 16 * blocks; ++i) gb->memory.wram[i] = static_cast<u8>(i + 1);
        s().hdma_active = 1;
        s().hdma_mode = 0x80;
        s().hdma_src = 0xC000;
        s().hdma_dst = 0x8000;
        s().hdma_length = 16 * blocks;
        gb->memory.io_page[reg::HDMA5] = static_cast<u8>(blocks - 1);
    }
    int VramBytesCopied() const {
        int n = 0;
        while (n < 0x100 && gb->memory.vram[n] == static_cast<u8>(n + 1)) ++n;
        return n;
    }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
};

// The events of one whole frame from the start of line 0, with every mode length times factor.
std::vector<Event> ExpectedFrame(u32 factor) {
    std::vector<Event> events;
    u32 t = 0;
    for (int ly = 0; ly < 144; ++ly) {
        t += 81 * factor;
        events.push_back({t, static_cast<u8>(ly), 3});
        t += 170 * factor;
        events.push_back({t, static_cast<u8>(ly), 0});
        t += 205 * factor;
        events.push_back(ly < 143 ? Event{t, static_cast<u8>(ly + 1), 2} : Event{t, 144, 1});
    }
    for (int ly = 145; ly <= 153; ++ly) {
        t += 456 * factor;
        events.push_back({t, static_cast<u8>(ly), 1});
    }
    // Line 153 lasts a full line before the wrap to line 0.
    t += 456 * factor;
    events.push_back({t, 0, 2});
    return events;
}

TEST_F(Lcd, PowerOnStartsInHblankOfLineZeroEndingAfter205Cycles) {
    EXPECT_EQ(s().STAT & 3, 0);
    EXPECT_EQ(s().LY, 0);
    const std::vector<Event> events = Trace(205);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (Event{205, 1, 2}));
}

TEST_F(Lcd, FrameRunsModes2_3_0On144LinesThenTenVblankLinesIn70224Cycles) {
    StartFrame();
    const std::vector<Event> events = Trace(kFrameCycles);
    EXPECT_EQ(events, ExpectedFrame(1));
    EXPECT_EQ(ExpectedFrame(1).back().cycle, kFrameCycles);
    // Each visible line was drawn at its mode 2 to mode 3 change.
    EXPECT_EQ(LinesDrawn(), 144);
}

TEST_F(Lcd, DoubleSpeedDoublesEveryModeLength) {
    s().CGB_double_speed = 1;
    StartFrame();
    EXPECT_EQ(Trace(2 * kFrameCycles), ExpectedFrame(2));
}

TEST_F(Lcd, CyclesPastAModeEndCarryIntoTheNextModeOneTransitionPerStep) {
    StartFrame();
    s().op_cycles = 50;
    gb->LcdStep();
    gb->LcdStep();  // 100 cycles: OAM search (81) is over
    EXPECT_EQ(s().STAT & 3, 3);
    EXPECT_EQ(s().lcd_cycles, 19);

    // A step far longer than a mode still ends only the current one; the rest carries on.
    s().op_cycles = 400;
    gb->LcdStep();  // 419 - 170
    EXPECT_EQ(s().STAT & 3, 0);
    EXPECT_EQ(s().lcd_cycles, 249);
    s().op_cycles = 0;
    gb->LcdStep();  // 249 - 205
    EXPECT_EQ(s().STAT & 3, 2);
    EXPECT_EQ(s().LY, 1);
    EXPECT_EQ(s().lcd_cycles, 44);
}

TEST_F(Lcd, InterruptRequestsFollowTheStatSelectBits) {
    struct Case {
        u8 stat_selects;
        u8 lyc;
        int stat_per_frame;
    };
    const Case cases[] = {
        {0x00, 10, 0},            // a coincidence that is not selected raises nothing
        {0x08, 200, 144},         // every H-blank entry
        {0x10, 200, 1},           // V-blank entry only, not each V-blank line
        {0x20, 200, 144},         // every OAM search, line 0 after the wrap included
        {0x40, 10, 1},            // LY becomes 10
        {0x40, 0, 1},             // the wrap from 153 to 0 compares too
        {0x40, 153, 1},           // and so do the V-blank lines
        {0x08 | 0x20, 200, 288},  // each selected entry raises its own request
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "STAT selects " << int{c.stat_selects} << " LYC " << int{c.lyc});
        StartFrame();
        s().STAT = static_cast<u8>(c.stat_selects | 2);
        s().LYC = c.lyc;
        const Requests r = CountRequests(kFrameCycles);
        EXPECT_EQ(r.vblank, 1);
        EXPECT_EQ(r.stat, c.stat_per_frame);
    }
}

TEST_F(Lcd, VblankEntryRaisesCoincidenceModeOneAndVblankInTheSameStep) {
    StartFrame();
    s().STAT = 0x50 | 2;  // coincidence and mode 1 selected
    s().LYC = 144;
    Run(143 * 456 + 456 - 4, 4);
    EXPECT_EQ(s().LY, 143);
    s().IF = 0;
    gb->LcdStep();
    EXPECT_EQ(s().LY, 144);
    EXPECT_EQ(s().STAT & 0x07, 0x05);  // coincidence flag, mode 1
    EXPECT_EQ(s().IF, irq::VBLANK | irq::LCD_STAT);
    EXPECT_EQ(s().frame_ready, 1);
}

TEST_F(Lcd, CoincidenceFlagIsComparedOnlyWhenTheLcdChangesLy) {
    StartFrame();
    s().LYC = 5;
    Run(5 * 456);
    EXPECT_EQ(s().LY, 5);
    EXPECT_TRUE(s().STAT & 0x04);
    Run(456);
    EXPECT_EQ(s().LY, 6);
    EXPECT_FALSE(s().STAT & 0x04);

    // Writing LYC equal to the current line sets nothing until LY next changes (and then it
    // no longer matches).
    s().STAT |= 0x40;
    s().IF = 0;
    gb->IoWrite(0xFF00 | reg::LYC, 6);
    EXPECT_FALSE(s().STAT & 0x04);
    EXPECT_EQ(s().IF, 0);
    Run(456);
    EXPECT_EQ(s().LY, 7);
    EXPECT_FALSE(s().STAT & 0x04);
    EXPECT_EQ(s().IF & irq::LCD_STAT, 0);
}

TEST_F(Lcd, LyWriteRestartsTheLineCountWithoutComparingOrChangingTheMode) {
    StartFrame();
    s().LYC = 0;
    s().STAT |= 0x40;
    Run(7 * 456 + 100);  // line 7, in mode 3
    const i32 cycles = s().lcd_cycles;
    s().IF = 0;
    gb->IoWrite(0xFF00 | reg::LY, 0x55);
    EXPECT_EQ(s().LY, 0);
    EXPECT_EQ(s().STAT & 0x07, 3);  // no coincidence flag
    EXPECT_EQ(s().lcd_cycles, cycles);
    EXPECT_EQ(s().IF, 0);
}

TEST_F(Lcd, StatWriteMovesTheMachineToTheWrittenModeKeepingItsCycles) {
    StartFrame();
    ArmHblankDma(2);
    s().op_cycles = 1;
    for (int t = 0; t < 81 + 100; ++t) gb->LcdStep();
    ASSERT_EQ(s().STAT & 3, 3);
    ASSERT_EQ(s().lcd_cycles, 100);

    gb->IoWrite(0xFF00 | reg::STAT, 0x40);  // mode 0 written during mode 3
    EXPECT_EQ(s().STAT & 3, 0);
    // The H-blank now ends 205 cycles after the mode began counting, i.e. 105 cycles on.
    const std::vector<Event> events = Trace(105);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (Event{105, 1, 2}));
    // That H-blank was entered by the write, not by the LCD: no DMA block ran for line 0.
    EXPECT_EQ(VramBytesCopied(), 0);
}

TEST_F(Lcd, EveryHblankStartRunsOneBlockOfAPendingHblankDma) {
    StartFrame();
    ArmHblankDma(3);
    Run(81 + 170 - 4);
    EXPECT_EQ(VramBytesCopied(), 0);
    Run(4);  // mode 3 -> 0
    EXPECT_EQ(VramBytesCopied(), 16);
    EXPECT_EQ(gb->memory.io_page[reg::HDMA5], 1);
    Run(456);
    EXPECT_EQ(VramBytesCopied(), 32);
    Run(456);
    EXPECT_EQ(VramBytesCopied(), 48);
    EXPECT_EQ(s().hdma_active, 0);
    EXPECT_EQ(gb->memory.io_page[reg::HDMA5], 0xFF);
}

TEST_F(Lcd, DisplayOffKeepsTimingAndInterruptsButDrawsNothing) {
    s().LCDC &= 0x7F;
    StartFrame();
    ArmHblankDma(2);
    s().STAT |= 0x28;
    const Requests r = CountRequests(kFrameCycles);
    EXPECT_EQ(r.vblank, 1);
    EXPECT_EQ(r.stat, 288);
    EXPECT_EQ(s().LY, 0);
    EXPECT_EQ(s().STAT & 3, 2);
    EXPECT_EQ(s().frame_ready, 1);
    EXPECT_EQ(VramBytesCopied(), 32);  // H-blank DMA runs with the display off too
    EXPECT_EQ(LinesDrawn(), 0);        // the last picture stays

    s().LCDC |= 0x80;  // switching it back on restarts nothing
    EXPECT_EQ(s().LY, 0);
    EXPECT_EQ(s().STAT & 3, 2);
}

TEST_F(Lcd, FrameSkipPeriodDecidesWhichFramesAreDrawnAndFlagged) {
    struct Case {
        i32 period;
        std::vector<int> drawn;
        std::vector<int> ready;
    };
    const Case cases[] = {
        {1, {1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}},
        // One frame in three is drawn and shown at the V-blank that closes its period.
        {3, {1, 0, 0, 1, 0, 0}, {0, 0, 1, 0, 0, 1}},
        // A period below 1 from a hand-edited INI file acts as 1.
        {0, {1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}},
        {-4, {1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "period " << c.period);
        gb->HardReset();
        gb->frame_skip_period = c.period;
        StartFrame();
        std::vector<int> drawn;
        std::vector<int> ready;
        for (std::size_t frame = 0; frame < c.drawn.size(); ++frame) {
            std::memset(gb->memory.frame_buffer, 0xAB, sizeof gb->memory.frame_buffer);
            s().frame_ready = 0;
            Run(kFrameCycles);
            drawn.push_back(LinesDrawn() == 144 ? 1 : LinesDrawn() == 0 ? 0 : -1);
            ready.push_back(s().frame_ready);
        }
        EXPECT_EQ(drawn, c.drawn);
        EXPECT_EQ(ready, c.ready);
    }
}

TEST_F(Lcd, CountersFromAHostileStateSettleWithinALine) {
    // A state file can hold any lcd_cycles: the sums must not overflow, and the LCD must soon
    // be back to its normal rhythm rather than racing or stalling for minutes.
    for (const i32 start : {INT_MAX, INT_MAX - 2, INT_MIN, -1, 0x10000}) {
        SCOPED_TRACE(testing::Message() << "lcd_cycles " << start);
        StartFrame();
        s().lcd_cycles = start;
        Run(16);
        EXPECT_GE(s().lcd_cycles, 0);
        EXPECT_LT(s().lcd_cycles, 912);
    }

    for (const i32 count : {INT_MAX, INT_MIN, -1}) {
        for (const i32 period : {INT_MAX, INT_MIN, 0, 3}) {
            s().frame_skip_count = count;
            gb->frame_skip_period = period;
            s().frame_ready = 0;
            gb->FrameSkipStep();
            EXPECT_GE(s().frame_skip_count, 0);
            EXPECT_LT(s().frame_skip_count, period > 0 ? period : 1);
        }
    }
}

}  // namespace
}  // namespace kivo
