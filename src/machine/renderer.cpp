// The scanline renderer and the palettes.
//
// A whole line (background, window, sprites) is drawn at the start of mode 3 from the registers
// current then, straight into the frame buffer's host layout: 176 pixels of blue, green, red and
// a layer tag, the visible 160 at pixels 8-167. The margins take the off-screen parts of tiles
// and sprites that straddle the edges, so no pixel needs clipping.
//
// The tag records what lies under each pixel for the sprite priority test: bits 0-1 the
// background colour number, bits 2-3 the window colour number, bit 7 the background tile's
// colour-mode priority attribute. Sprites never change it, so each sprite is tested against
// background and window only, never against sprites drawn before it.
//
// Palettes are converted to host colour entries when the program writes them, not per pixel.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "machine/gbsys.h"

// x86 processors with AVX draw background and window rows with a byte shuffle, chosen when the
// program starts; every other processor, and any build where that is turned off, draws them with
// the portable code. Both write the same bytes.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define KIVO_BYTE_SHUFFLE 1
#include <immintrin.h>
#else
#define KIVO_BYTE_SHUFFLE 0
#endif

namespace kivo {

namespace {

// A tile row is two bit planes: pixel i takes bit 7 - i of each byte (bit i when the tile is
// flipped horizontally), the second byte giving the colour number's high bit. These tables
// spread a plane's 8 bits two apart, pixel i at bit 2i, so two lookups give all eight colour
// numbers at once.
constexpr std::array<u16, 256> MakePlaneTable(bool flipped) {
    std::array<u16, 256> table{};
    for (u32 b = 0; b < 256; ++b) {
        u32 spread = 0;
        for (u32 i = 0; i < 8; ++i) {
            const u32 bit = flipped ? (b >> i) & 1 : (b >> (7 - i)) & 1;
            spread |= bit << (2 * i);
        }
        table[b] = static_cast<u16>(spread);
    }
    return table;
}
constexpr std::array<u16, 256> kPlane = MakePlaneTable(false);
constexpr std::array<u16, 256> kPlaneFlipped = MakePlaneTable(true);
static_assert(kPlane[0x80] == 0x0001 && kPlane[0x01] == 0x4000);
static_assert(kPlaneFlipped[0x01] == 0x0001 && kPlaneFlipped[0x80] == 0x4000);

// The four DMG shades by shade number: white, light grey, dark grey, black.
constexpr u8 kShades[4] = {255, 192, 128, 0};

// Console addresses as offsets into a video RAM bank.
constexpr u32 kMap0 = 0x1800;       // 0x9800
constexpr u32 kMap1 = 0x1C00;       // 0x9C00
constexpr u32 kSignedData = 0x800;  // 0x8800: tile numbers count around 0x9000
constexpr u32 kBank1 = 0x2000;

constexpr u8 kTagPriority = 0x80;

// LCDC bits.
constexpr u8 kLcdOn = 0x80;
constexpr u8 kWinMapHigh = 0x40;
constexpr u8 kWinOn = 0x20;
constexpr u8 kTileDataLow = 0x10;
constexpr u8 kBgMapHigh = 0x08;
constexpr u8 kTallSprites = 0x04;
constexpr u8 kSpritesOn = 0x02;
constexpr u8 kBgOn = 0x01;

// Tile and attribute bits (colour-mode map attributes and sprite attributes share them).
constexpr u8 kAttrPalette = 0x07;
constexpr u8 kAttrBank = 0x08;
constexpr u8 kAttrObp1 = 0x10;
constexpr u8 kAttrXFlip = 0x20;
constexpr u8 kAttrYFlip = 0x40;
constexpr u8 kAttrPriority = 0x80;  // map: over sprites; sprite: behind the background

inline u32 LoadPixel(const u8* p) {
    u32 v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void StorePixel(u8* p, u32 v) {
    std::memcpy(p, &v, 4);
}

inline u64 LoadPair(const u8* p) {
    u64 v;
    std::memcpy(&v, p, 8);
    return v;
}

inline void StorePair(u8* p, u64 v) {
    std::memcpy(p, &v, 8);
}

// Blue, green and red of a palette's colour entry c as a pixel with a zero tag; the entry's
// fourth byte never reaches the frame buffer.
inline u64 EntryColour(const u8* palette, u32 c) {
    return LoadPixel(palette + 4 * c) & 0x00FFFFFF;
}

// A palette as host pixels, two at a time: entry a | b << 2 holds the pixel of colour number
// a followed by the pixel of colour number b, so a tile row is written with four 64-bit stores.
// A line uses at most 16 palettes per layer (8 colour palettes, times the priority bit for the
// background); each is built the first time the line needs it. Sprites, drawn pixel by pixel,
// read only entries 0-3 (colour c, then colour 0), so only those are built for them.
template <bool kAllPairs>
class PixelPairs {
  public:
    // slot identifies the (palette, tag_bits) combination within the line. A pixel's tag is
    // tag_bits plus its colour number times tag_scale (1 background, 4 window, 0 sprites).
    const u64* Get(u32 slot, const u8* palette, u32 tag_bits, u32 tag_scale) {
        u64* pairs = pairs_[slot & 15];
        if (!(built_ & (1u << (slot & 15)))) {
            built_ |= 1u << (slot & 15);
            u64 px[4];
            for (u32 c = 0; c < 4; ++c) {
                px[c] = EntryColour(palette, c) | (tag_bits | c * tag_scale) << 24;
            }
            for (u32 i = 0; i < (kAllPairs ? 16 : 4); ++i) pairs[i] = px[i & 3] | px[i >> 2] << 32;
        }
        return pairs;
    }

  private:
    u32 built_ = 0;
    u64 pairs_[16][16];
};

// What a map entry's attribute selects for its tile row: where the row's two bytes lie (data
// bank, vertical flip), the horizontal flip, and the palette with the tag its pixels take. In
// colour mode the attribute byte sits at the entry's offset in bank 1; outside it the attribute
// is ignored (tile data bank 0, palette BGP). slot tells the line's palettes apart.
struct TileLook {
    const u8* rows;
    bool xflip;
    const u8* palette;
    u32 tag_bits;
    u32 slot;
};

template <int kKind>
inline TileLook LookOf(const GbState& s, const u8* data, u32 tile_line, u32 attr) {
    const u32 line = (attr & kAttrYFlip) ? 7 - tile_line : tile_line;
    const u32 palette = attr & kAttrPalette;
    // The window never passes the priority attribute on.
    const u32 priority = kKind == 0 ? attr & kAttrPriority : 0;
    return {data + ((attr & kAttrBank) ? kBank1 : 0) + 2 * line, (attr & kAttrXFlip) != 0,
            s.cgb_bg_colors + palette * 16, priority, palette | priority >> 4};
}

// Tile data for the map row: 0x8000 + tile x 16, or signed numbering around 0x9000 (0x8800 +
// (tile ^ 0x80) x 16), the second returned as the number's flip.
inline std::pair<const u8*, u32> TileData(const TGBSYSF& gb) {
    if (gb.state.LCDC & kTileDataLow) return {gb.memory.vram, 0};
    return {gb.memory.vram + kSignedData, 0x80};
}

// Draws count tiles of one map row from map offset row_base + first column (wrapping within
// the row) at dst, tile line tile_line, for the background (kind 0) or the window (kind 1).
template <bool kCgb, int kKind>
inline void DrawMapRow(TGBSYSF& gb, u8* dst, u32 row_base, u32 column, int count, u32 tile_line) {
    const u8* vram = gb.memory.vram;
    const GbState& s = gb.state;
    const auto [data, data_flip] = TileData(gb);
    constexpr u32 kTagScale = kKind == 0 ? 1 : 4;
    PixelPairs<true> pixels;
    // Neighbouring tiles nearly always share their attribute, so what it selects is worked out
    // again only when it changes; 0x100 matches no attribute.
    u32 last_attr = 0x100;
    TileLook look{data + 2 * tile_line, false, s.bgp_colors, 0, 0};
    const u64* pairs = nullptr;
    if constexpr (!kCgb) pairs = pixels.Get(0, s.bgp_colors, 0, kTagScale);
    for (int t = 0; t < count; ++t, dst += 32, column = (column + 1) & 31) {
        const u32 map = row_base + column;
        const u32 tile = vram[map];
        if constexpr (kCgb) {
            const u32 attr = vram[kBank1 + map];
            if (attr != last_attr) {
                last_attr = attr;
                look = LookOf<kKind>(s, data, tile_line, attr);
                pairs = pixels.Get(look.slot, look.palette, look.tag_bits, kTagScale);
            }
        }
        const u8* row = look.rows + (tile ^ data_flip) * 16;
        gb.DecodeTileRow(row[0], row[1], look.xflip, pairs, dst, kKind, false);
    }
}

#if KIVO_BYTE_SHUFFLE
// The same map row drawn 16 bytes at a time with the processor's byte shuffle: the palette's
// four pixels sit in one register, and a tile row's colour numbers pick pixels out of it, four
// per shuffle. kQuadShuffles holds, for the colour numbers of four pixels (pixel i at bits
// 2i-2i+1), the shuffle that puts palette pixel c_i's four bytes at pixel i.
constexpr auto kQuadShuffles = [] {
    std::array<std::array<u8, 16>, 256> t{};
    for (u32 q = 0; q < 256; ++q) {
        for (u32 i = 0; i < 4; ++i) {
            const u32 c = (q >> (2 * i)) & 3;
            for (u32 k = 0; k < 4; ++k) t[q][4 * i + k] = static_cast<u8>(4 * c + k);
        }
    }
    return t;
}();
static_assert(kQuadShuffles[0xE4][4] == 4 && kQuadShuffles[0xE4][15] == 15);

[[gnu::target("avx")]] inline __m128i PaletteVector(const u8* palette, u32 tag_bits,
                                                    u32 tag_scale) {
    const __m128i colours = _mm_and_si128(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(palette)), _mm_set1_epi32(0x00FFFFFF));
    const __m128i tags = _mm_setr_epi32(static_cast<int>(tag_bits << 24),
                                        static_cast<int>((tag_bits | tag_scale) << 24),
                                        static_cast<int>((tag_bits | 2 * tag_scale) << 24),
                                        static_cast<int>((tag_bits | 3 * tag_scale) << 24));
    return _mm_or_si128(colours, tags);
}

template <bool kCgb, int kKind>
[[gnu::target("avx")]] void DrawMapRowShuffled(TGBSYSF& gb, u8* dst, u32 row_base, u32 column,
                                               int count, u32 tile_line) {
    const u8* vram = gb.memory.vram;
    const GbState& s = gb.state;
    const auto [data, data_flip] = TileData(gb);
    constexpr u32 kTagScale = kKind == 0 ? 1 : 4;
    // The map row twice over (and its attributes), so that the tiles from `column` on, wrapping
    // within the row, are read in a straight line.
    u8 tiles[64];
    std::memcpy(tiles, vram + row_base, 32);
    std::memcpy(tiles + 32, vram + row_base, 32);
    u8 attrs[kCgb ? 64 : 1];
    if constexpr (kCgb) {
        std::memcpy(attrs, vram + kBank1 + row_base, 32);
        std::memcpy(attrs + 32, vram + kBank1 + row_base, 32);
    }
    u32 last_attr = 0x100;
    TileLook look{data + 2 * tile_line, false, s.bgp_colors, 0, 0};
    __m128i palette = PaletteVector(s.bgp_colors, 0, kTagScale);
    // The window keeps the background's tag byte beside its own (see DecodeTileRow).
    const __m128i kept_tag = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    for (int t = 0; t < count; ++t, dst += 32) {
        const u32 tile = tiles[column + t];
        if constexpr (kCgb) {
            const u32 attr = attrs[column + t];
            if (attr != last_attr) {
                last_attr = attr;
                look = LookOf<kKind>(s, data, tile_line, attr);
                palette = PaletteVector(look.palette, look.tag_bits, kTagScale);
            }
        }
        const u8* row = look.rows + (tile ^ data_flip) * 16;
        const std::array<u16, 256>& plane = look.xflip ? kPlaneFlipped : kPlane;
        const u32 colours = static_cast<u32>(plane[row[0]]) | static_cast<u32>(plane[row[1]]) << 1;
        const auto shuffle = [](u32 quad) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kQuadShuffles[quad].data()));
        };
        __m128i left = _mm_shuffle_epi8(palette, shuffle(colours & 0xFF));
        __m128i right = _mm_shuffle_epi8(palette, shuffle(colours >> 8));
        auto* out = reinterpret_cast<__m128i*>(dst);
        if constexpr (kKind == 1) {
            left = _mm_or_si128(left, _mm_and_si128(_mm_loadu_si128(out), kept_tag));
            right = _mm_or_si128(right, _mm_and_si128(_mm_loadu_si128(out + 1), kept_tag));
        }
        _mm_storeu_si128(out, left);
        _mm_storeu_si128(out + 1, right);
    }
}

