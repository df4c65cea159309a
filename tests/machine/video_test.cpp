// The LCD's timing, and the scanline renderer and the palettes by the machine's own rules and by
// the console's (exact_slice: the object limit, object order and window line counter).
//
// The LCD is driven one step at a time with op_cycles set by the test: the mode sequence and its
// cycle counts, LY and the coincidence flag, the V-blank and STAT interrupt requests, program
// writes to STAT and LY and the frame-skip counter. The renderer is held to a line drawn pixel by
// pixel in the test, over random registers, video RAM and OAM.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

constexpr u32 kFrameCycles = 70224;

// A change of LY or mode, at a cycle counted from the start of a trace.
struct Event {
    u32 cycle;
    u8 ly, mode;
    bool operator==(const Event&) const = default;
};
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
            gb->ForgetDrawnLines();  // the lines are to be drawn again
            s().frame_ready = 0;
            Run(kFrameCycles);
            seen += std::string(frame ? " " : "") + Drawn() + (s().frame_ready ? 'R' : '-');
        }
        EXPECT_EQ(seen, want);
    }
}

// ---- the renderer ----

// The line the renderer must draw, pixel by pixel: 176 pixels of blue, green, red and a tag, the
// visible 160 at 8-167, the margins black with tag 0 where no tile or sprite reaches. The tag
// holds the background's colour number (bits 0-1), the window's (bits 2-3) and, in colour mode,
// the background tile's priority attribute (bit 7); sprites leave it alone and are tested
// against it: colour 0 is transparent, and a sprite behind the background (or under a tile with
// priority, which shows only its colour 0 through) is hidden. By the machine's own rules every
// sprite on the line is drawn, the lowest OAM entry on top, and the window takes line LY - WY.
// By the console's (exact_slice) the first ten entries on the line count, whatever their X; the
// smaller X wins outside colour mode, and a winner's pixel hides the losers' also where the
// background hides it; the window is drawn as background and counts only the lines it is drawn on;
// without LCDC bit 0 outside colour mode the line is white.
std::vector<u32> ReferenceLine(const TGBSYSF& gb) {
    const GbState& s = gb.state;
    const u8* vram = gb.memory.vram;
    const bool cgb = s.CGB_MODE != 0, exact = gb.exact_slice;
    const u32 ly = s.LY, lcdc = s.LCDC;
    auto colour = [](const u8* palette, u32 c) {
        return u32{palette[4 * c]} | palette[4 * c + 1] << 8 | palette[4 * c + 2] << 16;
    };
    // A pixel of the map at 0x9800 or 0x9C00, and its tag as the layer (0 or 1) gives it.
    auto map_pixel = [&](bool high, u32 x, u32 y, int layer) {
        const u32 map = (high ? 0x1C00 : 0x1800) + (y / 8) * 32 + x / 8;
        const u32 tile = vram[map], attr = cgb ? vram[0x2000 + map] : 0;
        const u32 row = (attr & 0x40) ? 7 - y % 8 : y % 8, bit = (attr & 0x20) ? x % 8 : 7 - x % 8;
        const u8* data = vram + ((attr & 0x08) ? 0x2000 : 0) + 2 * row +
                         ((lcdc & 0x10) ? tile * 16 : 0x800 + (tile ^ 0x80) * 16);
        const u32 c = (data[0] >> bit & 1) | (data[1] >> bit & 1) << 1;
        const u32 tag = layer == 0 ? c | (attr & 0x80) : c << 2;
        return colour(cgb ? s.cgb_bg_colors + (attr & 7) * 16 : s.bgp_colors, c) | tag << 24;
    };
    const bool colour_system = gb.IsColourSystem();
    const bool bg_on = (lcdc & 0x01) || ((colour_system || exact) && cgb);
    const bool win_on = (lcdc & 0x20) && s.WX <= 166 && s.WY <= ly &&
                        (exact ? bg_on : s.WY < 144 && !(!(lcdc & 0x01) && colour_system && !cgb));
    const u32 win_line = exact ? (ly == 0 ? 0 : s.window_line) : ly - s.WY;
    const u32 fine = s.SCX & 7, height = (lcdc & 0x04) ? 16 : 8;
    std::vector<u32> line(176, exact && !bg_on ? 0x00FFFFFF : 0);
    for (u32 x = 0; x < 176; ++x) {
        if (bg_on && x + fine >= 8 && x + fine < (fine ? 176u : 168u)) {
            line[x] = map_pixel(lcdc & 0x08, (x - 8 + s.SCX) & 255, (ly + s.SCY) & 255, 0);
        }
        if (win_on && x >= s.WX + 1u && x < s.WX + 1u + ((167 - s.WX) / 8 + 1) * 8) {
            const u32 w = map_pixel(lcdc & 0x40, x - s.WX - 1, win_line, exact ? 0 : 1);
            line[x] = exact ? w : w | (line[x] & 0xFF000000);
        }
    }
    // The sprites on the line, highest priority first.
    std::vector<int> order;
    for (int i = 0; i < 40; ++i) {
        const u32 row = (ly + 16 - gb.memory.oam_page[4 * i]) & 255;
        if (row < height && (!exact || order.size() < 10)) order.push_back(i);
    }
    const u8* oam = gb.memory.oam_page;
    if (exact && !cgb) {
        std::stable_sort(order.begin(), order.end(),
                         [&](int i, int j) { return oam[4 * i + 1] < oam[4 * j + 1]; });
    }
    const bool over_all = !(lcdc & 0x01) && (colour_system || exact) && cgb;
    bool taken[176] = {};
    for (std::size_t n = 0; n < order.size() && (lcdc & 0x02); ++n) {
        const u8* e = oam + 4 * order[exact ? n : order.size() - 1 - n];
        if (e[1] == 0 || e[1] >= 168) continue;
        u32 row = (ly + 16 - e[0]) & 255;
        if (e[3] & 0x40) row = height - 1 - row;
        const u32 tile = height == 16 ? (e[2] & 0xFE) + row / 8 : e[2];
        const u8* data = vram + ((cgb && (e[3] & 0x08)) ? 0x2000 : 0) + tile * 16 + 2 * (row % 8);
        const u8* palette = cgb             ? s.cgb_obj_colors + (e[3] & 7) * 16
                            : (e[3] & 0x10) ? s.obp1_colors
                                            : s.obp0_colors;
        for (u32 x = e[1], k = 0; k < 8; ++k, ++x) {
            const u32 bit = (e[3] & 0x20) ? k : 7 - k;
            const u32 c = (data[0] >> bit & 1) | (data[1] >> bit & 1) << 1;
            if (c == 0 || (exact && taken[x])) continue;
            taken[x] = true;
            const u32 tag = line[x] >> 24;
            if (over_all || ((tag & 0x80) ? (tag & 3) == 0 : !(e[3] & 0x80) || (tag & 0x7F) == 0)) {
                line[x] = colour(palette, c) | tag << 24;
            }
        }
    }
    return line;
}

