// The scanline renderer and the palettes. Each test sets registers in GbState and bytes in
// video RAM and OAM directly, draws one line and reads the frame buffer.
//
// Pixels are shown as one letter per pixel: w white, l light grey, d dark grey, b black (the
// cleared line is black too), or as colour numbers where a test decodes a tile.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "machine/gbsys.h"

namespace kivo {
namespace {

constexpr u8 kLcdcDefault = 0x93;  // display, 0x8000 tile data, sprites and background on

class Renderer : public testing::Test {
  protected:
    void SetUp() override {
        gb->HardReset();  // colour system type, no cartridge: monochrome mode
        s().LCDC = kLcdcDefault;
        // Colour number n shows shade n for the background and both sprite palettes.
        TGBSYSF::DecodeDmgPalette(0xE4, s().bgp_colors);
        TGBSYSF::DecodeDmgPalette(0xE4, s().obp0_colors);
        TGBSYSF::DecodeDmgPalette(0xE4, s().obp1_colors);
    }

    GbState& s() { return gb->state; }

    u8* Vram(int bank, u16 address) { return gb->memory.vram + bank * 0x2000 + (address - 0x8000); }
    void TileRow(int bank, u16 tile_address, int row, u8 lo, u8 hi) {
        Vram(bank, tile_address)[2 * row] = lo;
        Vram(bank, tile_address)[2 * row + 1] = hi;
    }
    void SolidTile(int bank, u16 tile_address, int colour) {
        for (int row = 0; row < 8; ++row) {
            TileRow(bank, tile_address, row, (colour & 1) ? 0xFF : 0, (colour & 2) ? 0xFF : 0);
        }
    }
    void Map(u16 address, u8 tile, u8 attr = 0) {
        *Vram(0, address) = tile;
        *Vram(1, address) = attr;
    }
    void Sprite(int index, u8 y, u8 x, u8 tile, u8 attr = 0) {
        u8* e = gb->memory.oam_page + index * 4;
        e[0] = y;
        e[1] = x;
        e[2] = tile;
        e[3] = attr;
    }
    static void SetColour(u8* table, int palette, int c, u8 r, u8 g, u8 b) {
        u8* e = table + palette * 16 + c * 4;
        e[0] = b;
        e[1] = g;
        e[2] = r;
    }
    // Colour-mode palettes 0 of both tables as the four greys, so the letters read the same.
    void GreyCgbPalettes() {
        static constexpr u8 kGreys[4] = {255, 192, 128, 0};
        for (int c = 0; c < 4; ++c) {
            SetColour(s().cgb_bg_colors, 0, c, kGreys[c], kGreys[c], kGreys[c]);
            SetColour(s().cgb_obj_colors, 0, c, kGreys[c], kGreys[c], kGreys[c]);
        }
    }