#endif

template <int kKind>
void DrawLayerRow(TGBSYSF& gb, u8* dst, u32 row_base, u32 column, int count, u32 tile_line) {
    const bool cgb = gb.state.CGB_MODE != 0;
#if KIVO_BYTE_SHUFFLE
    if (gb.shuffle_rows) {
        if (cgb) {
            DrawMapRowShuffled<true, kKind>(gb, dst, row_base, column, count, tile_line);
        } else {
            DrawMapRowShuffled<false, kKind>(gb, dst, row_base, column, count, tile_line);
        }
        return;
    }
#endif
    if (cgb) {
        DrawMapRow<true, kKind>(gb, dst, row_base, column, count, tile_line);
    } else {
        DrawMapRow<false, kKind>(gb, dst, row_base, column, count, tile_line);
    }
}

// Finds the visible lines of every sprite. A row inside the sprite on a visible line means Y is
// LY + 16 - row, within 1..159: the rule that Y 0 or Y >= 160 hides a sprite holds without a test
// of its own. X 0 puts the sprite wholly off screen on the left, X >= 168 on the right.
void FindSpriteLines(const u8* oam, u32 height, TGBSYSF::SpriteLines& cache) {
    cache.valid = true;
    cache.height = height;
    std::memset(cache.lines, 0, sizeof cache.lines);
    std::memset(cache.any_x, 0, sizeof cache.any_x);
    for (u32 i = 0; i < 40; ++i) {
        const u8* e = oam + i * 4;
        const bool on_screen = e[1] - 1u < 167u;
        for (u32 row = 0; row < height; ++row) {
            const u32 ly = (e[0] + row - 16) & 0xFF;
            if (ly >= kScreenHeight) continue;
            cache.any_x[ly] |= u64{1} << i;
            if (on_screen) cache.lines[ly] |= u64{1} << i;
        }
    }
}

