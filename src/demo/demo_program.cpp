// The KIVO demo cartridge: the name KIVO on a banner (the window layer) over a background that
// scrolls sideways and sways up and down, a ball sprite moved by the direction keys, a tone on A
// (square channel 1, pitch following the ball), a noise burst on B, and a four-note jingle on
// square channel 2 at start and on Start. On a colour console it loads colour palettes and tile
// attributes; otherwise it shows the four greys.
//
// The cartridge is MBC5 with eight banks. The code lives in bank 0; the sway table is spread over
// banks 1-4 so that every frame reads from a different bank than the one before (a benchmark of
// the demo therefore switches banks every frame), bank 5 holds the graphics, bank 6 the jingle,
// bank 7 the colour palettes.
#include "demo/demo_program.h"

#include <algorithm>
#include <array>
#include <string>

#include "asm/gbasm.h"

namespace kivo::demo {

namespace {

using namespace kivo::gbasm;
using u8 = std::uint8_t;

// ---- I/O registers (low byte of 0xFF00 + n, for LDH) ----
constexpr int P1 = 0x00, IF = 0x0F, NR10 = 0x10, NR11 = 0x11, NR12 = 0x12, NR13 = 0x13, NR14 = 0x14,
              NR21 = 0x16, NR22 = 0x17, NR23 = 0x18, NR24 = 0x19, NR30 = 0x1A, NR41 = 0x20,
              NR42 = 0x21, NR43 = 0x22, NR44 = 0x23, NR50 = 0x24, NR51 = 0x25, NR52 = 0x26,
              LCDC = 0x40, SCY = 0x42, SCX = 0x43, LY = 0x44, DMA = 0x46, BGP = 0x47, OBP0 = 0x48,
              WY = 0x4A, WX = 0x4B, VBK = 0x4F, BCPS = 0x68, BCPD = 0x69, OCPS = 0x6A, OCPD = 0x6B,
              IE = 0xFF;

// ---- variables in high RAM (LDH addresses); the OAM DMA routine sits at 0xFF80 ----
constexpr int kDmaRoutine = 0xFF80;
constexpr int vblank_flag = 0xA0, frame = 0xA1, joy_held = 0xA2, joy_new = 0xA3, sprite_x = 0xA4,
              sprite_y = 0xA5, scx_next = 0xA6, scy_next = 0xA7, is_cgb = 0xA8, jingle_timer = 0xA9,
              jingle_pos = 0xAA;

// The sprite table that the OAM DMA copies, in work RAM.
constexpr int kShadowOam = 0xC000;

// MBC5 registers.
constexpr int kRomBankLow = 0x2000, kRomBankHigh = 0x3000;

// ---- bank 5: graphics ----
constexpr int kGfxBank = 5;
constexpr int kTilesAt = 0x000, kBgMapAt = 0x200, kBgAttrAt = 0x600, kWinMapAt = 0xA00,
              kWinAttrAt = 0xA80, kDmaCodeAt = 0xB00;
// ---- bank 6: jingle notes (low byte, high byte | trigger + length) ----
constexpr int kJingleBank = 6;
constexpr int kJingleNotes = 4;
// ---- bank 7: colour palettes, 64 bytes for the background, then 64 for sprites ----
constexpr int kPaletteBank = 7;
// ---- banks 1-4: the sway table; entry i is in bank 1 + (i & 3) at 0x4000 + (i >> 2) ----
constexpr int kSwayBanks = 4;

// Tile numbers.
constexpr int kTileRing = 0, kTileCorners = 1, kTileBannerFill = 2, kTileBannerTop = 3,
              kTileBannerBottom = 4, kTileLetters = 5, kTileBall = 21, kTileCount = 22;

// Banner: the window shows lines 112-143; the letters sit on its rows 1-2.
constexpr int kBannerY = 112;
constexpr int kLetterColumns[4] = {3, 7, 11, 15};

using TileArt = std::array<const char*, 8>;

// 8x8 glyphs, 7 wide, scaled to 16x16 on the banner with a one-pixel shadow.
constexpr TileArt kGlyphs[4] = {
    {"XX...XX.", "XX..XX..", "XX.XX...", "XXXX....", "XX.XX...", "XX..XX..", "XX...XX.",
     "........"},
    {"XXXXXX..", "..XX....", "..XX....", "..XX....", "..XX....", "..XX....", "XXXXXX..",
     "........"},
    {"XX...XX.", "XX...XX.", "XX...XX.", "XX...XX.", ".XX.XX..", "..XXX...", "...X....",
     "........"},
    {".XXXXX..", "XX...XX.", "XX...XX.", "XX...XX.", "XX...XX.", "XX...XX.", ".XXXXX..",
     "........"},
};

// Colour numbers 0-3 per pixel.
constexpr TileArt kRing = {"00000000", "00011000", "00100100", "01000010",
                           "01000010", "00100100", "00011000", "00000000"};
constexpr TileArt kCorners = {"22000022", "20000002", "00000000", "00000000",
                              "00000000", "00000000", "20000002", "22000022"};
constexpr TileArt kBannerFill = {"11111111", "11111111", "11111111", "11111111",
                                 "11111111", "11111111", "11111111", "11111111"};
constexpr TileArt kBannerTop = {"33333333", "22222222", "11111111", "11111111",
                                "11111111", "11111111", "11111111", "11111111"};
constexpr TileArt kBannerBottom = {"11111111", "11111111", "11111111", "11111111",
                                   "11111111", "11111111", "22222222", "33333333"};
constexpr TileArt kBall = {"00333300", "03111130", "31211113", "31111113",
                           "31111113", "31111113", "03111130", "00333300"};

// Appends the 16 bytes of a tile: per row the low bit plane, then the high one, leftmost pixel
// in bit 7.
void AppendTile(std::vector<u8>& out, const std::array<std::array<int, 8>, 8>& colours) {
    for (const auto& row : colours) {
        u8 lo = 0, hi = 0;
        for (int x = 0; x < 8; ++x) {
            lo = static_cast<u8>(lo | (row[x] & 1) << (7 - x));
            hi = static_cast<u8>(hi | (row[x] >> 1 & 1) << (7 - x));
        }
        out.push_back(lo);
        out.push_back(hi);
    }
}

void AppendTile(std::vector<u8>& out, const TileArt& art) {
    std::array<std::array<int, 8>, 8> colours{};
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) colours[y][x] = art[y][x] - '0';
    }
    AppendTile(out, colours);
}

