// Fixed byte layouts of the machine: the memory arena, the register and state block and the
// sound channel record. State and memory files store these bytes verbatim, so every offset,
// width and byte order below is a file format and is checked at compile time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace kivo {

static_assert(std::endian::native == std::endian::little,
              "state and memory files are little-endian images of these structs");

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i32 = std::int32_t;

// I/O registers, named by the low byte of their address in the 0xFF00 page.
namespace reg {
enum : u8 {
    P1 = 0x00,
    SB = 0x01,
    SC = 0x02,
    DIV = 0x04,
    TIMA = 0x05,
    TMA = 0x06,
    TAC = 0x07,
    IF = 0x0F,
    NR10 = 0x10,
    NR11 = 0x11,
    NR12 = 0x12,
    NR13 = 0x13,
    NR14 = 0x14,
    NR21 = 0x16,
    NR22 = 0x17,
    NR23 = 0x18,
    NR24 = 0x19,
    NR30 = 0x1A,
    NR31 = 0x1B,
    NR32 = 0x1C,
    NR33 = 0x1D,
    NR34 = 0x1E,
    NR41 = 0x20,
    NR42 = 0x21,
    NR43 = 0x22,
    NR44 = 0x23,
    NR50 = 0x24,
    NR51 = 0x25,
    NR52 = 0x26,
    WAVE_RAM = 0x30,  // 0x30-0x3F
    LCDC = 0x40,
    STAT = 0x41,
    SCY = 0x42,
    SCX = 0x43,
    LY = 0x44,
    LYC = 0x45,
    DMA = 0x46,
    BGP = 0x47,
    OBP0 = 0x48,
    OBP1 = 0x49,
    WY = 0x4A,
    WX = 0x4B,
    KEY1 = 0x4D,
    VBK = 0x4F,
    HDMA1 = 0x51,
    HDMA2 = 0x52,
    HDMA3 = 0x53,
    HDMA4 = 0x54,
    HDMA5 = 0x55,
    RP = 0x56,
    BCPS = 0x68,
    BCPD = 0x69,
    OCPS = 0x6A,
    OCPD = 0x6B,
    SVBK = 0x70,
    HRAM = 0x80,  // 0x80-0xFE
    IE = 0xFF,
};
}  // namespace reg

// Interrupt request bits of IF and IE.
namespace irq {
enum : u8 { VBLANK = 0x01, LCD_STAT = 0x02, TIMER = 0x04, SERIAL = 0x08, JOYPAD = 0x10 };
}

// Frame buffer geometry: 144 lines of 176 pixels (4 bytes: blue, green, red, layer tag); the
// visible 160 pixels are pixels 8-167 of each line.
inline constexpr int kScreenWidth = 160;
inline constexpr int kScreenHeight = 144;
inline constexpr int kLinePixels = 176;
inline constexpr int kLineBytes = kLinePixels * 4;  // 704
inline constexpr int kVisibleOffset = 8 * 4;        // byte 32 of a line

// Sound sample block: 2048 stereo frames of two signed 16-bit samples, left first.
inline constexpr int kBlockFrames = 2048;
inline constexpr int kBlockBytes = kBlockFrames * 4;  // 8192

// One sound channel's record; the four records live inside GbState. Every field is u32 with
// modulo 2^32 arithmetic except the two single bytes noted.
struct SoundChannel {
    u32 ch_on;          // channel sounding
    u32 sweep_on;       // frequency sweep running (square 1)
    u32 sweep_count;    // sweep ticks since the last sweep step
    u32 sweep_time;     // NR10 bits 4-7
    u32 sweep_cycles;   // sweep tick accumulator, below 32768 x 2
    u32 sweep_dir;      // NR10 bit 3 as 0 or 8
    u32 sweep_shift;    // NR10 bits 0-2
    u32 env_on;         // volume envelope running
    u32 env_volume;     // current envelope volume 0-15
    u32 env_initial;    // NRx2 bits 4-7
    u32 env_dir;        // NRx2 bit 3 as 0 or 8 (non-zero: increase)
    u32 env_period;     // NRx2 bits 0-2
    u32 env_cycles;     // envelope tick accumulator
    u32 duty;           // NRx1 bits 6-7 (squares)
    u32 duty_step;      // position 0-7 in the square waveform
    u32 freq_cycles;    // waveform timer accumulator
    u32 freq_period;    // clock cycles per waveform step
    u32 freq_lo;        // NRx3
    u32 freq_hi;        // NRx4 bits 0-2
    u32 length_on;      // NRx4 bit 6 as 0 or 0x40
    u32 length_cycles;  // length tick accumulator
    u32 length_count;   // remaining length steps
    u32 wave_level;     // NR32 bits 5-6
    u8 wave_pos;        // wave sample index 0-31
    u8 unused_93[3];
    u32 noise_clock_shift;  // NR43 bits 4-7
    u32 noise_width;        // NR43 bit 3 as 0 or 8
    u32 noise_ratio;        // NR43 bits 0-1
    u8 output;              // current amplitude 0-15
    u8 unused_109[3];
};