// The tile an OAM entry shows on line ly and the row of it, Y flip and tall sprites included.
struct SpriteRow {
    u32 tile, row;
};
inline SpriteRow SpriteRowOn(const u8* e, u32 ly, u32 height) {
    u32 row = (ly + 16 - e[0]) & 0xFF;
    if (e[3] & kAttrYFlip) row = height - 1 - row;
    const u32 tile = height == 16 ? (row < 8 ? (e[2] & 0xFEu) : (e[2] | 1u)) : e[2];
    return {tile, row};
}

// The sprite lines for the OAM and sprite height now in use, found again when either changed.
inline const TGBSYSF::SpriteLines& SpriteLinesNow(TGBSYSF& gb, u32 height) {
    TGBSYSF::SpriteLines& cache = gb.sprite_lines;
    const u32 oam_change = gb.video_changes.oam;
    if (!cache.valid || cache.height != height || cache.oam_change != oam_change) [[unlikely]] {
        FindSpriteLines(gb.memory.oam_page, height, cache);
        cache.oam_change = oam_change;
    }
    return cache;
}

// Draws `tiles` tiles of background map line y (at map offset row_base) from tile column
// SCX / 8 at dst: copied from the row's whole pixels when they are known, which they become when
// the row comes up a second time unchanged (TGBSYSF::BackgroundRows).
void DrawBackground(TGBSYSF& gb, u8* dst, u32 row_base, int tiles, u32 y) {
    const GbState& s = gb.state;
    const TGBSYSF::VideoChanges& changes = gb.video_changes;
    TGBSYSF::BackgroundRows& rows = gb.background_rows;
    TGBSYSF::BackgroundRow& row = rows.rows[y & 0xFF];
    const u64 key = u64{rows.generation} << 32 | u64{row_base} << 8 |
                    ((s.LCDC & kTileDataLow) ? 4u : 0u) | (s.CGB_MODE != 0 ? 2u : 0u) |
                    (gb.shuffle_rows ? 1u : 0u);
    const u32 map_row = (row_base - kMap0) >> 5;
    const bool unchanged =
        row.key == key && changes.looks <= row.stamp && changes.map_rows[map_row] <= row.stamp;
    if (!unchanged) {
        row = {key, changes.count, static_cast<u16>(map_row), false};
        DrawLayerRow<0>(gb, dst, row_base, s.SCX >> 3, tiles, y & 7);
        return;
    }
    u8* const pixels = rows.pixels[y & 0xFF];
    if (!row.whole) {
        row.whole = true;
        rows.any_whole = true;
        DrawLayerRow<0>(gb, pixels, row_base, 0, 32, y & 7);
        std::memcpy(pixels + 256 * 4, pixels, 168 * 4);
    }
    // 21 tiles from column SCX / 8 on, wrapping after column 31. With SCX a multiple of 8 the
    // line takes 20: the last one falls in the right margin, which is cleared again.
    constexpr u32 kCopied = 21 * 8 * 4;
    std::memcpy(dst, pixels + (s.SCX & 0xF8u) * 4, kCopied);
    if (tiles == 20) std::memset(dst + 20 * 8 * 4, 0, 8 * 4);
}