    void Render(int ly) {
        s().LY = static_cast<u8>(ly);
        gb->RenderLine();
    }
    const u8* Pixel(int x) const {
        return gb->memory.frame_buffer + gb->state.LY * kLineBytes + 4 * x;
    }
    u8 Tag(int x) const { return Pixel(x)[3]; }
    // Line pixels [first, first + count) as shade letters.
    std::string Shades(int first, int count) const {
        std::string out;
        for (int x = first; x < first + count; ++x) {
            const u8* p = Pixel(x);
            char c = '?';
            if (p[0] == p[1] && p[1] == p[2]) {
                c = p[0] == 255   ? 'w'
                    : p[0] == 192 ? 'l'
                    : p[0] == 128 ? 'd'
                    : p[0] == 0   ? 'b'
                                  : '?';
            }
            out += c;
        }
        return out;
    }
    std::string Visible(int first, int count) const { return Shades(8 + first, count); }
    // Colour numbers of eight line pixels, read back through the identity palettes.
    std::string Colours(int first) const {
        std::string out;
        for (char c : Shades(first, 8))
            out += c == 'w' ? '0' : c == 'l' ? '1' : c == 'd' ? '2' : '3';
        return out;
    }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
};

std::string Rep(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

// ---- background ----

TEST_F(Renderer, ScrollXPutsPixelScxMod8OfTheFirstTileAtVisiblePixelZero) {
    // Tile 1 has only pixel 3 set, in colour 3; every other map entry is tile 0 (colour 0).
    TileRow(0, 0x8010, 0, 0x10, 0x10);
    Map(0x9800, 1);

    s().SCX = 3;
    Render(0);
    // 21 tiles from line pixel 5 to 172; the rest of the line stays cleared.
    EXPECT_EQ(Shades(0, 176), Rep('b', 5) + "www" + "b" + Rep('w', 164) + "bbb");
    EXPECT_EQ(Tag(8), 3);
    EXPECT_EQ(Tag(9), 0);

    s().SCX = 0;
    Render(0);
    EXPECT_EQ(Shades(0, 176), Rep('b', 8) + "wwwb" + Rep('w', 156) + Rep('b', 8));
}

TEST_F(Renderer, BackgroundLineIsLyPlusScyWrappingAt256) {
    for (int row = 0; row < 8; ++row) TileRow(0, 0x8010, row, 0xFF, 0);  // colour 1
    TileRow(0, 0x8010, 4, 0, 0xFF);                                      // row 4: colour 2
    SolidTile(0, 0x8020, 3);
    Map(0x9800, 1);
    Map(0x9820, 2);  // map row 1

    s().SCY = 250;
    Render(10);  // line 4 of map row 0
    EXPECT_EQ(Visible(0, 9), "ddddddddw");
    s().SCY = 0;
    Render(9);  // line 1 of map row 1
    EXPECT_EQ(Visible(0, 9), "bbbbbbbbw");
}

TEST_F(Renderer, BackgroundColumnsWrapWithinTheSameMapRow) {
    SolidTile(0, 0x8010, 1);
    SolidTile(0, 0x8020, 2);
    SolidTile(0, 0x8030, 3);
    Map(0x981F, 1);  // column 31
    Map(0x9800, 2);  // column 0 of the same row
    Map(0x9820, 3);  // column 0 of the next row: must not be used
    s().SCX = 0xF8;
    Render(0);
    EXPECT_EQ(Visible(0, 17), Rep('l', 8) + Rep('d', 8) + "w");
}

TEST_F(Renderer, LcdcSelectsTheMapAndSignedTileNumbering) {
    s().LCDC = (kLcdcDefault | 0x08) & ~0x10;  // map at 0x9C00, tile data around 0x9000
    SolidTile(0, 0x9000, 1);                   // tile 0x00
    SolidTile(0, 0x97F0, 2);                   // tile 0x7F
    SolidTile(0, 0x8800, 3);                   // tile 0x80
    SolidTile(0, 0x8000, 2);                   // decoys for unsigned numbering
    SolidTile(0, 0x87F0, 1);
    Map(0x9C00, 0x00);
    Map(0x9C01, 0x7F);
    Map(0x9C02, 0x80);
    Map(0x9800, 0x80);  // decoy in the other map
    Render(0);
    EXPECT_EQ(Visible(0, 24), Rep('l', 8) + Rep('d', 8) + Rep('b', 8));
}

// ---- window ----

class RendererWindow : public Renderer {
  protected:
    void SetUp() override {
        Renderer::SetUp();
        s().LCDC = kLcdcDefault | 0x20 | 0x40;  // window on, window map at 0x9C00
        SolidTile(0, 0x8030, 2);
        for (int i = 0; i < 32; ++i) Map(static_cast<u16>(0x9C00 + i), 3);
    }
};

TEST_F(RendererWindow, WxAndWyBoundTheWindow) {
    struct Case {
        u8 wx;
        u8 wy;
        int ly;
        std::string visible;  // visible pixels 0-159
        std::string right_margin;
    };
    const Case cases[] = {
        // WX 7 covers the line; the 21st tile fills the right margin.
        {7, 0, 0, Rep('d', 160), Rep('d', 8)},
        // WX 166: one tile from visible pixel 159, its other seven pixels in the margin.
        {166, 0, 0, Rep('w', 159) + "d", Rep('d', 7) + "b"},
        {87, 0, 0, Rep('w', 80) + Rep('d', 80), Rep('d', 8)},
        {167, 0, 0, Rep('w', 160), Rep('b', 8)},  // no window, not even in the margin
        {7, 144, 143, Rep('w', 160), Rep('b', 8)},
        {7, 10, 9, Rep('w', 160), Rep('b', 8)},  // below the current line
        {7, 10, 10, Rep('d', 160), Rep('d', 8)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "WX " << int{c.wx} << " WY " << int{c.wy} << " LY " << c.ly);
        s().WX = c.wx;
        s().WY = c.wy;
        Render(c.ly);
        EXPECT_EQ(Visible(0, 160), c.visible);
        EXPECT_EQ(Shades(168, 8), c.right_margin);
    }
}

TEST_F(RendererWindow, WindowLineIsLyMinusWyAndItsTagKeepsTheBackgroundColour) {
    SolidTile(0, 0x8010, 1);
    for (int i = 0; i < 1024; ++i) Map(static_cast<u16>(0x9800 + i), 1);  // background colour 1
    TileRow(0, 0x8040, 0, 0, 0xFF);                                       // tile 4, row 0: colour 2
    Map(0x9C20, 4);                                                       // window map row 1
    s().WX = 7;
    s().WY = 5;
    Render(13);  // window line 8: map row 1, tile line 0
    EXPECT_EQ(Visible(0, 8), Rep('d', 8));
    EXPECT_EQ(Tag(8), 1 | (2 << 2));
    EXPECT_EQ(Tag(8 + 8), 1 | (0 << 2));  // tile 0 of the window, colour 0
}

// ---- sprites ----

TEST_F(Renderer, SpritesAreClippedByTheLineMargins) {
    SolidTile(0, 0x8010, 2);
    struct Case {
        u8 x;
        std::string line;  // all 176 line pixels
    };
    const std::string bg = Rep('b', 8) + Rep('w', 160) + Rep('b', 8);
    const Case cases[] = {
        {4, Rep('b', 4) + Rep('d', 8) + Rep('w', 156) + Rep('b', 8)},  // right four visible
        {0, bg},                                                       // not drawn at all
        {167, Rep('b', 8) + Rep('w', 159) + Rep('d', 8) + "b"},        // leftmost pixel visible
        {168, bg},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "X " << int{c.x});
        Sprite(0, 16, c.x, 1);
        Render(0);
        EXPECT_EQ(Shades(0, 176), c.line);
    }
    // Vertically: a sprite at Y 9 shows only its last row on line 0.
    for (int row = 0; row < 8; ++row) TileRow(0, 0x8010, row, static_cast<u8>(1 << row), 0);
    Sprite(0, 9, 8, 1);
    Render(0);
    EXPECT_EQ(Colours(8), "10000000");  // row 7: bit 7, pixel 0
    Render(1);
    EXPECT_EQ(Colours(8), "00000000");
}

TEST_F(Renderer, LowerOamEntryIsOnTopWhateverTheXOrder) {
    SolidTile(0, 0x8010, 1);
    SolidTile(0, 0x8020, 2);
    Sprite(5, 16, 20, 2);
    Sprite(9, 16, 16, 1);
    Render(0);
    EXPECT_EQ(Visible(8, 16), "llll" + Rep('d', 8) + "wwww");
    Sprite(5, 16, 16, 2);
    Sprite(9, 16, 20, 1);
    Render(0);
    EXPECT_EQ(Visible(8, 16), Rep('d', 8) + "llll" + "wwww");
}

TEST_F(Renderer, EverySpriteOnTheLineIsDrawnWithNoTenSpriteLimit) {
    SolidTile(0, 0x8010, 3);
    for (int i = 0; i < 20; ++i) Sprite(i, 16, static_cast<u8>(8 + 8 * i), 1);
    Render(0);
    EXPECT_EQ(Visible(0, 160), Rep('b', 160));
}

TEST_F(Renderer, TallSpritesUseBothTilesOfThePairAndFlipAsOneShape) {
    s().LCDC |= 0x04;
    // Row r of the 16-row pair: pixel 0 shows r / 4, pixel 1 shows r % 4, pixel 7 is colour 1.
    for (int r = 0; r < 16; ++r) {
        const int c0 = r / 4;
        const int c1 = r % 4;
        const u8 lo = static_cast<u8>((c0 & 1) << 7 | (c1 & 1) << 6 | 1);
        const u8 hi = static_cast<u8>((c0 & 2) << 6 | (c1 & 2) << 5);
        TileRow(0, static_cast<u16>(0x8040 + (r / 8) * 16), r % 8, lo, hi);
    }
    Sprite(0, 16, 8, 5);  // tile 5: the pair 4 (top) and 5 (bottom)
    Render(0);
    EXPECT_EQ(Colours(8), "00000001");
    Render(9);
    EXPECT_EQ(Colours(8), "21000001");

    Sprite(0, 16, 8, 4, 0x40);  // Y-flip: line 0 shows row 15, from tile 5
    Render(0);
    EXPECT_EQ(Colours(8), "33000001");
    Render(15);
    EXPECT_EQ(Colours(8), "00000001");

    Sprite(0, 16, 8, 4, 0x60);  // and X-flip
    Render(1);
    EXPECT_EQ(Colours(8), "10000023");
}

TEST_F(Renderer, SpriteColourZeroIsTransparentAndBehindBackgroundShowsOnlyOverColourZero) {
    SolidTile(0, 0x8010, 1);
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
    Map(0x9800, 0);
    Render(0);
    EXPECT_EQ(Shades(12, 8), "bbbbwwww");
    Sprite(0, 16, 12, 2);
    Render(0);
    EXPECT_EQ(Shades(12, 8), "bbbbwbbb");

    // Likewise a window pixel of colour 1-3 over background colour 0.
    s().LCDC |= 0x40;  // window map at 0x9C00; the background keeps colour 0 at 8-15
    SolidTile(0, 0x8030, 1);
    Map(0x9C00, 3);
    s().WX = 7;  // window over the whole line, its column 0 in colour 1
    Sprite(0, 16, 8, 2, 0x80);
    Render(0);
    EXPECT_EQ(Tag(8), 1 << 2);
    EXPECT_EQ(Shades(8, 8), Rep('l', 8));
}

TEST_F(Renderer, SpritePaletteAndBankComeFromAttributesPerMode) {
    TileRow(0, 0x8010, 0, 0xFF, 0xFF);                 // bank 0: colour 3
    TileRow(1, 0x8010, 0, 0xFF, 0x00);                 // bank 1: colour 1
    TGBSYSF::DecodeDmgPalette(0x40, s().obp1_colors);  // colour 3 light grey
    Sprite(0, 16, 8, 1, 0x10 | 0x08);                  // OBP1; the bank bit means nothing here
    Render(0);
    EXPECT_EQ(Visible(0, 8), Rep('l', 8));

    s().CGB_MODE = 1;
    GreyCgbPalettes();
    SetColour(s().cgb_obj_colors, 5, 1, 10, 20, 30);
    Sprite(0, 16, 8, 1, 0x05 | 0x08);  // palette 5, bank 1
    Render(0);
    const u8* p = Pixel(8);
    EXPECT_EQ(p[0], 30);
    EXPECT_EQ(p[1], 20);
    EXPECT_EQ(p[2], 10);
}

TEST_F(Renderer, NeighbouringTilesAndSpritesKeepTheirOwnPalettes) {
    SolidTile(0, 0x8010, 3);
    TGBSYSF::DecodeDmgPalette(0x40, s().obp0_colors);  // colour 3: light grey
    TGBSYSF::DecodeDmgPalette(0x80, s().obp1_colors);  // colour 3: dark grey
    Sprite(0, 16, 8, 1);
    Sprite(1, 16, 16, 1, 0x10);
    Sprite(2, 16, 24, 1);
    Render(0);
    EXPECT_EQ(Visible(0, 24), Rep('l', 8) + Rep('d', 8) + Rep('l', 8));

    // In colour mode each map attribute and each sprite picks one of eight palettes.
    s().CGB_MODE = 1;
    for (int p = 0; p < 8; ++p) {
        SetColour(s().cgb_bg_colors, p, 3, static_cast<u8>(p), 1, 1);
        SetColour(s().cgb_obj_colors, p, 3, static_cast<u8>(p), 2, 2);
    }
    for (int col = 0; col < 8; ++col) Map(static_cast<u16>(0x9800 + col), 1, static_cast<u8>(col));
    Map(0x9808, 1, 0x80 | 2);  // the priority attribute with a palette already used
    for (int i = 0; i < 3; ++i)
        Sprite(i, 16, static_cast<u8>(8 + 80 + 8 * i), 1, static_cast<u8>(5 - i));
    Render(0);
    for (int col = 0; col < 9; ++col) {
        SCOPED_TRACE(col);
        const u8* p = Pixel(8 + 8 * col);
        EXPECT_EQ(p[2], col < 8 ? col : 2);
        EXPECT_EQ(p[1], 1);
        EXPECT_EQ(p[3], col < 8 ? 3 : 0x83);
    }
    for (int i = 0; i < 3; ++i) {
        const u8* p = Pixel(8 + 80 + 8 * i);
        EXPECT_EQ(p[2], 5 - i);
        EXPECT_EQ(p[1], 2);
    }
}

// ---- colour mode ----

TEST_F(Renderer, ColourMapAttributesSelectPaletteBankAndFlips) {
    s().CGB_MODE = 1;
    GreyCgbPalettes();
    TileRow(1, 0x8010, 7, 0x01, 0x01);  // bank 1, row 7: pixel 7 in colour 3
    TileRow(0, 0x8010, 7, 0xFF, 0x00);  // decoy in bank 0
    SetColour(s().cgb_bg_colors, 3, 3, 200, 100, 50);
    s().cgb_bg_colors[3 * 16 + 3 * 4 + 3] = 0x5A;  // an entry's fourth byte is never copied
    Map(0x9800, 1, 0x03 | 0x08 | 0x20 | 0x40);     // palette 3, bank 1, X- and Y-flip
    Render(0);
    const u8* p = Pixel(8);
    EXPECT_EQ(p[0], 50);
    EXPECT_EQ(p[1], 100);
    EXPECT_EQ(p[2], 200);
    EXPECT_EQ(p[3], 3);
    EXPECT_EQ(Tag(9), 0);

    // Outside colour mode the attribute byte is ignored.
    s().CGB_MODE = 0;
    Render(0);
    EXPECT_EQ(Visible(0, 8), "wwwwwwww");  // bank 0 row 0 is empty
}

TEST_F(Renderer, ColourModePriorityRules) {
    s().CGB_MODE = 1;
    GreyCgbPalettes();
    SolidTile(0, 0x8010, 1);
    Map(0x9800, 0, 0x80);  // line pixels 8-15: colour 0, priority
    Map(0x9801, 1, 0x80);  // line pixels 16-23: colour 1, priority
    Map(0x9802, 1);        // line pixels 24-31: colour 1
    SolidTile(0, 0x8020, 3);
    Sprite(0, 16, 12, 2);  // over 12-19
    Sprite(1, 16, 24, 2);  // over 24-31
    Render(0);
    EXPECT_EQ(Tag(16), 0x81);
    // The tile's priority lets only its colour 0 show the sprite.
    EXPECT_EQ(Shades(12, 8), "bbbbllll");
    EXPECT_EQ(Shades(24, 8), Rep('b', 8));

    // The sprite's own behind flag works as in monochrome mode.
    Sprite(1, 16, 24, 2, 0x80);
    Render(0);
    EXPECT_EQ(Shades(24, 8), Rep('l', 8));

    // LCDC bit 0 clear in colour mode: sprites over everything, background still drawn.
    s().LCDC &= ~0x01;
    Render(0);
    EXPECT_EQ(Shades(8, 4), "wwww");
    EXPECT_EQ(Shades(12, 8), Rep('b', 8));
    EXPECT_EQ(Shades(24, 8), Rep('b', 8));

    // Outside colour mode the map attribute sets no priority.
    s().CGB_MODE = 0;
    s().LCDC |= 0x01;
    Render(0);
    EXPECT_EQ(Tag(16), 0x01);
}

// ---- layer enables ----

TEST_F(Renderer, LayerEnablesCombineOptionsLcdcAndSystemMode) {
    SolidTile(0, 0x8010, 1);
    SolidTile(0, 0x8020, 2);
    SolidTile(0, 0x8030, 3);
    for (int i = 0; i < 32; ++i) Map(static_cast<u16>(0x9800 + i), 1);  // background: light
    for (int i = 0; i < 32; ++i) Map(static_cast<u16>(0x9C00 + i), 2);  // window: dark
    Sprite(0, 16, 8 + 40, 3);                                           // sprite: black
    GreyCgbPalettes();

    struct Case {
        u32 system_type;
        u8 cgb_mode;
        u8 lcdc;
        bool bg, win, sprites;
        std::string expected;  // visible pixel 0 (background), 40 (sprite), 100 (window)
    };
    const u8 all = kLcdcDefault | 0x20 | 0x40;
    const u8 no_bit0 = all & ~0x01;
    const Case cases[] = {
        {0, 0, all, true, true, true, "lbd"},
        {0, 0, no_bit0, true, true, true, "bbd"},  // monochrome system: background hidden only
        {1, 0, no_bit0, true, true, true, "bbb"},  // colour system, monochrome game: both hidden
        {1, 1, no_bit0, true, true, true, "lbd"},  // colour mode: nothing hidden
        {1, 1, all, true, true, true, "lbd"},
        {1, 0, all & ~0x20, true, true, true, "lbl"},  // window off
        {1, 0, all & ~0x02, true, true, true, "lld"},  // sprites off
        {1, 0, all, false, true, true, "bbd"},         // the layer options
        {1, 0, all, true, false, true, "lbl"},
        {1, 0, all, true, true, false, "lld"},
    };
    s().WX = 107;  // window from visible pixel 100
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "system " << c.system_type << " CGB " << int{c.cgb_mode} << " LCDC "
                     << int{c.lcdc} << " options " << c.bg << c.win << c.sprites);
        gb->system_type = c.system_type;
        s().CGB_MODE = c.cgb_mode;
        s().LCDC = c.lcdc;
        gb->screen_layer_bg = c.bg;
        gb->screen_layer_win = c.win;
        gb->screen_layer_sprites = c.sprites;
        Render(0);
        EXPECT_EQ(Visible(0, 1) + Visible(40, 1) + Visible(100, 1), c.expected);
    }
}