// Random registers, palettes, video RAM and OAM, every value of SCX, WX and sprite X among them,
// and sprites and window edges crowded around the line: the line drawn is the reference line,
// nothing else changes, and the shuffled rows (where the processor has a byte shuffle) draw the
// same bytes as the portable code.
TEST_F(Lcd, AnyRegistersDrawTheReferenceLineAndNothingElse) {
    const bool shuffle = TGBSYSF::ProcessorHasByteShuffle();
    std::mt19937 rng(4242);
    auto fill = [&](auto& bytes) {
        for (u8& b : bytes) b = static_cast<u8>(rng());
    };
    auto snapshot = std::make_unique<GbMemory>();
    std::vector<u8> portable(kLineBytes);
    for (int round = 0; round < 2048; ++round) {
        SCOPED_TRACE(round);
        const u8 v = static_cast<u8>(round);
        const int ly = static_cast<int>(rng() % 144);
        if (round % 16 == 0) fill(gb->memory.vram);
        fill(s().bgp_colors), fill(s().obp0_colors), fill(s().obp1_colors);
        fill(s().cgb_bg_colors), fill(s().cgb_obj_colors);
        s().SCX = v, s().WX = v, s().SCY = static_cast<u8>(rng());
        s().WY = static_cast<u8>(rng() % 2 ? ly - rng() % 3 : rng() % 160);
        s().LCDC = static_cast<u8>(rng() | 0x80);
        s().CGB_MODE = static_cast<u8>(rng() % 3);
        s().window_line = static_cast<u8>(rng() % 8);
        gb->system_type = rng() % 3;
        gb->exact_slice = rng() % 3 == 0;
        fill(gb->memory.oam_page);
        for (int i = 0; i < 40; ++i) {
            u8* e = gb->memory.oam_page + 4 * i;
            if (rng() % 4) e[0] = static_cast<u8>(ly + 16 - rng() % 17);
            if (i % 8 == 1) e[1] = v;
        }
        std::memset(gb->memory.frame_buffer, 0xAB, sizeof gb->memory.frame_buffer);
        std::memcpy(snapshot.get(), &gb->memory, sizeof(GbMemory));
        s().LY = static_cast<u8>(ly);
        u8* const drawn_line = gb->memory.frame_buffer + ly * kLineBytes;
        const std::vector<u32> reference = ReferenceLine(*gb);
        const u8 window_line = s().window_line;
        gb->shuffle_rows = false;
        gb->ForgetDrawnLines();  // the memory above changed unseen by the bus
        gb->RenderLine();
        std::vector<u32> drawn(176);
        std::memcpy(drawn.data(), drawn_line, kLineBytes);
        ASSERT_EQ(drawn, reference);
        // Put the drawn line into the snapshot: nothing else may differ.
        std::memcpy(snapshot->frame_buffer + ly * kLineBytes, drawn_line, kLineBytes);
        ASSERT_EQ(std::memcmp(snapshot.get(), &gb->memory, sizeof(GbMemory)), 0);
        // Drawn again from the same inputs: the background row is now kept whole.
        gb->drawn_lines = {};
        s().window_line = window_line;
        gb->RenderLine();
        std::memcpy(drawn.data(), drawn_line, kLineBytes);
        ASSERT_EQ(drawn, reference);
        // One write through the bus to video RAM (anywhere, or in the map row the background or
        // the window reads on the line), OAM (perhaps moving an entry onto the line), a palette
        // or a register the line reads: the line drawn again is the reference line, whether the
        // write changed what it reads (the line is drawn anew) or not (the line drawn before is
        // kept).
        constexpr u16 kInputs[] = {0x8000, 0x9800, 0x9801, 0xFE00, 0xFF40, 0xFF42,
                                   0xFF43, 0xFF47, 0xFF48, 0xFF49, 0xFF4A, 0xFF4B};
        const u16 input = kInputs[rng() % std::size(kInputs)];
        u16 address = input;
        u8 value = static_cast<u8>(rng());
        if (input == 0x8000) {
            address = static_cast<u16>(input + rng() % 0x2000);
        } else if (input == 0x9800 || input == 0x9801) {
            const bool window = input == 0x9801;
            const u32 map_line = (window ? ly - s().WY : ly + s().SCY) & 0xFF;
            const bool high = s().LCDC & (window ? 0x40 : 0x08);
            address =
                static_cast<u16>(0x9800 + (high ? 0x400 : 0) + (map_line >> 3) * 32 + rng() % 32);
        } else if (input == 0xFE00) {
            address = static_cast<u16>(input + rng() % 160);
            if (address % 4 == 0 && rng() % 2) value = static_cast<u8>(ly + 16 - rng() % 16);
        } else if (input == 0xFF40) {
            value |= 0x80;
        }
        s().Bank_VRAM = rng() % 2;
        gb->BusWrite(address, value);
        s().window_line = window_line;
        const std::vector<u32> again = ReferenceLine(*gb);
        s().window_line = window_line;
        gb->RenderLine();
        std::memcpy(drawn.data(), drawn_line, kLineBytes);
        ASSERT_EQ(drawn, again) << "after a write to " << address;
        // Scrolled: the line at any SCX is copied from the row kept whole, or drawn anew.
        for (int scroll = 0; scroll < 2; ++scroll) {
            s().SCX = static_cast<u8>(rng());
            s().window_line = window_line;
            const std::vector<u32> scrolled = ReferenceLine(*gb);
            s().window_line = window_line;
            gb->RenderLine();
            std::memcpy(drawn.data(), drawn_line, kLineBytes);
            ASSERT_EQ(drawn, scrolled) << "at SCX " << int{s().SCX};
        }
        if (!shuffle) continue;
        std::memcpy(portable.data(), drawn_line, kLineBytes);
        gb->shuffle_rows = true;
        s().window_line = window_line;
        gb->RenderLine();
        ASSERT_EQ(std::memcmp(portable.data(), drawn_line, kLineBytes), 0);
    }
}