// Whether line LY, drawn as `drawn` from the registers it reads now, would be drawn the same
// again: no map row, tile, palette or OAM entry it may read changed since. The background's map
// row, the window's (where the registers may show it) and the sprites on the line then or now
// are checked whether or not the user shows their layer.
bool LineUnchanged(TGBSYSF& gb, const TGBSYSF::DrawnLine& drawn) {
    const GbState& s = gb.state;
    const TGBSYSF::VideoChanges& changes = gb.video_changes;
    const u32 stamp = drawn.stamp;
    if (changes.count == stamp) return true;  // nothing changed at all
    if (changes.looks > stamp) return false;
    const u32 ly = s.LY;
    const u32 lcdc = s.LCDC;
    const u32 bg_row = ((lcdc & kBgMapHigh) ? 32 : 0) + (((ly + s.SCY) & 0xFF) >> 3);
    if (changes.map_rows[bg_row] > stamp) return false;
    if ((lcdc & kWinOn) && s.WX <= 166 && s.WY <= ly) {
        const u32 win_row = ((lcdc & kWinMapHigh) ? 32 : 0) + ((ly - s.WY) >> 3);
        if (changes.map_rows[win_row] > stamp) return false;
    }
    if ((lcdc & kSpritesOn) && changes.oam > stamp) {
        // A changed entry matters where it was drawn and where it is now.
        const u32 height = (lcdc & kTallSprites) ? 16 : 8;
        u64 entries = drawn.sprites | SpriteLinesNow(gb, height).lines[ly];
        for (; entries != 0; entries &= entries - 1) {
            if (changes.oam_entries[std::countr_zero(entries)] > stamp) return false;
        }
    }
    return true;
}

}  // namespace