// The four tiles (top left, top right, bottom left, bottom right) of a 16x16 banner letter:
// letter pixels colour 3, their shadow one pixel right and down colour 2, the rest colour 1.
void AppendLetter(std::vector<u8>& out, const TileArt& glyph) {
    auto on = [&](int bx, int by) {
        return bx >= 0 && by >= 0 && bx < 16 && by < 16 && glyph[by / 2][bx / 2] == 'X';
    };
    for (int quadrant = 0; quadrant < 4; ++quadrant) {
        std::array<std::array<int, 8>, 8> colours{};
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) {
                const int bx = (quadrant & 1) * 8 + x;
                const int by = (quadrant >> 1) * 8 + y;
                colours[y][x] = on(bx, by) ? 3 : on(bx - 1, by - 1) ? 2 : 1;
            }
        }
        AppendTile(out, colours);
    }
}

std::vector<u8> Tiles() {
    std::vector<u8> out;
    AppendTile(out, kRing);
    AppendTile(out, kCorners);
    AppendTile(out, kBannerFill);
    AppendTile(out, kBannerTop);
    AppendTile(out, kBannerBottom);
    for (const TileArt& glyph : kGlyphs) AppendLetter(out, glyph);
    AppendTile(out, kBall);
    return out;
}

// Background: rings and corner tiles in a 2x2 checker, coloured in diagonal stripes of
// palettes 0-2 on a colour console.
std::vector<u8> BackgroundMap() {
    std::vector<u8> map(1024);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            map[y * 32 + x] = (((x >> 1) + (y >> 1)) & 1) ? kTileCorners : kTileRing;
        }
    }
    return map;
}

