// The 0xFF00 page: hardware registers, wave RAM, high RAM and IE, the joypad entry points, OAM DMA
// and the colour console's video DMA.
//
// Every write first lands in io_page, so a register without a mirror in GbState reads back its
// last written byte; the registers the rest of the machine uses are then decoded into their
// GbState fields here, once per write, rather than on every use.
//
// The joypad nibbles and IF are also changed by the GUI thread's key handlers while the worker
// runs; both sides reach them only through std::atomic_ref, so neither tears nor loses the
// other's update.
#include <atomic>
#include <cstring>

#include "machine/cpu_tables.h"
#include "machine/gbsys.h"

namespace kivo {

namespace {

u8 LoadShared(const u8& byte) {
    // The byte is not const in the machine object; the cast only serves the const read path.
    return std::atomic_ref<u8>(const_cast<u8&>(byte)).load(std::memory_order_acquire);
}

// Squares step their 8-position duty pattern every (2048 - f) x 4 cycles; the wave channel steps
// its 32 samples every (2048 - f) x 2 cycles.
void UpdateTonePeriod(SoundChannel& ch, bool wave) {
    const u32 f = (ch.freq_hi & 7u) * 256u + (ch.freq_lo & 0xFFu);
    ch.freq_period = (2048u - f) * (wave ? 2u : 4u);
}

// NRx1 of the squares and the noise channel: length in 64ths, and the duty for the squares.
void WriteLengthDuty(SoundChannel& ch, u8 value, bool square) {
    ch.length_count = 64u - (value & 0x3Fu);
    if (square) ch.duty = value >> 6;
}

// NRx2: initial volume, direction and step length of the envelope. The level restarts at once.
void WriteEnvelope(SoundChannel& ch, u8 value) {
    ch.env_initial = value >> 4;
    ch.env_dir = value & 0x08u;
    ch.env_period = value & 0x07u;
    ch.env_on = ch.env_period != 0 ? 1u : 0u;
    ch.output = static_cast<u8>(ch.env_initial);
    ch.env_volume = ch.env_initial;
}

// P1: a program selects a key group by writing its bit as 0.
void WriteJoypadSelect(GbState& s, u8 value) {
    s.joy_sel_dir = (value & 0x10) ? 0 : 1;
    s.joy_sel_btn = (value & 0x20) ? 0 : 1;
}

// NR10: square 1's frequency sweep.
void WriteSweep(SoundChannel& ch, u8 value) {
    ch.sweep_time = (value >> 4) & 0x0Fu;
    ch.sweep_dir = value & 0x08u;
    ch.sweep_shift = value & 0x07u;
    ch.sweep_on = ch.sweep_shift != 0 ? 1u : 0u;
}

// NR13, NR23, NR33: the low eight bits of a tone channel's frequency.
void WriteFrequencyLow(SoundChannel& ch, u8 value, bool wave) {
    ch.freq_lo = value;
    UpdateTonePeriod(ch, wave);
}

// NR43: the noise channel's step period. Only bits 0-1 of the ratio count; the width bit (the
// 7-bit counter) is kept but changes nothing: the noise is not a shift register here.
void WriteNoisePeriod(SoundChannel& ch, u8 value) {
    ch.noise_clock_shift = (value >> 4) & 0x0Fu;
    ch.noise_width = value & 0x08u;
    ch.noise_ratio = value & 0x03u;
    ch.freq_period = (2u << ch.noise_clock_shift) * (ch.noise_ratio * 8u);
}

// NR50: the two terminals' volumes. Bits 3 and 7 route the cartridge's own sound, which no
// cartridge here produces.
void WriteMasterVolume(GbState& s, u8 value) {
    s.so1_volume = value & 7;
    s.so2_volume = (value >> 4) & 7;
    s.so1_on = 1;
    s.so2_on = 1;
}

// BGP, OBP0, OBP1: the register and its four decoded shades; a change of shade is counted for
// the renderer (drawn_lines).
void WriteDmgPalette(TGBSYSF& gb, u8& reg_value, u8* colors, u8 value) {
    u8 decoded[16];
    TGBSYSF::DecodeDmgPalette(value, decoded);
    if (std::memcmp(decoded, colors, sizeof decoded) != 0) {
        gb.video_changes.looks = ++gb.video_changes.count;
    }
    reg_value = value;
    std::memcpy(colors, decoded, sizeof decoded);
}

// SVBK: bank 0 cannot be mapped at 0xD000; selecting it gives bank 1.
void WriteWramBank(GbState& s, u8 value) {
    s.Bank_WRAM1 = (value & 7u) != 0 ? (value & 7u) : 1u;
}

// NR14, NR24, NR34, NR44 (channel c). The trigger comes first, so the length enable and
// frequency written with it apply to the restarted note.
void WriteChannelControl(TGBSYSF& gb, int c, u8 value) {
    SoundChannel& ch = gb.state.channels[c];
    if (value & 0x80) gb.TriggerChannel(c);
    ch.length_on = value & 0x40u;
    if (c < 3) {
        ch.freq_hi = value & 0x07u;
        UpdateTonePeriod(ch, c == 2);
    }
}

// NR30: bit 7 switches the wave channel on (restarting it) or off.
void WriteWaveSwitch(TGBSYSF& gb, u8 value) {
    gb.state.channels[2].ch_on = value & 0x80u;
    if (value & 0x80) {
        gb.TriggerChannel(2);
    } else {
        gb.StopChannel(2);
    }
}

// DMA: 160 bytes from any page into OAM, complete before the next instruction.
void OamDma(TGBSYSF& gb, u8 value) {
    const u16 source = static_cast<u16>(value << 8);
    for (u16 i = 0; i < 160; ++i) {
        gb.BusWrite(static_cast<u16>(0xFE00 + i), gb.BusRead(static_cast<u16>(source + i)));
    }
}

// One video DMA run of count bytes through the bus, advancing the 16-bit source and destination
// (they wrap at 0xFFFF like the console's address registers).
void CopyVideoDma(TGBSYSF& gb, int count) {
    GbState& s = gb.state;
    for (int i = 0; i < count; ++i) {
        gb.BusWrite(s.hdma_dst, gb.BusRead(s.hdma_src));
        ++s.hdma_src;
        ++s.hdma_dst;
    }
}

// HDMA5 written in colour mode. The source and destination come from HDMA1-HDMA4 as last
// written; their low four bits are ignored, and the destination starts in video RAM.
void StartVideoDma(TGBSYSF& gb, u8 value) {
    GbState& s = gb.state;
    const u8* io = gb.memory.io_page;
    s.hdma_active = 1;
    s.hdma_length = (value & 0x7F) * 16 + 16;
    s.hdma_mode = value & 0x80u;
    s.hdma_src = static_cast<u16>(io[reg::HDMA1] << 8 | (io[reg::HDMA2] & 0xF0));
    s.hdma_dst = static_cast<u16>(0x8000 | (io[reg::HDMA3] & 0x1F) << 8 | (io[reg::HDMA4] & 0xF0));
    if (s.hdma_mode == 0) {
        // A general copy runs to its end at once. Written while an H-blank copy is pending, it
        // replaces that copy rather than cancelling it.
        CopyVideoDma(gb, s.hdma_length);
        s.hdma_active = 0;
    }
    // An H-blank copy leaves the written value, which counts down one per block.
    if (!s.hdma_active) gb.memory.io_page[reg::HDMA5] = 0xFF;
}

}  // namespace

void TGBSYSF::IoWrite(u16 address, u8 value) {
    const u8 n = address & 0xFF;
    // The units catch up before a register that decides when they next act changes. After IF
    // and IE, the step ends with the deferred work, where the run slice looks for interrupts.
    if (n >= reg::NR10 && n <= reg::WAVE_RAM + 15) {
        SyncDeferred();
        SoundSync();
    } else if (n == reg::DIV || n == reg::TIMA || n == reg::TAC || n == reg::STAT || n == reg::IF ||
               n == reg::IE) {
        SyncDeferred();
    }
    memory.io_page[n] = value;
    GbState& s = state;
    SoundChannel* const ch = s.channels;
    switch (n) {
        case reg::P1: WriteJoypadSelect(s, value); break;
        case reg::DIV: s.DIV = 0; break;  // the prescaler (div_cycles) keeps running
        case reg::TIMA: s.TIMA = value; break;
        case reg::TMA: s.TMA = value; break;
        case reg::TAC: s.TAC = value; break;  // the prescaler (tima_cycles) keeps running
        case reg::IF: std::atomic_ref<u8>(s.IF).store(value, std::memory_order_release); break;

        case reg::NR10: WriteSweep(ch[0], value); break;
        case reg::NR11: WriteLengthDuty(ch[0], value, true); break;
        case reg::NR12: WriteEnvelope(ch[0], value); break;
        case reg::NR13: WriteFrequencyLow(ch[0], value, false); break;
        case reg::NR14: WriteChannelControl(*this, 0, value); break;
        case reg::NR21: WriteLengthDuty(ch[1], value, true); break;
        case reg::NR22: WriteEnvelope(ch[1], value); break;
        case reg::NR23: WriteFrequencyLow(ch[1], value, false); break;
        case reg::NR24: WriteChannelControl(*this, 1, value); break;
        case reg::NR30: WriteWaveSwitch(*this, value); break;
        case reg::NR31: ch[2].length_count = 256u - value; break;
        case reg::NR32: ch[2].wave_level = (value >> 5) & 3u; break;
        case reg::NR33: WriteFrequencyLow(ch[2], value, true); break;
        case reg::NR34: WriteChannelControl(*this, 2, value); break;
        case reg::NR41: WriteLengthDuty(ch[3], value, false); break;
        case reg::NR42: WriteEnvelope(ch[3], value); break;
        case reg::NR43: WriteNoisePeriod(ch[3], value); break;
        case reg::NR44: WriteChannelControl(*this, 3, value); break;
        case reg::NR50: WriteMasterVolume(s, value); break;
        // Switching the sound unit off silences and freezes it; no register is cleared.
        case reg::NR52: s.snd_master_on = (value & 0x80) ? 1 : 0; break;

        case reg::LCDC: s.LCDC = value; break;
        case reg::STAT: s.STAT = value; break;  // the mode bits too: the timing follows them
        case reg::SCY: s.SCY = value; break;
        case reg::SCX: s.SCX = value; break;
        case reg::LY: s.LY = 0; break;  // any write restarts the line counter
        case reg::LYC: s.LYC = value; break;
        case reg::DMA: OamDma(*this, value); break;
        case reg::BGP: WriteDmgPalette(*this, s.BGP, s.bgp_colors, value); break;
        case reg::OBP0: WriteDmgPalette(*this, s.OBP0, s.obp0_colors, value); break;
        case reg::OBP1: WriteDmgPalette(*this, s.OBP1, s.obp1_colors, value); break;
        case reg::WY: s.WY = value; break;
        case reg::WX: s.WX = value; break;

        // Colour-mode registers: outside colour mode they only reach io_page.
        case reg::VBK:
            if (s.CGB_MODE) s.Bank_VRAM = value & 1u;
            break;
        case reg::HDMA5:
            if (s.CGB_MODE) StartVideoDma(*this, value);
            break;
        case reg::BCPS: s.BCPS = value; break;
        case reg::BCPD:
            if (s.CGB_MODE) WritePaletteByte(s.cgb_bg_colors, &s.BCPS, value);
            video_changes.looks = ++video_changes.count;
            break;
        case reg::OCPS: s.OCPS = value; break;
        case reg::OCPD:
            if (s.CGB_MODE) WritePaletteByte(s.cgb_obj_colors, &s.OCPS, value);
            video_changes.looks = ++video_changes.count;
            break;
        case reg::SVBK:
            if (s.CGB_MODE) WriteWramBank(s, value);
            break;

        case reg::IE: s.IE = value; break;
        default:
            // Serial (no transfer ever happens), NR51, wave RAM, KEY1 (the speed switch is the
            // processor's STOP), HDMA1-HDMA4, infrared and high RAM are plain bytes.
            break;
    }
}

u8 TGBSYSF::IoRead(u16 address) const {
    const u8 n = address & 0xFF;
    const u8* io = memory.io_page;
    const GbState& s = state;
    switch (n) {
        case reg::P1: {
            // Both groups selected: the direction keys win. None selected: nothing pressed.
            u8 keys = 0x0F;
            if (s.joy_sel_dir) {
                keys = LoadShared(s.joy_dir);
            } else if (s.joy_sel_btn) {
                keys = LoadShared(s.joy_btn);
            }
            return static_cast<u8>((io[reg::P1] & 0xF0) | (keys & 0x0F));
        }
        // The run slice may hold cycles it has not applied yet: the divider and the timer count
        // them here as they will when they are applied.
        case reg::DIV: return DividerAfter(s, deferred_cycles);
        case reg::TIMA: return TimerCounterAfter(s, deferred_cycles);
        case reg::TMA: return s.TMA;
        case reg::TAC: return s.TAC;
        case reg::IF:
            // The console's IF has five bits; the other three read as 1.
            return exact_slice ? static_cast<u8>(LoadShared(s.IF) | 0xE0) : LoadShared(s.IF);
        case reg::NR52: {
            u8 on = 0;
            for (int c = 0; c < 4; ++c) {
                if (s.channels[c].ch_on != 0) on |= static_cast<u8>(1 << c);
            }
            return static_cast<u8>((io[reg::NR52] & 0xF0) | on);
        }
        case reg::LCDC: return s.LCDC;
        case reg::STAT: return s.STAT;
        case reg::SCY: return s.SCY;
        case reg::SCX: return s.SCX;
        case reg::LY: return s.LY;
        case reg::LYC: return s.LYC;
        case reg::BGP: return s.BGP;
        case reg::OBP0: return s.OBP0;
        case reg::OBP1: return s.OBP1;
        case reg::WY: return s.WY;
        case reg::WX: return s.WX;
        case reg::IE: return s.IE;
        default: return io[n];
    }
}

void TGBSYSF::HblankDmaStep() {
    if (!state.hdma_active) return;
    CopyVideoDma(*this, 16);
    // hdma_length may come from a state file with any value: the count-down is done in u32 and
    // the end is decided on the value before it, so no sum can overflow.
    const i32 left = state.hdma_length;
    state.hdma_length = static_cast<i32>(static_cast<u32>(left) - 16u);
    --memory.io_page[reg::HDMA5];
    if (left <= 16) {
        state.hdma_active = 0;
        memory.io_page[reg::HDMA5] = 0xFF;
    }
}

// Key 0-3 are the direction keys (Right, Left, Up, Down), 4-7 the buttons (A, B, Select, Start);
// each is one active-low bit of its group's nibble.
void TGBSYSF::PressButton(int key) {
    if (key >= 0 && key < 8) {
        u8& group = key < 4 ? state.joy_dir : state.joy_btn;
        std::atomic_ref<u8>(group).fetch_and(static_cast<u8>(~(1u << (key & 3))),
                                             std::memory_order_release);
    }
    // Any key press wakes the joypad interrupt, also one bound to no button.
    RequestInterrupt(irq::JOYPAD);
}

void TGBSYSF::ReleaseButton(int key) {
    if (key < 0 || key >= 8) return;
    u8& group = key < 4 ? state.joy_dir : state.joy_btn;
    std::atomic_ref<u8>(group).fetch_or(static_cast<u8>(1u << (key & 3)),
                                        std::memory_order_release);
}

}  // namespace kivo