void TGBSYSF::ForgetDrawnLines() {
    drawn_lines = {};
    video_changes = {};
    sprite_lines.valid = false;
    ++background_rows.generation;
    background_rows.any_whole = false;
    background_rows.kept = false;
}

// The slice's end: the whole background rows still current are kept, with what they were drawn
// from, for the next slice (their change counts start again there); the others are forgotten.
void TGBSYSF::KeepDrawnLines() {
    BackgroundRows& rows = background_rows;
    rows.kept = false;
    if (rows.any_whole) {
        const VideoChanges& changes = video_changes;
        for (BackgroundRow& row : rows.rows) {
            if (row.whole && row.key >> 32 == rows.generation && changes.looks <= row.stamp &&
                changes.map_rows[row.map_row] <= row.stamp) {
                row.stamp = 0;
                rows.kept = true;
            } else {
                row.key = 0;
            }
        }
    }
    rows.any_whole = rows.kept;
    if (!rows.kept) {
        ++rows.generation;
        return;
    }
    std::memcpy(rows.vram, memory.vram, sizeof memory.vram);
    std::memcpy(rows.bgp_colors, state.bgp_colors, sizeof state.bgp_colors);
    std::memcpy(rows.cgb_bg_colors, state.cgb_bg_colors, sizeof state.cgb_bg_colors);
}

// The slice's start: the lines are drawn anew, and the kept background rows hold if nothing
// they were drawn from changed since the last slice's end.
void TGBSYSF::CheckKeptLines() {
    drawn_lines = {};
    video_changes = {};
    sprite_lines.valid = false;
    const BackgroundRows& rows = background_rows;
    if (rows.kept &&
        (std::memcmp(rows.vram, memory.vram, sizeof memory.vram) != 0 ||
         std::memcmp(rows.bgp_colors, state.bgp_colors, sizeof state.bgp_colors) != 0 ||
         std::memcmp(rows.cgb_bg_colors, state.cgb_bg_colors, sizeof state.cgb_bg_colors) != 0)) {
        ForgetDrawnLines();
    }
}

bool TGBSYSF::ProcessorHasByteShuffle() {
#if KIVO_BYTE_SHUFFLE
    // The feature table may not be filled yet when a machine is a static object.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
#else
    return false;
#endif
}