std::vector<u8> BackgroundAttributes() {
    std::vector<u8> attr(1024);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) attr[y * 32 + x] = static_cast<u8>(((x + y) >> 2) % 3);
    }
    return attr;
}

// The window's first four map rows: border, two rows of letters, border.
std::vector<u8> WindowMap() {
    std::vector<u8> map(128, kTileBannerFill);
    for (int x = 0; x < 32; ++x) {
        map[x] = kTileBannerTop;
        map[96 + x] = kTileBannerBottom;
    }
    for (int letter = 0; letter < 4; ++letter) {
        const int column = kLetterColumns[letter];
        const int first = kTileLetters + letter * 4;
        map[32 + column] = static_cast<u8>(first);
        map[32 + column + 1] = static_cast<u8>(first + 1);
        map[64 + column] = static_cast<u8>(first + 2);
        map[64 + column + 1] = static_cast<u8>(first + 3);
    }
    return map;
}

// Colours as the console stores them: 5-bit red, green, blue, little-endian.
void AppendColour(std::vector<u8>& out, int r, int g, int b) {
    const int c = r | g << 5 | b << 10;
    out.push_back(static_cast<u8>(c));
    out.push_back(static_cast<u8>(c >> 8));
}

std::vector<u8> Palettes() {
    struct Rgb {
        int r, g, b;
    };
    // Background palettes 0-2 tint the stripes, palette 3 is the banner.
    constexpr Rgb kBackground[8][4] = {
        {{28, 30, 31}, {16, 22, 31}, {6, 10, 24}, {0, 0, 8}},
        {{28, 31, 28}, {14, 26, 14}, {4, 16, 6}, {0, 6, 0}},
        {{31, 28, 31}, {26, 16, 28}, {18, 6, 20}, {6, 0, 8}},
        {{0, 0, 0}, {4, 4, 14}, {31, 16, 0}, {31, 31, 8}},
    };
    // Sprite palette 0: the ball (colour 0 is transparent).
    constexpr Rgb kSprites[8][4] = {
        {{0, 0, 0}, {31, 4, 4}, {31, 31, 31}, {10, 0, 0}},
    };
    std::vector<u8> out;
    for (const auto& palette : kBackground) {
        for (const Rgb& c : palette) AppendColour(out, c.r, c.g, c.b);
    }
    for (const auto& palette : kSprites) {
        for (const Rgb& c : palette) AppendColour(out, c.r, c.g, c.b);
    }
    return out;
}

// Square channel 2 notes: C5, E5, G5, C6 as (low byte, 0xC0 | high bits): trigger and length.
std::vector<u8> JingleNotes() {
    constexpr int kFrequencies[kJingleNotes] = {1798, 1849, 1881, 1923};
    std::vector<u8> out;
    for (int f : kFrequencies) {
        out.push_back(static_cast<u8>(f & 0xFF));
        out.push_back(static_cast<u8>(0xC0 | f >> 8));
    }
    return out;
}

// The background's vertical sway over 256 frames: two periods of a sine of amplitude 8, in
// integer arithmetic (Bhaskara's approximation) so the image is the same on every host.
std::array<u8, 256> SwayTable() {
    std::array<u8, 256> table{};
    for (int i = 0; i < 256; ++i) {
        int degrees = (i * 720 / 256) % 360;
        const int sign = degrees < 180 ? 1 : -1;
        if (degrees >= 180) degrees -= 180;
        const int p = degrees * (180 - degrees);
        const int den = 40500 - p;
        const int value = (8 * 4 * p + den / 2) / den;
        table[i] = static_cast<u8>(sign * value);
    }
    return table;
}