TEST_F(Renderer, LinesThatAreNotDrawnKeepTheirPixels) {
    struct Case {
        const char* name;
        void (*apply)(TGBSYSF&);
        int ly;
    };
    const Case cases[] = {
        {"screen disabled", [](TGBSYSF& g) { g.screen_enable = false; }, 10},
        {"frame skipped", [](TGBSYSF& g) { g.state.frame_skip_count = 1; }, 10},
        {"display off", [](TGBSYSF& g) { g.state.LCDC &= 0x7F; }, 10},
        {"V-blank line", [](TGBSYSF&) {}, 144},
        {"line 255", [](TGBSYSF&) {}, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gb->screen_enable = true;
        SetUp();
        c.apply(*gb);
        std::memset(gb->memory.frame_buffer, 0xAB, sizeof gb->memory.frame_buffer);
        const std::vector<u8> before(std::begin(gb->memory.frame_buffer),
                                     std::end(gb->memory.frame_buffer));
        Render(c.ly);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), gb->memory.frame_buffer));
    }
}

TEST_F(Renderer, AnyRegistersVramAndOamDrawOnlyInsideTheCurrentLine) {
    std::mt19937 rng(4242);
    for (u8& b : gb->memory.vram) b = static_cast<u8>(rng());
    auto snapshot = std::make_unique<GbMemory>();
    for (int round = 0; round < 768; ++round) {
        // Every value of SCX, WX and sprite X is met; the rest is random.
        const u8 v = static_cast<u8>(round);
        s().SCX = v;
        s().WX = v;
        s().SCY = static_cast<u8>(rng());
        s().WY = static_cast<u8>(rng() % 160);
        s().LCDC = static_cast<u8>(rng() | 0x80);
        s().CGB_MODE = static_cast<u8>(rng() % 3);
        gb->system_type = rng() % 3;
        for (int i = 0; i < 160; ++i) gb->memory.oam_page[i] = static_cast<u8>(rng());
        for (int i = 0; i < 40; i += 2) gb->memory.oam_page[i * 4 + 1] = v;
        const int ly = static_cast<int>(rng() % 144);
        std::memset(gb->memory.frame_buffer, 0xAB, sizeof gb->memory.frame_buffer);
        std::memcpy(snapshot.get(), &gb->memory, sizeof(GbMemory));
        Render(ly);
        // Restore the drawn line in the snapshot's place: nothing else may differ.
        std::memcpy(snapshot->frame_buffer + ly * kLineBytes,
                    gb->memory.frame_buffer + ly * kLineBytes, kLineBytes);
        ASSERT_EQ(std::memcmp(snapshot.get(), &gb->memory, sizeof(GbMemory)), 0)
            << "round " << round;
    }
}