void TGBSYSF::RenderLine() {
    if (exact_slice) {
        RenderLineExact();
        return;
    }
    GbState& s = state;
    const u32 ly = s.LY;
    // Frames the frame-skip counter will not show are not drawn; with the display off the
    // frame buffer keeps the last picture.
    if (!screen_enable || s.frame_skip_count >= frame_skip_threshold || !(s.LCDC & kLcdOn) ||
        ly >= kScreenHeight) {
        return;
    }
    const u8 lcdc = s.LCDC;
    const u64 registers = u64{lcdc} | u64{s.SCX} << 8 | u64{s.SCY} << 16 | u64{s.WX} << 24 |
                          u64{s.WY} << 32 | u64{shuffle_rows} << 40 | u64{1} << 48;
    DrawnLine& drawn = drawn_lines[ly];
    if (drawn.registers == registers && LineUnchanged(*this, drawn)) return;
    drawn = {registers, 0, video_changes.count};

    u8* const line = memory.frame_buffer + ly * kLineBytes;
    const bool cgb = s.CGB_MODE != 0;
    const bool cgb_system = IsColourSystem();
    // LCDC bit 0: in colour mode it only lifts the background's priority over sprites; on the
    // colour console running a monochrome game it hides background and window; on the
    // monochrome console it hides the background alone.
    const bool bg_on = screen_layer_bg && ((lcdc & kBgOn) || (cgb_system && cgb));
    const bool win_on =
        screen_layer_win && (lcdc & kWinOn) && !(!(lcdc & kBgOn) && cgb_system && !cgb);
    const bool sprites_on = screen_layer_sprites && (lcdc & kSpritesOn);

    // The line starts black with tag 0, which is what a hidden background leaves.
    if (!bg_on) {
        std::memset(line, 0, kLineBytes);
    } else {
        const u32 y = (ly + s.SCY) & 0xFF;
        const u32 row_base = ((lcdc & kBgMapHigh) ? kMap1 : kMap0) + (y >> 3) * 32;
        const u32 fine = s.SCX & 7;
        // The first tile's pixel SCX mod 8 lands on visible pixel 0; a partial tile at each
        // edge makes 21 tiles, which still end before the line's last pixel (175).
        const u32 first = 8 - fine;
        const int tiles = fine != 0 ? 21 : 20;
        // Background pixels replace whole pixels, tag included: only the margins around them
        // need clearing. Clearing both 8-pixel margins whole, before the tiles overwrite what
        // they cover of them, takes two fixed-size stores instead of two measured ones.
        static_assert(kLineBytes == 176 * 4);
        std::memset(line, 0, 8 * 4);
        std::memset(line + 168 * 4, 0, 8 * 4);
        DrawBackground(*this, line + first * 4, row_base, tiles, y);
    }

    // The window uses LY - WY as its line: there is no internal window line counter, so a
    // window hidden and shown again mid-frame continues at that line.
    if (win_on && s.WX <= 166 && s.WY < kScreenHeight && s.WY <= ly) {
        const u32 win_line = ly - s.WY;
        const u32 row_base = ((lcdc & kWinMapHigh) ? kMap1 : kMap0) + (win_line >> 3) * 32;
        // Starts at visible pixel WX - 7; at most 21 tiles, ending by line pixel 174.
        u8* dst = line + (s.WX + 1u) * 4;
        const int tiles = (167 - s.WX) / 8 + 1;
        DrawLayerRow<1>(*this, dst, row_base, 0, tiles, win_line & 7);
    }

    if (sprites_on) {
        const u32 height = (lcdc & kTallSprites) ? 16 : 8;
        const u8* oam = memory.oam_page;
        const SpriteLines& cache = SpriteLinesNow(*this, height);
        drawn.sprites = cache.lines[ly];
        PixelPairs<false> pixels;
        // Entry 39 first, so lower entries are drawn later and end up on top whatever their X.
        // Every sprite on the line is drawn: no ten-sprite limit.
        for (u64 on_line = cache.lines[ly]; on_line != 0;) {
            const int i = 63 - std::countl_zero(on_line);
            on_line &= ~(u64{1} << i);
            const u8* e = oam + i * 4;
            const u32 sx = e[1];
            const u32 attr = e[3];
            const auto [tile, row] = SpriteRowOn(e, ly, height);
            const u64* pairs;
            u32 bank = 0;
            if (cgb) {
                const u32 n = attr & kAttrPalette;
                pairs = pixels.Get(n, s.cgb_obj_colors + n * 16, 0, 0);
                bank = (attr & kAttrBank) ? kBank1 : 0;
            } else if (attr & kAttrObp1) {
                pairs = pixels.Get(1, s.obp1_colors, 0, 0);
            } else {
                pairs = pixels.Get(0, s.obp0_colors, 0, 0);
            }
            const u8* data = memory.vram + bank + tile * 16 + 2 * (row & 7);
            // Line pixel X is visible pixel X - 8; X < 168 keeps all 8 pixels inside the line.
            DecodeTileRow(data[0], data[1], (attr & kAttrXFlip) != 0, pairs, line + sx * 4, 2,
                          (attr & kAttrPriority) != 0);
        }
    }
}

