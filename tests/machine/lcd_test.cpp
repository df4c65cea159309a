// LCD timing: the mode sequence and its cycle counts, LY and the coincidence flag, the V-blank
// and STAT interrupt requests, program writes to STAT and LY and the
// frame-skip counter. The LCD is driven one step at a time with op_cycles set by the test.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "machine/gbsys.h"

namespace kivo {
namespace {

constexpr u32 kFrameCycles = 70224;

// A change of LY or mode, at a cycle counted from the start of a trace.
struct Event {
    u32 cycle;
    u8 ly, mode;
    bool operator==(const Event&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << "{" << e.cycle << ", LY " << int{e.ly} << ", mode " << int{e.mode} << "}";
}
using Events = std::vector<Event>;

// The events of one frame from the start of line 0, every mode length times factor. Line 153
// lasts a full line before the wrap to line 0.
Events ExpectedFrame(u32 factor) {
    Events events;
    u32 t = 0;
    for (u8 ly = 0; ly < 144; ++ly) {
        events.push_back({t += 81 * factor, ly, 3});
        events.push_back({t += 170 * factor, ly, 0});
        events.push_back({t += 205 * factor, static_cast<u8>(ly + 1), ly < 143 ? u8{2} : u8{1}});
    }
    for (int ly = 145; ly <= 154; ++ly) {
        events.push_back({t += 456 * factor, static_cast<u8>(ly % 154), ly < 154 ? u8{1} : u8{2}});
    }
    return events;
}

class Lcd : public testing::Test {
  protected:
    void SetUp() override {
        gb->HardReset();
        std::memset(gb->memory.frame_buffer, 0xAB, sizeof gb->memory.frame_buffer);
    }
    GbState& s() { return gb->state; }
    // The start of line 0's OAM search, the start of a frame.
    void StartFrame() { s().STAT = (s().STAT & 0xFC) | 2, s().LY = 0, s().lcd_cycles = 0; }

    void Run(u32 cycles) {
        s().op_cycles = 4;
        for (u32 t = 0; t < cycles; t += 4) gb->LcdStep();
    }
    // Runs in one-cycle steps, recording every change of mode or LY and counting in `requests`
    // the steps that requested the V-blank and LCD STAT interrupts (IF is cleared before each).
    Events Trace(u32 cycles) {
        Events events;
        s().op_cycles = 1;
        for (u32 t = 1; t <= cycles; ++t) {
            const u8 ly = s().LY, mode = s().STAT & 3;
            s().IF = 0;
            gb->LcdStep();
            requests.first += (s().IF & irq::VBLANK) ? 1 : 0;
            requests.second += (s().IF & irq::LCD_STAT) ? 1 : 0;
            if (s().LY != ly || (s().STAT & 3) != mode)
                events.push_back({t, s().LY, static_cast<u8>(s().STAT & 3)});
        }
        return events;
    }
    // Whether the lines' visible pixel 0 lost the 0xAB fill: D on every line, - on none, else ?.
    char Drawn() const {
        int n = 0;
        for (int ly = 0; ly < kScreenHeight; ++ly) {
            n += gb->memory.frame_buffer[ly * kLineBytes + kVisibleOffset] != 0xAB ? 1 : 0;
        }
        return n == kScreenHeight ? 'D' : n == 0 ? '-' : '?';
    }