// A scrolling program's background rows are kept whole from one slice to the next; video RAM or
// a background palette changed between slices, unseen by the bus (a state load, the debugger),
// has them drawn anew: the frame is the one a machine that forgot them draws.
TEST(KeptRows, AChangeBetweenSlicesIsDrawn) {
    using namespace gbasm;
    Asm a(0x0150);
    a.ld(A, 0x91);
    a.ldh(0x40, A);  // LCD and background on
    a.ld(HL, 0xFF43);
    a.label("scroll");
    a.inc(Mem(HL));  // SCX
    a.jr("scroll");
    std::vector<u8> rom = test::MakeRom({.cgb_flag = 0x80});
    PlaceInRom(rom, a);
    const std::pair<const char*, std::function<void(TGBSYSF&)>> changes[] = {
        {"tile data", [](TGBSYSF& gb) { gb.memory.vram[0x10] ^= 0xFF; }},
        {"map", [](TGBSYSF& gb) { std::memset(gb.memory.vram + 0x1800, 1, 0x400); }},
        {"palette", [](TGBSYSF& gb) { gb.state.cgb_bg_colors[5] ^= 0x80; }},
    };
    for (const auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        std::unique_ptr<TGBSYSF> machines[2] = {std::make_unique<TGBSYSF>(),
                                                std::make_unique<TGBSYSF>()};
        for (auto& gb : machines) {
            test::OpenImage(*gb, rom);
            gb->state.PC = 0x0150;
            std::mt19937 rng(7);
            for (u8& b : gb->memory.vram) b = static_cast<u8>(rng() % 4);
            gb->RunSlice();
            gb->RunSlice();
            ASSERT_TRUE(gb->background_rows.kept);
            change(*gb);
        }
        machines[1]->ForgetDrawnLines();
        for (auto& gb : machines) gb->RunSlice();
        EXPECT_EQ(std::memcmp(machines[0]->memory.frame_buffer, machines[1]->memory.frame_buffer,
                              sizeof machines[0]->memory.frame_buffer),
                  0);
    }
}