void TGBSYSF::RenderLineExact() {
    GbState& s = state;
    const u32 ly = s.LY;
    if (ly == 0) s.window_line = 0;
    if (!(s.LCDC & kLcdOn) || ly >= kScreenHeight) return;
    const u8 lcdc = s.LCDC;
    const bool cgb = s.CGB_MODE != 0;
    const bool bg_win_on = cgb || (lcdc & kBgOn);
    // The counter moves on only on lines where the console draws the window, also in frames
    // that are not shown and with the window layer hidden by the user.
    const bool win_drawn = bg_win_on && (lcdc & kWinOn) && s.WX <= 166 && s.WY <= ly;
    const u32 win_line = s.window_line;
    if (win_drawn) s.window_line = static_cast<u8>(win_line + 1);
    if (!screen_enable || s.frame_skip_count >= frame_skip_threshold) return;

    u8* const line = memory.frame_buffer + ly * kLineBytes;
    if (!bg_win_on) {
        // White, with colour number 0 under every object.
        for (u32 x = 0; x < kLineBytes; x += 4) StorePixel(line + x, 0x00FFFFFF);
    } else if (!screen_layer_bg) {
        std::memset(line, 0, kLineBytes);
    } else {
        const u32 y = (ly + s.SCY) & 0xFF;
        const u32 row_base = ((lcdc & kBgMapHigh) ? kMap1 : kMap0) + (y >> 3) * 32;
        const u32 fine = s.SCX & 7;
        std::memset(line, 0, 8 * 4);
        std::memset(line + 168 * 4, 0, 8 * 4);
        DrawLayerRow<0>(*this, line + (8 - fine) * 4, row_base, s.SCX >> 3, fine != 0 ? 21 : 20,
                        y & 7);
    }
    if (win_drawn && screen_layer_win) {
        // The window takes the background's place: drawn as background, its pixels carry their
        // own colour number and priority attribute into the tag.
        const u32 row_base = ((lcdc & kWinMapHigh) ? kMap1 : kMap0) + (win_line >> 3) * 32;
        DrawLayerRow<0>(*this, line + (s.WX + 1u) * 4, row_base, 0, (167 - s.WX) / 8 + 1,
                        win_line & 7);
    }
    if (!screen_layer_sprites || !(lcdc & kSpritesOn)) return;

    // The OAM search takes the first ten entries whose rows cover the line, whatever their X.
    const u32 height = (lcdc & kTallSprites) ? 16 : 8;
    const u8* oam = memory.oam_page;
    const SpriteLines& cache = SpriteLinesNow(*this, height);
    u64 on_line = cache.any_x[ly];
    if (on_line == 0) return;
    u8 chosen[10];
    u32 count = 0;
    for (; on_line != 0 && count < 10; on_line &= on_line - 1) {
        chosen[count++] = static_cast<u8>(std::countr_zero(on_line));
    }
    // Highest priority first: in colour mode OAM order; otherwise the smaller X, then OAM order.
    if (!cgb) {
        for (u32 k = 1; k < count; ++k) {
            const u8 entry = chosen[k];
            u32 j = k;
            for (; j > 0 && oam[chosen[j - 1] * 4 + 1] > oam[entry * 4 + 1]; --j) {
                chosen[j] = chosen[j - 1];
            }
            chosen[j] = entry;
        }
    }
    // An object's opaque pixel hides those of lower priority, also where the background then
    // hides it in turn.
    bool taken[kLineBytes / 4] = {};
    const bool over_all = cgb && !(lcdc & kBgOn);
    for (u32 k = 0; k < count; ++k) {
        const u8* e = oam + chosen[k] * 4;
        const u32 sx = e[1];
        if (sx == 0 || sx >= 168) continue;
        const u32 attr = e[3];
        const auto [tile, row] = SpriteRowOn(e, ly, height);
        const u8* palette;
        u32 bank = 0;
        if (cgb) {
            palette = s.cgb_obj_colors + (attr & kAttrPalette) * 16;
            bank = (attr & kAttrBank) ? kBank1 : 0;
        } else {
            palette = (attr & kAttrObp1) ? s.obp1_colors : s.obp0_colors;
        }
        const u8* data = memory.vram + bank + tile * 16 + 2 * (row & 7);
        const std::array<u16, 256>& plane = (attr & kAttrXFlip) ? kPlaneFlipped : kPlane;
        u32 colours = static_cast<u32>(plane[data[0]]) | static_cast<u32>(plane[data[1]]) << 1;
        const bool behind = (attr & kAttrPriority) != 0;
        for (u32 i = 0; i < 8; ++i, colours >>= 2) {
            const u32 c = colours & 3;
            if (c == 0 || taken[sx + i]) continue;
            taken[sx + i] = true;
            u8* p = line + (sx + i) * 4;
            const u8 tag = p[3];
            if (over_all || (tag & 3) == 0 || !(behind || (tag & kTagPriority))) {
                StorePixel(p, (LoadPixel(palette + 4 * c) & 0x00FFFFFF) | u32{tag} << 24);
            }
        }
    }
}