// The OAM DMA routine, copied to high RAM at start: the processor may only run from there
// while the DMA occupies the bus, so the routine waits the 160 microseconds out in a loop.
Asm DmaRoutine() {
    Asm a(kDmaRoutine);
    a.ld(A, kShadowOam >> 8);
    a.ldh(DMA, A);
    a.ld(A, 40);
    a.label("wait");
    a.dec(A);
    a.jr(NZ, "wait");
    a.ret();
    return a;
}

void EmitMain(Asm& a, std::size_t dma_bytes) {
    const int tiles_bytes = kTileCount * 16;

    a.label("main");
    a.di();
    a.ld(SP, 0xFFFE);
    // Switch the display off only during V-blank, as the console requires.
    a.label("wait_vblank");
    a.ldh(A, LY);
    a.cp(144);
    a.jr(C, "wait_vblank");
    a.xor_(A);
    a.ldh(LCDC, A);

    // Sound on, full volume on both sides, every channel silent until it is played.
    a.ld(A, 0x80);
    a.ldh(NR52, A);
    a.ld(A, 0x77);
    a.ldh(NR50, A);
    a.ld(A, 0xFF);
    a.ldh(NR51, A);
    a.xor_(A);
    a.ldh(NR12, A);
    a.ldh(NR22, A);
    a.ldh(NR42, A);
    a.ldh(NR30, A);
    a.ld(Mem(kRomBankHigh), A);

    // Colour mode is on exactly when the video RAM banks switch: a byte written to bank 1 must
    // not show in bank 0.
    a.ldh(VBK, A);
    a.ld(Mem(0x8000), A);
    a.ld(A, 1);
    a.ldh(VBK, A);
    a.ld(A, 0xAA);
    a.ld(Mem(0x8000), A);
    a.xor_(A);
    a.ldh(VBK, A);
    a.ld(A, Mem(0x8000));
    a.cp(0xAA);
    a.ld(A, 0);
    a.jr(Z, "store_mode");
    a.inc(A);
    a.label("store_mode");
    a.ldh(is_cgb, A);

    // Graphics from bank 5.
    a.ld(A, kGfxBank);
    a.ld(Mem(kRomBankLow), A);
    auto copy = [&](int from, int to, int count) {
        a.ld(HL, 0x4000 + from);
        a.ld(DE, to);
        a.ld(BC, count);
        a.call("copy");
    };
    copy(kTilesAt, 0x8000, tiles_bytes);
    copy(kBgMapAt, 0x9800, 1024);
    copy(kWinMapAt, 0x9C00, 128);
    copy(kDmaCodeAt, kDmaRoutine, static_cast<int>(dma_bytes));

    a.ld(HL, kShadowOam);
    a.ld(B, 160);
    a.xor_(A);
    a.label("clear_oam");
    a.ld(Mem(HLI), A);
    a.dec(B);
    a.jr(NZ, "clear_oam");

    // Colour console: tile attributes in video RAM bank 1, then the palettes from bank 7.
    a.ldh(A, is_cgb);
    a.and_(A);
    a.jr(Z, "grey_palettes");
    a.ld(A, 1);
    a.ldh(VBK, A);
    copy(kBgAttrAt, 0x9800, 1024);
    copy(kWinAttrAt, 0x9C00, 128);
    a.xor_(A);
    a.ldh(VBK, A);
    a.ld(A, kPaletteBank);
    a.ld(Mem(kRomBankLow), A);
    a.ld(HL, 0x4000);
    a.ld(A, 0x80);  // index 0, advancing after each data write
    a.ldh(BCPS, A);
    a.ld(B, 64);
    a.label("bg_palettes");
    a.ld(A, Mem(HLI));
    a.ldh(BCPD, A);
    a.dec(B);
    a.jr(NZ, "bg_palettes");
    a.ld(A, 0x80);
    a.ldh(OCPS, A);
    a.ld(B, 64);
    a.label("obj_palettes");
    a.ld(A, Mem(HLI));
    a.ldh(OCPD, A);
    a.dec(B);
    a.jr(NZ, "obj_palettes");
    a.label("grey_palettes");
    a.ld(A, 0xE4);  // white, light grey, dark grey, black
    a.ldh(BGP, A);
    a.ld(A, 0xC8);  // ball: fill dark grey, highlight white, outline black
    a.ldh(OBP0, A);

    // Variables.
    a.ld(A, 84);
    a.ldh(sprite_x, A);
    a.ld(A, 80);
    a.ldh(sprite_y, A);
    a.xor_(A);
    for (int v : {frame, vblank_flag, joy_held, joy_new, jingle_pos, scx_next, scy_next}) {
        a.ldh(v, A);
    }
    a.ld(A, 4);
    a.ldh(jingle_timer, A);

    // Display: window banner at the bottom, background map 0x9800, window map 0x9C00, tiles at
    // 0x8000, 8x8 sprites.
    a.ld(A, kBannerY);
    a.ldh(WY, A);
    a.ld(A, 7);
    a.ldh(WX, A);
    a.xor_(A);
    a.ldh(SCX, A);
    a.ldh(SCY, A);
    a.call("update_oam");
    a.ld(A, 0xF3);
    a.ldh(LCDC, A);

    a.xor_(A);
    a.ldh(IF, A);
    a.ld(A, 0x01);  // V-blank only
    a.ldh(IE, A);
    a.ei();

    // One pass per frame: sleep until the V-blank handler has run, then update.
    a.label("main_loop");
    a.halt();
    a.ldh(A, vblank_flag);
    a.and_(A);
    a.jr(Z, "main_loop");
    a.xor_(A);
    a.ldh(vblank_flag, A);
    a.call("read_joypad");
    a.call("move_sprite");
    a.call("play_sounds");
    a.call("scroll");
    a.jr("main_loop");
}