static_assert(sizeof(SoundChannel) == 112);
static_assert(offsetof(SoundChannel, ch_on) == 0);
static_assert(offsetof(SoundChannel, sweep_on) == 4);
static_assert(offsetof(SoundChannel, sweep_count) == 8);
static_assert(offsetof(SoundChannel, sweep_time) == 12);
static_assert(offsetof(SoundChannel, sweep_cycles) == 16);
static_assert(offsetof(SoundChannel, sweep_dir) == 20);
static_assert(offsetof(SoundChannel, sweep_shift) == 24);
static_assert(offsetof(SoundChannel, env_on) == 28);
static_assert(offsetof(SoundChannel, env_volume) == 32);
static_assert(offsetof(SoundChannel, env_initial) == 36);
static_assert(offsetof(SoundChannel, env_dir) == 40);
static_assert(offsetof(SoundChannel, env_period) == 44);
static_assert(offsetof(SoundChannel, env_cycles) == 48);
static_assert(offsetof(SoundChannel, duty) == 52);
static_assert(offsetof(SoundChannel, duty_step) == 56);
static_assert(offsetof(SoundChannel, freq_cycles) == 60);
static_assert(offsetof(SoundChannel, freq_period) == 64);
static_assert(offsetof(SoundChannel, freq_lo) == 68);
static_assert(offsetof(SoundChannel, freq_hi) == 72);
static_assert(offsetof(SoundChannel, length_on) == 76);
static_assert(offsetof(SoundChannel, length_cycles) == 80);
static_assert(offsetof(SoundChannel, length_count) == 84);
static_assert(offsetof(SoundChannel, wave_level) == 88);
static_assert(offsetof(SoundChannel, wave_pos) == 92);
static_assert(offsetof(SoundChannel, noise_clock_shift) == 96);
static_assert(offsetof(SoundChannel, noise_width) == 100);
static_assert(offsetof(SoundChannel, noise_ratio) == 104);
static_assert(offsetof(SoundChannel, output) == 108);