// ---- palettes ----

TEST(Palettes, DmgRegisterMapsEachColourNumberToAGrey) {
    u8 colors[16];
    std::memset(colors, 0x77, sizeof colors);
    TGBSYSF::DecodeDmgPalette(0xE4, colors);
    const u8 e4[16] = {255, 255, 255, 0, 192, 192, 192, 0, 128, 128, 128, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(colors, e4, 16));
    TGBSYSF::DecodeDmgPalette(0x1B, colors);
    const u8 x1b[16] = {0, 0, 0, 0, 128, 128, 128, 0, 192, 192, 192, 0, 255, 255, 255, 0};
    EXPECT_EQ(0, std::memcmp(colors, x1b, 16));
}

TEST(Palettes, ColourDataWritesSetFiveBitComponentsTimesEightAndAutoIncrement) {
    // A sprite entry from zero: a written white is 248 in every component.
    u8 obj[128] = {};
    obj[3] = 0x5A;
    u8 ocps = 0x80;
    TGBSYSF::WritePaletteByte(obj, &ocps, 0xFF);
    TGBSYSF::WritePaletteByte(obj, &ocps, 0x7F);
    EXPECT_EQ(obj[0], 248);   // blue
    EXPECT_EQ(obj[1], 248);   // green
    EXPECT_EQ(obj[2], 248);   // red
    EXPECT_EQ(obj[3], 0x5A);  // never written
    EXPECT_EQ(ocps, 0x82);

    // Over the power-on white, green's low three bits are never written.
    u8 bg[128];
    std::memset(bg, 0xFF, sizeof bg);
    u8 bcps = 0x80;
    TGBSYSF::WritePaletteByte(bg, &bcps, 0xFF);
    TGBSYSF::WritePaletteByte(bg, &bcps, 0x7F);
    EXPECT_EQ(bg[0], 248);
    EXPECT_EQ(bg[1], 255);
    EXPECT_EQ(bg[2], 248);

    // Entry 31's high byte, then the index wraps within bits 0-5 and bit 6 is kept.
    u8 idx = 0xFF;
    TGBSYSF::WritePaletteByte(obj, &idx, 0x7C);  // blue 31, green's top bits 0
    EXPECT_EQ(obj[31 * 4 + 0], 248);
    EXPECT_EQ(idx, 0xC0);
    // Without bit 7 the index stays.
    idx = 0x05;
    TGBSYSF::WritePaletteByte(obj, &idx, 0x03);  // entry 2, green bits 6-7
    EXPECT_EQ(obj[2 * 4 + 1], 0xC0);
    EXPECT_EQ(idx, 0x05);
    // A low byte: red from bits 0-4, green bits 3-5 from bits 5-7.
    idx = 0x04;
    TGBSYSF::WritePaletteByte(obj, &idx, 0b101'00011);
    EXPECT_EQ(obj[2 * 4 + 2], 3 * 8);
    EXPECT_EQ(obj[2 * 4 + 1], 0xC0 | (5 << 3));
}

}  // namespace
}  // namespace kivo