void EmitSubroutines(Asm& a) {
    // V-blank: sprites by DMA, next scroll position, count the frame. Other request bits are
    // not used; they are cleared so that HALT keeps sleeping.
    a.label("vblank");
    a.push(AF);
    a.xor_(A);
    a.ldh(IF, A);
    a.call(kDmaRoutine);
    a.ldh(A, scx_next);
    a.ldh(SCX, A);
    a.ldh(A, scy_next);
    a.ldh(SCY, A);
    a.ldh(A, frame);
    a.inc(A);
    a.ldh(frame, A);
    a.ld(A, 1);
    a.ldh(vblank_flag, A);
    a.pop(AF);
    a.reti();

    // HL = source, DE = destination, BC = count (not 0).
    a.label("copy");
    a.ld(A, Mem(HLI));
    a.ld(Mem(DE), A);
    a.inc(DE);
    a.dec(BC);
    a.ld(A, B);
    a.or_(C);
    a.jr(NZ, "copy");
    a.ret();

    // joy_held: bit 0 A, 1 B, 2 Select, 3 Start, 4 Right, 5 Left, 6 Up, 7 Down (1 = held);
    // joy_new: the bits that were not held at the last frame.
    a.label("read_joypad");
    a.ld(A, 0x20);  // bit 4 clear: direction keys
    a.ldh(P1, A);
    a.ldh(A, P1);
    a.ldh(A, P1);
    a.cpl();
    a.and_(0x0F);
    a.swap(A);
    a.ld(B, A);
    a.ld(A, 0x10);  // bit 5 clear: button keys
    a.ldh(P1, A);
    for (int i = 0; i < 4; ++i) a.ldh(A, P1);
    a.cpl();
    a.and_(0x0F);
    a.or_(B);
    a.ld(B, A);
    a.ld(A, 0x30);
    a.ldh(P1, A);
    a.ldh(A, joy_held);
    a.cpl();
    a.and_(B);
    a.ldh(joy_new, A);
    a.ld(A, B);
    a.ldh(joy_held, A);
    a.ret();

    // One pixel per frame in each held direction, kept on screen.
    a.label("move_sprite");
    a.ldh(A, joy_held);
    a.ld(B, A);
    a.ldh(A, sprite_x);
    a.ld(C, A);
    a.bit(4, B);
    a.jr(Z, "no_right");
    a.ld(A, C);
    a.cp(160);
    a.jr(NC, "no_right");
    a.inc(C);
    a.label("no_right");
    a.bit(5, B);
    a.jr(Z, "no_left");
    a.ld(A, C);
    a.cp(9);
    a.jr(C, "no_left");
    a.dec(C);
    a.label("no_left");
    a.ld(A, C);
    a.ldh(sprite_x, A);
    a.ldh(A, sprite_y);
    a.ld(C, A);
    a.bit(6, B);
    a.jr(Z, "no_up");
    a.ld(A, C);
    a.cp(17);
    a.jr(C, "no_up");
    a.dec(C);
    a.label("no_up");
    a.bit(7, B);
    a.jr(Z, "no_down");
    a.ld(A, C);
    a.cp(152);
    a.jr(NC, "no_down");
    a.inc(C);
    a.label("no_down");
    a.ld(A, C);
    a.ldh(sprite_y, A);
    // Sprite 0 of the shadow table: Y, X, tile, attributes.
    a.label("update_oam");
    a.ldh(A, sprite_y);
    a.ld(Mem(kShadowOam), A);
    a.ldh(A, sprite_x);
    a.ld(Mem(kShadowOam + 1), A);
    a.ld(A, kTileBall);
    a.ld(Mem(kShadowOam + 2), A);
    a.xor_(A);
    a.ld(Mem(kShadowOam + 3), A);
    a.ret();

    a.label("play_sounds");
    // A: a quarter-second tone on square 1, frequency 0x680 + the ball's X.
    a.ldh(A, joy_new);
    a.bit(0, A);
    a.jr(Z, "no_a");
    a.xor_(A);
    a.ldh(NR10, A);
    a.ld(A, 0x80);  // 50 % duty, 64 length steps
    a.ldh(NR11, A);
    a.ld(A, 0xF3);  // volume 15, fading
    a.ldh(NR12, A);
    a.ldh(A, sprite_x);
    a.add(A, 0x80);
    a.ldh(NR13, A);
    a.ld(A, 0x06);
    a.adc(A, 0);
    a.or_(0xC0);  // trigger, stop after the length
    a.ldh(NR14, A);
    a.label("no_a");
    // B: a fifth of a second of noise.
    a.ldh(A, joy_new);
    a.bit(1, A);
    a.jr(Z, "no_b");
    a.ld(A, 0x0C);
    a.ldh(NR41, A);
    a.ld(A, 0xF2);
    a.ldh(NR42, A);
    a.ld(A, 0x31);
    a.ldh(NR43, A);
    a.ld(A, 0xC0);
    a.ldh(NR44, A);
    a.label("no_b");
    // Start: play the jingle again.
    a.ldh(A, joy_new);
    a.bit(3, A);
    a.jr(Z, "no_start");
    a.xor_(A);
    a.ldh(jingle_pos, A);
    a.ld(A, 1);
    a.ldh(jingle_timer, A);
    a.label("no_start");
    // The jingle: one note every 10 frames on square 2, notes read from bank 6.
    a.ldh(A, jingle_pos);
    a.cp(kJingleNotes);
    a.ret(NC);
    a.ldh(A, jingle_timer);
    a.dec(A);
    a.ldh(jingle_timer, A);
    a.ret(NZ);
    a.ld(A, 10);
    a.ldh(jingle_timer, A);
    a.ld(A, kJingleBank);
    a.ld(Mem(kRomBankLow), A);
    a.ldh(A, jingle_pos);
    a.add(A, A);
    a.ld(L, A);
    a.ld(H, 0x40);
    a.ld(A, 0x80);
    a.ldh(NR21, A);
    a.ld(A, 0xA2);
    a.ldh(NR22, A);
    a.ld(A, Mem(HLI));
    a.ldh(NR23, A);
    a.ld(A, Mem(HL));
    a.ldh(NR24, A);
    a.ldh(A, jingle_pos);
    a.inc(A);
    a.ldh(jingle_pos, A);
    a.ret();

    // Scroll one pixel sideways per frame; the sway comes from bank 1 + (frame & 3).
    a.label("scroll");
    a.ldh(A, frame);
    a.ld(C, A);
    a.and_(kSwayBanks - 1);
    a.inc(A);
    a.ld(Mem(kRomBankLow), A);
    a.ld(A, C);
    a.srl(A);
    a.srl(A);
    a.ld(L, A);
    a.ld(H, 0x40);
    a.ld(A, Mem(HL));
    a.ldh(scy_next, A);
    a.ld(A, C);
    a.ldh(scx_next, A);
    a.ret();
}