// The register and state block: processor registers, I/O register mirrors, bank numbers, timing
// counters, palettes and the sound channels. Register pairs are little-endian u16 values whose
// low byte is the second register of the pair (byte 0 = F, byte 1 = A).
struct GbState {
    u16 AF;
    u16 BC;
    u16 DE;
    u16 HL;
    u16 PC;
    u16 SP;
    u8 flag_halt;
    u8 flag_stop;
    // The window's own line counter, which only the console's rules keep (system_exact_hardware):
    // the window line drawn next in this frame. Unused byte otherwise; any value is safe.
    u8 window_line;
    u8 unused_15;
    u32 op_cycles;     // clock cycles of the step just executed
    u32 slice_cycles;  // cycles accumulated in the current run slice
    u8 hdma_active;
    u8 unused_25[3];
    u32 hdma_mode;  // 0 = general copy, 0x80 = 16 bytes per H-blank
    u16 hdma_src;
    u16 hdma_dst;
    i32 hdma_length;  // bytes still to copy
    u8 CGB_MODE;
    u8 CGB_double_speed;
    u8 DIV;
    u8 TIMA;
    u8 TMA;
    u8 TAC;
    u8 unused_46[2];
    i32 div_cycles;
    i32 tima_cycles;
    u8 IME;
    u8 IF;  // also changed by the key handlers on the GUI thread: use atomic_ref
    u8 IE;
    u8 BadOpCode;
    u8 bad_opcode_shown;
    u8 joy_dir;  // active low: bit 0 Right, 1 Left, 2 Up, 3 Down (GUI thread too)
    u8 joy_btn;  // active low: bit 0 A, 1 B, 2 Select, 3 Start (GUI thread too)
    u8 joy_sel_dir;
    u8 joy_sel_btn;
    u8 unused_65[3];
    i32 lcd_cycles;
    u8 frame_ready;
    u8 unused_73[3];
    i32 frame_skip_count;
    u8 LCDC;
    u8 STAT;
    u8 SCY;
    u8 SCX;
    u8 LY;
    u8 LYC;
    u8 BGP;
    u8 OBP0;
    u8 OBP1;
    u8 WY;
    u8 WX;
    u8 BCPS;
    u8 OCPS;
    u8 bgp_colors[16];  // 4 entries: blue, green, red, 0
    u8 obp0_colors[16];
    u8 obp1_colors[16];
    u8 cgb_bg_colors[128];  // 8 palettes x 4 entries x 4 bytes
    u8 cgb_obj_colors[128];
    u8 unused_397[3];
    u32 Bank_ROM0;
    u32 Bank_ROM1;
    u32 Bank_VRAM;
    u32 Bank_WRAM0;
    u32 Bank_WRAM1;
    u32 Bank_XRAM;
    u32 Bank_ROM_RAM_MODE;
    u8 snd_master_on;
    u8 so1_on;
    u8 so1_volume;
    u8 so2_on;
    u8 so2_volume;
    u8 unused_433[3];
    SoundChannel channels[4];  // square 1, square 2, wave, noise
    i32 snd_buffer_fill;       // stereo frames in sample_buffer since the last hand-over
    i32 snd_rate_acc;          // sample-rate accumulator
};