    std::pair<int, int> requests;
    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
};

// Modes 2, 3 and 0 on each of lines 0-143, then ten V-blank lines; double speed doubles every
// length. Each visible line is drawn at its mode 2 to mode 3 change.
TEST_F(Lcd, FrameRunsModes2_3_0On144LinesThenTenVblankLinesIn70224Cycles) {
    ASSERT_EQ(ExpectedFrame(1).back().cycle, kFrameCycles);
    for (const u32 speed : {0u, 1u}) {
        SCOPED_TRACE(speed);
        SetUp();
        s().CGB_double_speed = static_cast<u8>(speed);
        StartFrame();
        s().STAT |= 0x28, requests = {};  // H-blank and OAM search requests
        EXPECT_EQ(Trace((speed + 1) * kFrameCycles), ExpectedFrame(speed + 1));
        EXPECT_EQ(requests, std::make_pair(1, 288));
        EXPECT_EQ(s().frame_ready, 1);
        EXPECT_EQ(Drawn(), 'D');
    }
}

TEST_F(Lcd, InterruptRequestsFollowTheStatSelectBits) {
    const struct {
        u8 stat_selects, lyc;
        int stat_per_frame;
    } cases[] = {
        {0x00, 10, 0},          // a coincidence that is not selected raises nothing
        {0x08, 200, 144},       // every H-blank entry
        {0x10, 200, 1},         // V-blank entry only, not each V-blank line
        {0x20, 200, 144},       // every OAM search, line 0 after the wrap included
        {0x40, 10, 1},          // LY becomes 10
        {0x40, 0, 1},           // the wrap from 153 to 0 compares too
        {0x40, 153, 1},         // and so do the V-blank lines
        {0x10 | 0x40, 144, 1},  // coincidence and mode 1 at V-blank come in one step
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "STAT " << int{c.stat_selects} << " LYC " << int{c.lyc});
        StartFrame();
        s().STAT = c.stat_selects | 2, s().LYC = c.lyc, requests = {};
        Trace(kFrameCycles);
        EXPECT_EQ(requests, std::make_pair(1, c.stat_per_frame));
    }
}

// Only the LCD's own changes of LY compare it with LYC. A program's LY write restarts the count
// at 0 keeping the mode and its cycles; neither it nor an LYC write compares anything.
TEST_F(Lcd, CoincidenceIsComparedOnlyWhenTheLcdChangesLy) {
    StartFrame();
    s().LYC = 5, s().STAT |= 0x40;
    Run(5 * 456);
    EXPECT_TRUE(s().STAT & 0x04);
    Run(456 + 100);  // line 6, in mode 3
    EXPECT_FALSE(s().STAT & 0x04);
    const i32 cycles = s().lcd_cycles;
    s().IF = 0;
    gb->IoWrite(0xFF00 | reg::LYC, 6);  // equal to LY
    gb->IoWrite(0xFF00 | reg::LYC, 0);
    gb->IoWrite(0xFF00 | reg::LY, 0x55);  // LY becomes 0, equal to LYC
    EXPECT_EQ(s().LY, 0);
    EXPECT_EQ(s().STAT & 0x07, 3);
    EXPECT_EQ(s().lcd_cycles, cycles);
    EXPECT_EQ(s().IF, 0);
}

// A STAT write moves the LCD into the written mode with its cycles kept: the mode then lasts its
// own length counted from when the previous one began.
TEST_F(Lcd, StatWriteEntersTheWrittenModeKeepingItsCycles) {
    StartFrame();
    Trace(456 + 81 + 100);  // line 1, 100 cycles into mode 3
    gb->IoWrite(0xFF00 | reg::STAT, 0x40);
    EXPECT_EQ(s().STAT & 3, 0);
    EXPECT_EQ(Trace(105), (Events{{105, 2, 2}}));
}

// One frame in N is drawn (D) and flagged ready (R) at the V-blank that closes its period. A
// period below 1 from a hand-edited INI file acts as 1.
TEST_F(Lcd, FrameSkipPeriodDecidesWhichFramesAreDrawnAndFlagged) {
    const std::pair<i32, std::string> cases[] = {{1, "DR DR DR DR DR DR"},
                                                 {3, "D- -- -R D- -- -R"},
                                                 {0, "DR DR DR DR DR DR"},
                                                 {-4, "DR DR DR DR DR DR"}};
    for (const auto& [period, want] : cases) {
        SCOPED_TRACE(period);
        SetUp();
        gb->frame_skip_period = period;
        StartFrame();
        std::string seen;
        for (int frame = 0; frame < 6; ++frame) {
            std::memset(gb->memory.frame_buffer, 0xAB, sizeof gb->memory.frame_buffer);
            s().frame_ready = 0;
            Run(kFrameCycles);
            seen += std::string(frame ? " " : "") + Drawn() + (s().frame_ready ? 'R' : '-');
        }
        EXPECT_EQ(seen, want);
    }
}

}  // namespace
}  // namespace kivo