// ---- palettes ----

// Two data bytes per entry hold a 15-bit colour, red in bits 0-4, green in 5-9, blue in 10-14;
// each component is stored times 8 in the entry's blue, green and red bytes, a write changing
// only its own bits of green. Index bit 7 advances the index within bits 0-5 after each write,
// keeping bit 6. The rows write in turn into one table, all 0xFF at first.
TEST(Palettes, ColourDataWritesSetFiveBitComponentsTimesEightAndAutoIncrement) {
    u8 table[128];
    std::memset(table, 0xFF, sizeof table);
    const struct {
        u8 index, value;
        int entry;
        std::vector<u8> bgrx;
        u8 next_index;
    } rows[] = {
        {0xC0, 0xFF, 0, {0xFF, 0xFF, 0xF8, 0xFF}, 0xC1},   // low byte: red, green bits 3-5
        {0xC1, 0x7F, 0, {0xF8, 0xFF, 0xF8, 0xFF}, 0xC2},   // high byte: blue, green bits 6-7
        {0xBF, 0x7C, 31, {0xF8, 0x3F, 0xFF, 0xFF}, 0x80},  // the index wraps within bits 0-5
        {0x05, 0x03, 2, {0x00, 0xFF, 0xFF, 0xFF}, 0x05},   // without bit 7 the index stays
        {0x04, 0xA3, 2, {0x00, 0xEF, 0x18, 0xFF}, 0x04},
    };
    for (const auto& r : rows) {
        u8 index = r.index;
        TGBSYSF::WritePaletteByte(table, &index, r.value);
        EXPECT_EQ(std::vector<u8>(table + 4 * r.entry, table + 4 * r.entry + 4), r.bgrx)
            << int{r.index};
        EXPECT_EQ(index, r.next_index);
    }
}

}  // namespace
}  // namespace kivo
