// The LCD's timing, and the scanline renderer and the palettes by the machine's own rules and by
// the console's (exact_slice: the object limit, object order and window line counter).
//
// The LCD is driven one step at a time with op_cycles set by the test: the mode sequence and its
// cycle counts, LY and the coincidence flag, the V-blank and STAT interrupt requests, program
// writes to STAT and LY and the frame-skip counter. The renderer's tests set registers in GbState
// and bytes in video RAM and OAM directly, draw one line and read the frame buffer. Pixels are
// shown as one letter per pixel: w white, l light grey, d dark grey, b black (the
// cleared line is black too). With the identity palettes these are colour numbers 0-3.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
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
            gb->drawn_lines = {};
            s().frame_ready = 0;
            Run(kFrameCycles);
            seen += std::string(frame ? " " : "") + Drawn() + (s().frame_ready ? 'R' : '-');
        }
        EXPECT_EQ(seen, want);
    }
}

// ---- the renderer ----

constexpr u8 kLcdcDefault = 0x93;  // display, 0x8000 tile data, sprites and background on
constexpr u8 kGreys[4] = {255, 192, 128, 0};  // the four shades, white first

std::string Rep(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

class Renderer : public Lcd {
  protected:
    void SetUp() override {
        Lcd::SetUp();  // colour system type, no cartridge: monochrome mode
        s().LCDC = kLcdcDefault;
        for (u8* p : {s().bgp_colors, s().obp0_colors, s().obp1_colors}) {
            TGBSYSF::DecodeDmgPalette(0xE4, p);  // colour number n shows shade n
        }
    }

    // Row `row` of the tile at `tile` (0x8000-0x97FF) in a video RAM bank.
    void TileRow(int bank, int tile, int row, u8 lo, u8 hi) {
        u8* p = gb->memory.vram + bank * 0x2000 + (tile - 0x8000) + 2 * row;
        p[0] = lo, p[1] = hi;
    }
    void SolidTile(int tile, int colour, int bank = 0) {
        for (int row = 0; row < 8; ++row) {
            TileRow(bank, tile, row, (colour & 1) ? 0xFF : 0, (colour & 2) ? 0xFF : 0);
        }
    }
    // A map entry (0x9800-0x9FFF) and its colour-mode attribute byte in bank 1.
    void Map(int address, u8 tile, u8 attr = 0) {
        u8* p = gb->memory.vram + (address - 0x8000);
        p[0] = tile, p[0x2000] = attr;
    }
    void Sprite(int i, u8 y, u8 x, u8 tile, u8 attr = 0) {
        u8* e = gb->memory.oam_page + 4 * i;
        e[0] = y, e[1] = x, e[2] = tile, e[3] = attr;
    }
    static void SetColour(u8* table, int palette, int c, u8 r, u8 g, u8 b) {
        u8* e = table + palette * 16 + c * 4;
        e[0] = b, e[1] = g, e[2] = r;
    }
    // Colour-mode palette 0 of both tables as the four greys, so the letters read the same.
    void GreyColourPalettes() {
        for (int c = 0; c < 4; ++c) {
            SetColour(s().cgb_bg_colors, 0, c, kGreys[c], kGreys[c], kGreys[c]);
            SetColour(s().cgb_obj_colors, 0, c, kGreys[c], kGreys[c], kGreys[c]);
        }
    }

    // Draws line ly afresh: the tests change video memory directly, unseen by the bus.
    void Render(int ly) {
        s().LY = static_cast<u8>(ly);
        gb->drawn_lines = {};
        gb->RenderLine();
    }
    // Pixel x of the line drawn last: the visible 160 are pixels 8-167.
    const u8* Pixel(int x) const {
        return gb->memory.frame_buffer + gb->state.LY * kLineBytes + 4 * x;
    }
    u8 Tag(int x) const { return Pixel(x)[3]; }
    std::string Shades(int first, int count) const {
        std::string out;
        for (int x = first; x < first + count; ++x) {
            const u8* p = Pixel(x);
            const auto shade = std::find(kGreys, kGreys + 4, p[0]) - kGreys;
            out += (p[1] == p[0] && p[2] == p[0]) ? "wldb?"[shade] : '?';
        }
        return out;
    }
};

// ---- background and window ----

// The background line is LY + SCY modulo 256, and a map row wraps onto its own first column.
TEST_F(Renderer, BackgroundWrapsAt256WithinItsMapRowAndColumn) {
    SolidTile(0x8010, 1), SolidTile(0x8020, 3);
    TileRow(0, 0x8010, 4, 0, 0xFF);                  // tile 1, row 4: colour 2
    Map(0x981F, 1), Map(0x9800, 2), Map(0x9820, 1);  // row 0: columns 31 and 0; row 1: column 0
    s().SCX = 0xF8, s().SCY = 250;
    Render(10);  // line 4 of map row 0
    EXPECT_EQ(Shades(8, 17), Rep('d', 8) + Rep('b', 8) + "w");
    s().SCY = 0;
    Render(9);  // line 1 of map row 1
    EXPECT_EQ(Shades(8, 17), Rep('w', 8) + Rep('l', 8) + "w");
}

// The window starts at visible pixel WX - 7 on lines from WY on, using line LY - WY of its map.
TEST_F(Renderer, WxAndWyBoundTheWindow) {
    s().LCDC = kLcdcDefault | 0x20 | 0x40;  // window on, window map at 0x9C00
    SolidTile(0x8030, 2), SolidTile(0x8010, 1);
    for (int i = 0; i < 32; ++i) Map(0x9C00 + i, 3), Map(0x9C20 + i, 1);  // map rows 0 and 1
    // WX, WY, LY and line pixels 8-175: the visible part and the right margin.
    const std::tuple<u8, u8, int, std::string> cases[] = {
        {7, 0, 0, Rep('d', 168)},  // the 21st tile fills the margin
        {166, 0, 0, Rep('w', 159) + Rep('d', 8) + "b"},
        {87, 0, 0, Rep('w', 80) + Rep('d', 88)},
        {167, 0, 0, Rep('w', 160) + Rep('b', 8)},  // no window, not even in the margin
        {7, 144, 143, Rep('w', 160) + Rep('b', 8)},
        {7, 10, 9, Rep('w', 160) + Rep('b', 8)},  // below the current line
        {7, 10, 10, Rep('d', 168)},
        {7, 5, 13, Rep('l', 168)},  // window line 8: map row 1
    };
    for (const auto& [wx, wy, ly, line] : cases) {
        s().WX = wx, s().WY = wy;
        Render(ly);
        EXPECT_EQ(Shades(8, 168), line) << "WX " << int{wx} << " WY " << int{wy} << " LY " << ly;
    }
}

// ---- sprites ----

TEST_F(Renderer, SpritesAreClippedByTheLineMargins) {
    SolidTile(0x8010, 2);
    const std::string bg = Rep('b', 8) + Rep('w', 160) + Rep('b', 8);
    const std::pair<u8, std::string> cases[] = {
        {4, Rep('b', 4) + Rep('d', 8) + Rep('w', 156) + Rep('b', 8)},  // right four visible
        {0, bg},                                                       // not drawn at all
        {167, Rep('b', 8) + Rep('w', 159) + Rep('d', 8) + "b"},        // leftmost pixel visible
        {168, bg},
    };
    for (const auto& [x, line] : cases) {
        Sprite(0, 16, x, 1);
        Render(0);
        EXPECT_EQ(Shades(0, 176), line) << "X " << int{x};
    }
    // Vertically: a sprite at Y 9 shows only its last row on line 0.
    for (int row = 0; row < 8; ++row) TileRow(0, 0x8010, row, static_cast<u8>(1 << row), 0);
    Sprite(0, 9, 8, 1);
    Render(0);
    EXPECT_EQ(Shades(8, 8), "lwwwwwww");  // row 7: bit 7, pixel 0
    Render(1);
    EXPECT_EQ(Shades(8, 8), "wwwwwwww");
}

// Lower OAM entries are on top whatever the X order (that every sprite on the line is drawn is
// held by the console's ten-object test below).
TEST_F(Renderer, LowerOamEntryIsOnTopWhateverTheXOrder) {
    SolidTile(0x8010, 1), SolidTile(0x8020, 2);
    Sprite(5, 16, 20, 2), Sprite(9, 16, 16, 1);
    Render(0);
    EXPECT_EQ(Shades(16, 16), "llll" + Rep('d', 8) + "wwww");
    Sprite(5, 16, 16, 2), Sprite(9, 16, 20, 1);
    Render(0);
    EXPECT_EQ(Shades(16, 16), Rep('d', 8) + "llll" + "wwww");
}

TEST_F(Renderer, TallSpritesUseBothTilesOfThePairAndFlipAsOneShape) {
    s().LCDC |= 0x04;
    // Row r of the 16-row pair: pixel 0 shows r / 4, pixel 1 shows r % 4, pixel 7 is colour 1.
    for (int r = 0; r < 16; ++r) {
        const int c0 = r / 4, c1 = r % 4;
        TileRow(0, 0x8040 + (r / 8) * 16, r % 8, static_cast<u8>((c0 & 1) << 7 | (c1 & 1) << 6 | 1),
                static_cast<u8>((c0 & 2) << 6 | (c1 & 2) << 5));
    }
    const std::tuple<u8, u8, int, std::string> cases[] = {
        // tile, attributes, LY, pixels
        {5, 0x00, 0, "wwwwwwwl"},  // tile 5 names the pair 4 (top) and 5 (bottom)
        {5, 0x00, 9, "dlwwwwwl"},
        {4, 0x40, 0, "bbwwwwwl"},  // Y-flip: line 0 shows row 15, from tile 5
        {4, 0x40, 15, "wwwwwwwl"},
        {4, 0x60, 1, "lwwwwwdb"},  // and X-flip
    };
    for (const auto& [tile, attr, ly, pixels] : cases) {
        Sprite(0, 16, 8, tile, attr);
        Render(ly);
        EXPECT_EQ(Shades(8, 8), pixels) << "attributes " << int{attr} << " LY " << ly;
    }
}

TEST_F(Renderer, SpriteColourZeroIsTransparentAndBehindBackgroundShowsOnlyOverColourZero) {
    SolidTile(0x8010, 1);
    Map(0x9801, 1);                     // line pixels 16-23: background colour 1
    TileRow(0, 0x8020, 0, 0xF7, 0xF7);  // sprite: colour 3 except pixel 4
    Sprite(0, 16, 12, 2);               // line pixels 12-19
    Render(0);
    EXPECT_EQ(Shades(12, 8), "bbbblbbb");
    EXPECT_EQ(Tag(12), 0);  // sprites leave the tag alone
    EXPECT_EQ(Tag(16), 1);
    Sprite(0, 16, 12, 2, 0x80);  // behind the background
    Render(0);
    EXPECT_EQ(Shades(12, 8), "bbbbllll");

    // A window pixel of colour 0 over background colour 1 still hides it, since the tag keeps
    // both colour numbers; a sprite in front is drawn over the window.
    s().LCDC |= 0x20;
    s().WX = 15;  // window from line pixel 16, window map 0x9800 column 0: tile 0, colour 0
    Render(0);
    EXPECT_EQ(Shades(12, 8), "bbbbwwww");
    Sprite(0, 16, 12, 2);
    Render(0);
    EXPECT_EQ(Shades(12, 8), "bbbbwbbb");

    // Likewise a window pixel of colour 1-3 over background colour 0.
    s().LCDC |= 0x40;  // window map at 0x9C00; the background keeps colour 0 at 8-15
    SolidTile(0x8030, 1);
    Map(0x9C00, 3);
    s().WX = 7;  // window over the whole line, its column 0 in colour 1
    Sprite(0, 16, 8, 2, 0x80);
    Render(0);
    EXPECT_EQ(Tag(8), 1 << 2);
    EXPECT_EQ(Shades(8, 8), Rep('l', 8));
}

// Monochrome sprites pick OBP0 or OBP1 by attribute bit 4, and bit 3 (the bank) means nothing
// there. Neighbours keep their own palettes.
TEST_F(Renderer, MonochromeSpritesTakeThePaletteTheirAttributesName) {
    SolidTile(0x8010, 3);
    SolidTile(0x8010, 1, 1);                           // bank 1: colour 1
    TGBSYSF::DecodeDmgPalette(0x40, s().obp0_colors);  // colour 3: light grey
    TGBSYSF::DecodeDmgPalette(0x80, s().obp1_colors);  // colour 3: dark grey
    Sprite(0, 16, 8, 1, 0x08), Sprite(1, 16, 16, 1, 0x18), Sprite(2, 16, 24, 1);
    Render(0);
    EXPECT_EQ(Shades(8, 24), Rep('l', 8) + Rep('d', 8) + Rep('l', 8));
}

// ---- colour mode ----

TEST_F(Renderer, ColourModePriorityRules) {
    s().CGB_MODE = 1;
    GreyColourPalettes();
    SolidTile(0x8010, 1), SolidTile(0x8020, 3);
    Map(0x9800, 0, 0x80);  // line pixels 8-15: colour 0, priority
    Map(0x9801, 1, 0x80);  // line pixels 16-23: colour 1, priority
    Map(0x9802, 1);        // line pixels 24-31: colour 1
    Sprite(0, 16, 12, 2), Sprite(1, 16, 24, 2);
    Render(0);
    EXPECT_EQ(Tag(16), 0x81);
    // The tile's priority lets only its colour 0 show the sprite.
    EXPECT_EQ(Shades(12, 8), "bbbbllll");
    EXPECT_EQ(Shades(24, 8), Rep('b', 8));
    Sprite(1, 16, 24, 2, 0x80);  // the sprite's own behind flag works as in monochrome mode
    Render(0);
    EXPECT_EQ(Shades(24, 8), Rep('l', 8));
    // LCDC bit 0 clear in colour mode: sprites over everything, background still drawn.
    s().LCDC &= ~0x01;
    Render(0);
    EXPECT_EQ(Shades(8, 24), "wwww" + Rep('b', 8) + "llll" + Rep('b', 8));
    s().CGB_MODE = 0, s().LCDC |= 0x01;  // outside colour mode the map sets no priority
    Render(0);
    EXPECT_EQ(Tag(16), 0x01);
}

// In colour mode a map attribute flips its tile: bit 6 upside down, bit 5 left to right.
TEST_F(Renderer, ColourModeMapAttributesFlipTheTile) {
    s().CGB_MODE = 1;
    GreyColourPalettes();
    TileRow(0, 0x8010, 0, 0x80, 0x00);  // row 0: pixel 0 colour 1
    TileRow(0, 0x8010, 7, 0x01, 0x01);  // row 7: pixel 7 colour 3
    Map(0x9800, 1), Map(0x9801, 1, 0x40), Map(0x9802, 1, 0x20), Map(0x9803, 1, 0x60);
    Render(0);
    EXPECT_EQ(Shades(8, 32),
              "lwwwwwww" + Rep('w', 7) + "b" + Rep('w', 7) + "l" + "b" + Rep('w', 7));
}

// ---- lines left alone and memory bounds ----

// Random registers, palettes, video RAM and OAM, every value of SCX, WX and sprite X among them:
// a line drawn changes nothing but itself, and the shuffled rows (where the processor has a byte
// shuffle) draw the same bytes as the portable code.
TEST_F(Renderer, AnyRegistersDrawOnlyTheCurrentLineAndShuffledRowsDrawThePortableBytes) {
    const bool shuffle = TGBSYSF::ProcessorHasByteShuffle();
    std::mt19937 rng(4242);
    auto fill = [&](auto& bytes) {
        for (u8& b : bytes) b = static_cast<u8>(rng());
    };
    fill(gb->memory.vram);
    auto snapshot = std::make_unique<GbMemory>();
    std::vector<u8> portable(kLineBytes);
    for (int round = 0; round < 1024; ++round) {
        const u8 v = static_cast<u8>(round);
        fill(s().bgp_colors), fill(s().cgb_bg_colors);
        s().SCX = v, s().WX = v, s().SCY = static_cast<u8>(rng());
        s().WY = static_cast<u8>(rng() % 160), s().LCDC = static_cast<u8>(rng() | 0x80);
        s().CGB_MODE = static_cast<u8>(rng() % 3);
        gb->system_type = rng() % 3;
        for (int i = 0; i < 160; ++i)
            gb->memory.oam_page[i] = static_cast<u8>(i % 8 == 1 ? v : rng());
        const int ly = static_cast<int>(rng() % 144);
        std::memset(gb->memory.frame_buffer, 0xAB, sizeof gb->memory.frame_buffer);
        std::memcpy(snapshot.get(), &gb->memory, sizeof(GbMemory));
        gb->shuffle_rows = false;
        Render(ly);
        // Put the drawn line into the snapshot: nothing else may differ.
        std::memcpy(snapshot->frame_buffer + ly * kLineBytes, Pixel(0), kLineBytes);
        ASSERT_EQ(std::memcmp(snapshot.get(), &gb->memory, sizeof(GbMemory)), 0)
            << "round " << round;
        if (!shuffle) continue;
        std::memcpy(portable.data(), Pixel(0), kLineBytes);
        gb->shuffle_rows = true;
        Render(ly);
        ASSERT_EQ(std::memcmp(portable.data(), Pixel(0), kLineBytes), 0) << "round " << round;
    }
}

// ---- palettes ----

// Two data bytes per entry hold a 15-bit colour, red in bits 0-4; each component is stored
// times 8. Index bit 7 advances the index within bits 0-5 after each write.
TEST(Palettes, ColourDataWritesSetFiveBitComponentsTimesEightAndAutoIncrement) {
    u8 obj[128] = {};
    obj[3] = 0x5A;
    u8 index = 0xC0;  // bit 6 means nothing and is kept
    TGBSYSF::WritePaletteByte(obj, &index, 0xFF), TGBSYSF::WritePaletteByte(obj, &index, 0x7F);
    EXPECT_EQ(std::vector<int>(obj, obj + 4), (std::vector<int>{248, 248, 248, 0x5A}));  // b g r
    EXPECT_EQ(index, 0xC2);

    u8 bg[128];  // over the power-on white, green's low three bits are never written
    std::memset(bg, 0xFF, sizeof bg);
    index = 0x80;
    TGBSYSF::WritePaletteByte(bg, &index, 0xFF), TGBSYSF::WritePaletteByte(bg, &index, 0x7F);
    EXPECT_EQ(std::vector<int>(bg, bg + 3), (std::vector<int>{248, 255, 248}));

    index = 0xBF;  // entry 31's high byte, then the index wraps within bits 0-5
    TGBSYSF::WritePaletteByte(obj, &index, 0x7C);
    EXPECT_EQ(obj[31 * 4], 248);
    EXPECT_EQ(index, 0x80);
    index = 0x05;  // without bit 7 the index stays; entry 2's high byte: green bits 6-7
    TGBSYSF::WritePaletteByte(obj, &index, 0x03);
    EXPECT_EQ(obj[2 * 4 + 1], 0xC0);
    EXPECT_EQ(index, 0x05);
    index = 0x04;  // a low byte: red from bits 0-4, green bits 3-5 from bits 5-7
    TGBSYSF::WritePaletteByte(obj, &index, 0b101'00011);
    EXPECT_EQ(obj[2 * 4 + 2], 3 * 8);
    EXPECT_EQ(obj[2 * 4 + 1], 0xC0 | (5 << 3));
}

// ---- the console's rules (exact_slice) ----

// Eleven objects on a line: the console draws the first ten in OAM order, one off screen (X 0)
// among them, so object 10 is left out; the machine's own renderer draws them all.
TEST_F(Renderer, ConsoleDrawsTenObjectsPerLineInOamOrder) {
    SolidTile(0x8010, 3);
    Sprite(0, 16, 0, 1);
    for (int i = 1; i <= 10; ++i) Sprite(i, 16, static_cast<u8>(8 + 8 * i), 1);
    for (const bool exact : {false, true}) {
        gb->exact_slice = exact;
        Render(0);
        EXPECT_EQ(Shades(80, 16), Rep('b', 8) + Rep(exact ? 'w' : 'b', 8)) << exact;
    }
}

// Object 0 at X 20 (colour 1) over object 1 at X 16 (colour 3): outside colour mode the console
// puts the smaller X on top, in colour mode the lower index. The winner's pixel hides the loser's
// also where the background hides the winner (behind a colour-2 background).
TEST_F(Renderer, ConsoleOrdersOverlappingObjects) {
    SolidTile(0x8010, 1);
    SolidTile(0x8020, 3);
    SolidTile(0x8030, 2);
    GreyColourPalettes();
    const struct {
        bool exact, colour_mode, behind;
        const char* want;
    } cases[] = {{false, false, false, "l"},
                 {true, false, false, "b"},
                 {true, true, false, "l"},
                 {true, false, true, "d"}};
    for (const auto& c : cases) {
        gb->exact_slice = c.exact;
        s().CGB_MODE = c.colour_mode;
        for (int column = 0; column < 32; ++column) Map(0x9800 + column, c.behind ? 3 : 0);
        Sprite(0, 16, 20, 1);
        Sprite(1, 16, 16, 2, c.behind ? 0x80 : 0);
        Render(0);
        EXPECT_EQ(Shades(20, 1), c.want) << c.exact << c.colour_mode << c.behind;
    }
}

// The window on lines 0-1, off on 2-3, on again on line 4: the console's window goes on with its
// own line 2 (colour 1); the machine's own takes LY - WY = 4 (colour 3).
TEST_F(Renderer, ConsoleWindowCountsOnlyLinesWithTheWindow) {
    TileRow(0, 0x8010, 2, 0xFF, 0x00);
    TileRow(0, 0x8010, 4, 0xFF, 0xFF);
    for (int column = 0; column < 32; ++column) Map(0x9C00 + column, 1);
    s().WY = 0, s().WX = 7;
    for (const bool exact : {false, true}) {
        gb->exact_slice = exact;
        for (int ly = 0; ly <= 4; ++ly) {
            s().LCDC = (ly == 2 || ly == 3) ? kLcdcDefault : kLcdcDefault | 0x60;
            Render(ly);
        }
        EXPECT_EQ(Shades(8, 1), exact ? "l" : "b") << exact;
    }
}

}  // namespace
}  // namespace kivo