static_assert(sizeof(GbState) == 892);
static_assert(offsetof(GbState, AF) == 0);
static_assert(offsetof(GbState, BC) == 2);
static_assert(offsetof(GbState, DE) == 4);
static_assert(offsetof(GbState, HL) == 6);
static_assert(offsetof(GbState, PC) == 8);
static_assert(offsetof(GbState, SP) == 10);
static_assert(offsetof(GbState, flag_halt) == 12);
static_assert(offsetof(GbState, flag_stop) == 13);
static_assert(offsetof(GbState, window_line) == 14);
static_assert(offsetof(GbState, op_cycles) == 16);
static_assert(offsetof(GbState, slice_cycles) == 20);
static_assert(offsetof(GbState, hdma_active) == 24);
static_assert(offsetof(GbState, hdma_mode) == 28);
static_assert(offsetof(GbState, hdma_src) == 32);
static_assert(offsetof(GbState, hdma_dst) == 34);
static_assert(offsetof(GbState, hdma_length) == 36);
static_assert(offsetof(GbState, CGB_MODE) == 40);
static_assert(offsetof(GbState, CGB_double_speed) == 41);
static_assert(offsetof(GbState, DIV) == 42);
static_assert(offsetof(GbState, TIMA) == 43);
static_assert(offsetof(GbState, TMA) == 44);
static_assert(offsetof(GbState, TAC) == 45);
static_assert(offsetof(GbState, div_cycles) == 48);
static_assert(offsetof(GbState, tima_cycles) == 52);
static_assert(offsetof(GbState, IME) == 56);
static_assert(offsetof(GbState, IF) == 57);
static_assert(offsetof(GbState, IE) == 58);
static_assert(offsetof(GbState, BadOpCode) == 59);
static_assert(offsetof(GbState, bad_opcode_shown) == 60);
static_assert(offsetof(GbState, joy_dir) == 61);
static_assert(offsetof(GbState, joy_btn) == 62);
static_assert(offsetof(GbState, joy_sel_dir) == 63);
static_assert(offsetof(GbState, joy_sel_btn) == 64);
static_assert(offsetof(GbState, lcd_cycles) == 68);
static_assert(offsetof(GbState, frame_ready) == 72);
static_assert(offsetof(GbState, frame_skip_count) == 76);
static_assert(offsetof(GbState, LCDC) == 80);
static_assert(offsetof(GbState, STAT) == 81);
static_assert(offsetof(GbState, SCY) == 82);
static_assert(offsetof(GbState, SCX) == 83);
static_assert(offsetof(GbState, LY) == 84);
static_assert(offsetof(GbState, LYC) == 85);
static_assert(offsetof(GbState, BGP) == 86);
static_assert(offsetof(GbState, OBP0) == 87);
static_assert(offsetof(GbState, OBP1) == 88);
static_assert(offsetof(GbState, WY) == 89);
static_assert(offsetof(GbState, WX) == 90);
static_assert(offsetof(GbState, BCPS) == 91);
static_assert(offsetof(GbState, OCPS) == 92);
static_assert(offsetof(GbState, bgp_colors) == 93);
static_assert(offsetof(GbState, obp0_colors) == 109);
static_assert(offsetof(GbState, obp1_colors) == 125);
static_assert(offsetof(GbState, cgb_bg_colors) == 141);
static_assert(offsetof(GbState, cgb_obj_colors) == 269);
static_assert(offsetof(GbState, Bank_ROM0) == 400);
static_assert(offsetof(GbState, Bank_ROM1) == 404);
static_assert(offsetof(GbState, Bank_VRAM) == 408);
static_assert(offsetof(GbState, Bank_WRAM0) == 412);
static_assert(offsetof(GbState, Bank_WRAM1) == 416);
static_assert(offsetof(GbState, Bank_XRAM) == 420);
static_assert(offsetof(GbState, Bank_ROM_RAM_MODE) == 424);
static_assert(offsetof(GbState, snd_master_on) == 428);
static_assert(offsetof(GbState, so1_on) == 429);
static_assert(offsetof(GbState, so1_volume) == 430);
static_assert(offsetof(GbState, so2_on) == 431);
static_assert(offsetof(GbState, so2_volume) == 432);
static_assert(offsetof(GbState, channels) == 436);
static_assert(offsetof(GbState, channels) + 1 * sizeof(SoundChannel) == 548);
static_assert(offsetof(GbState, channels) + 2 * sizeof(SoundChannel) == 660);
static_assert(offsetof(GbState, channels) + 3 * sizeof(SoundChannel) == 772);
static_assert(offsetof(GbState, snd_buffer_fill) == 884);
static_assert(offsetof(GbState, snd_rate_acc) == 888);

// The memory arena. Regions sit at fixed offsets; the unused gaps are part of the layout.
struct GbMemory {
    u8 wram[0x8000];     // work RAM: 8 banks of 4 KB
    u8 xram[0x20000];    // cartridge RAM: 16 banks of 8 KB
    u8 vram[0x4000];     // video RAM: 2 banks of 8 KB
    u8 oam_page[0x100];  // 0xFE00-0xFEFF
    u8 io_page[0x100];   // 0xFF00-0xFFFF: last written values, wave RAM, high RAM, IE
    u8 unused_2C200[11264];
    u8 frame_buffer[kScreenHeight * kLineBytes];  // 144 lines of 704 bytes
    u8 unused_47A00[11264];
    u8 sample_buffer[kBlockBytes];  // 2048 stereo frames of two i16
    u8 unused_4C600[122880];
    // Offset (not an address: a pointer does not fit 4 bytes on a 64-bit host) of the next free
    // slot in sample_buffer; always 4 x snd_buffer_fill. Not part of any file.
    u32 sample_write_ptr;
};

static_assert(sizeof(GbMemory) == 435716);
static_assert(offsetof(GbMemory, wram) == 0x00000);
static_assert(offsetof(GbMemory, xram) == 0x08000);
static_assert(offsetof(GbMemory, vram) == 0x28000);
static_assert(offsetof(GbMemory, oam_page) == 0x2C000);
static_assert(offsetof(GbMemory, io_page) == 0x2C100);
static_assert(offsetof(GbMemory, frame_buffer) == 0x2EE00);
static_assert(offsetof(GbMemory, sample_buffer) == 0x4A600);
static_assert(offsetof(GbMemory, sample_write_ptr) == 0x6A600);

}  // namespace kivo