void PutBytes(std::vector<u8>& rom, int bank, int offset, const std::vector<u8>& bytes) {
    std::copy(bytes.begin(), bytes.end(), rom.begin() + bank * 0x4000 + offset);
}

}  // namespace

std::vector<std::uint8_t> BuildDemoRom() {
    std::vector<u8> rom(kBanks * 0x4000, 0xFF);
    const std::vector<u8> dma = DmaRoutine().Link();

    Asm a(0x0000);
    a.pad_to(0x0040, 0xFF);
    a.jp("vblank");
    for (int vector : {0x48, 0x50, 0x58, 0x60}) {  // unused interrupts: return at once
        a.pad_to(static_cast<std::uint16_t>(vector), 0xFF);
        a.reti();
    }
    a.pad_to(0x0100, 0xFF);
    a.nop();
    a.jp("main");
    a.pad_to(0x0150, 0x00);  // the header, filled in below
    EmitMain(a, dma.size());
    EmitSubroutines(a);
    if (a.pc() >= 0x4000) Fail("the demo's code does not fit bank 0");
    PlaceInRom(rom, a);

    PutBytes(rom, kGfxBank, kTilesAt, Tiles());
    PutBytes(rom, kGfxBank, kBgMapAt, BackgroundMap());
    PutBytes(rom, kGfxBank, kBgAttrAt, BackgroundAttributes());
    PutBytes(rom, kGfxBank, kWinMapAt, WindowMap());
    PutBytes(rom, kGfxBank, kWinAttrAt, std::vector<u8>(128, 3));
    PutBytes(rom, kGfxBank, kDmaCodeAt, dma);
    PutBytes(rom, kJingleBank, 0, JingleNotes());
    PutBytes(rom, kPaletteBank, 0, Palettes());
    const std::array<u8, 256> sway = SwayTable();
    for (int i = 0; i < 256; ++i) rom[(1 + (i & 3)) * 0x4000 + (i >> 2)] = sway[i];

    // Header. The logo area stays zero: the machine does not check it.
    const std::string title = "KIVO DEMO";
    std::copy(title.begin(), title.end(), rom.begin() + 0x134);
    rom[0x143] = 0x80;  // colour features, runs on the monochrome console too
    rom[0x144] = '0';
    rom[0x145] = '0';
    rom[0x146] = 0x00;
    rom[0x147] = 0x19;  // MBC5
    rom[0x148] = 0x02;  // 8 banks
    rom[0x149] = 0x00;  // no cartridge RAM
    rom[0x14A] = 0x01;
    rom[0x14B] = 0x33;  // licensee given by 0x144-0x145
    rom[0x14C] = 0x00;
    u8 header_sum = 0;
    for (int i = 0x134; i <= 0x14C; ++i) header_sum = static_cast<u8>(header_sum - rom[i] - 1);
    rom[0x14D] = header_sum;
    unsigned global_sum = 0;
    for (std::size_t i = 0; i < rom.size(); ++i) {
        if (i != 0x14E && i != 0x14F) global_sum += rom[i];
    }
    rom[0x14E] = static_cast<u8>(global_sum >> 8);
    rom[0x14F] = static_cast<u8>(global_sum);
    return rom;
}

}  // namespace kivo::demo