void TGBSYSF::DecodeTileRow(u8 lo, u8 hi, bool xflip, const u64* pairs, u8* dst, int kind,
                            bool behind_bg) {
    const std::array<u16, 256>& plane = xflip ? kPlaneFlipped : kPlane;
    u32 colours = static_cast<u32>(plane[lo]) | static_cast<u32>(plane[hi]) << 1;

    if (kind == 0) {
        // Background pixels are always written, whole: colour and tag.
        for (int k = 0; k < 4; ++k, colours >>= 4) StorePair(dst + 8 * k, pairs[colours & 15]);
        return;
    }

    if (kind == 1) {
        // The window keeps the background's colour number in the tag beside its own, so a
        // window pixel of colour 0 over a background pixel of colour 1-3 still hides a sprite
        // that is behind the background.
        for (int k = 0; k < 4; ++k, colours >>= 4) {
            u8* p = dst + 8 * k;
            StorePair(p, pairs[colours & 15] | (LoadPair(p) & 0xFF000000FF000000));
        }
        return;
    }

    // Sprites: colour 0 is transparent. In colour mode with LCDC bit 0 clear the sprite is over
    // everything; otherwise a background tile with the priority attribute, then the sprite's
    // own behind-background flag, let only colour 0 of what lies under it show the sprite.
    const bool over_all = !(state.LCDC & kBgOn) && IsColourSystem() && state.CGB_MODE != 0;
    for (int i = 0; i < 8; ++i, colours >>= 2) {
        const u32 c = colours & 3;
        if (c == 0) continue;
        u8* p = dst + 4 * i;
        const u8 tag = p[3];
        bool visible;
        if (over_all) {
            visible = true;
        } else if (tag & kTagPriority) {
            visible = (tag & 3) == 0;
        } else {
            visible = !behind_bg || tag == 0;
        }
        if (visible) StorePixel(p, static_cast<u32>(pairs[c]) | static_cast<u32>(tag) << 24);
    }
}

void TGBSYSF::DecodeDmgPalette(u8 value, u8* colors) {
    for (int c = 0; c < 4; ++c) {
        const u8 shade = kShades[(value >> (2 * c)) & 3];
        u8* entry = colors + 4 * c;
        entry[0] = entry[1] = entry[2] = shade;
        entry[3] = 0;
    }
}

void TGBSYSF::WritePaletteByte(u8* colors, u8* index_reg, u8 value) {
    // 32 entries of 4 bytes (8 palettes x 4 colours); two data bytes per entry hold the colour
    // as little-endian 15 bits: red in bits 0-4, green in 5-9, blue in 10-14. Each 5-bit
    // component is stored times 8, with no colour correction, so a written white is 248.
    const u32 i = *index_reg & 0x3F;
    u8* entry = colors + (i >> 1) * 4;
    if ((i & 1) == 0) {
        entry[2] = static_cast<u8>((value & 0x1F) << 3);
        entry[1] = static_cast<u8>((entry[1] & 0xC7) | ((value >> 5) & 7) << 3);
    } else {
        entry[0] = static_cast<u8>(((value >> 2) & 0x1F) << 3);
        entry[1] = static_cast<u8>((entry[1] & 0x3F) | (value & 3) << 6);
    }
    // Bit 7 of the index register advances it after each data write, within bits 0-5.
    if (*index_reg & 0x80) *index_reg = static_cast<u8>((*index_reg & 0xC0) | ((i + 1) & 0x3F));
}

}  // namespace kivo
