// The LCD controller's clock: the four modes of each line, LY through the 154 lines of a frame,
// the V-blank and LCD STAT interrupt requests, and the frame-skip counter that decides which
// frames are drawn and shown.
//
// The timing is line-granular: every visible line is OAM search (mode 2), pixel transfer
// (mode 3) and H-blank (mode 0) of fixed lengths, and the renderer draws the whole line at the
// start of mode 3. The mode lives only in STAT bits 0-1, so a program's STAT write moves the
// machine into whatever mode it wrote, and a loaded state resumes exactly where it was saved.
#include <cstdint>

#include "machine/cpu_tables.h"
#include "machine/gbsys.h"

namespace kivo {

namespace {

// Cycles of each mode, indexed by mode | 4 in double speed. A visible line is 81 + 170 + 205
// = 456 cycles, the same as a V-blank line; the doubled processor clock counts twice as many
// cycles per line, so the frame rate against real time does not change.
constexpr i32 kModeLength[8] = {205, 456, 81, 170, 410, 912, 162, 340};

constexpr u8 kVblankLine = 144;
constexpr u8 kLastLine = 153;

// The length of the current mode, from STAT's mode bits and the speed flag.
inline u32 ModeLength(const GbState& s) {
    return static_cast<u32>(kModeLength[(s.CGB_double_speed != 0 ? 4u : 0u) | (s.STAT & 3u)]);
}

// A running machine never holds more than one line and a step in lcd_cycles. A state file can
// hold anything: such a value is dropped rather than drained one transition per step, which
// would keep the LCD racing (or, for a negative count, stalled) for minutes of console time.
constexpr u32 kMaxCarry = 0x10000;

// The transition at the end of the current mode. Kept out of line: it runs a few times per
// line, while LcdStep runs for every instruction.
[[gnu::noinline]] void EndLcdMode(TGBSYSF& gb, u32 cycles, u32 length) {
    GbState& s = gb.state;
    s.lcd_cycles = cycles < kMaxCarry ? static_cast<i32>(cycles - length) : 0;
    switch (s.STAT & 3) {
        case 2:
            gb.SetLcdMode(3);
            gb.RenderLine();
            break;
        case 3:
            gb.SetLcdMode(0);
            gb.HblankDmaStep();
            break;
        case 0:
            ++s.LY;
            gb.CompareLy();
            if (s.LY == kVblankLine) {
                // The frame is complete: coincidence, mode 1, V-blank and the frame-skip step
                // come in this order within the same step.
                gb.SetLcdMode(1);
                gb.RequestInterrupt(irq::VBLANK);
                gb.FrameSkipStep();
            } else {
                gb.SetLcdMode(2);
            }
            break;
        case 1:
            // Line 153 lasts a full line; line 0 then starts with the OAM search.
            if (s.LY == kLastLine) {
                s.LY = 0;
                gb.CompareLy();
                gb.SetLcdMode(2);
            } else {
                ++s.LY;
                gb.CompareLy();
            }
            break;
    }
}

}  // namespace

void TGBSYSF::LcdStep() {
    GbState& s = state;
    // Summed in u32: a state file may hold any lcd_cycles, and a signed sum could overflow.
    const u32 cycles = static_cast<u32>(s.lcd_cycles) + s.op_cycles;
    s.lcd_cycles = static_cast<i32>(cycles);
    // The length is looked up from STAT and the speed flag at every step rather than cached, so
    // a STAT write or a state load takes effect at the very next step. Compared unsigned: for
    // the counts a running machine produces (0 up to about a line) this is the signed
    // comparison, and a negative count from a state file ends the mode instead of stalling it.
    const u32 length = ModeLength(s);
    if (cycles >= length) [[unlikely]] {
        EndLcdMode(*this, cycles, length);
    }
}

u32 TGBSYSF::LcdCyclesToEvent() const {
    const i32 length = static_cast<i32>(ModeLength(state));
    const i32 cycles = state.lcd_cycles;
    return cycles >= 0 && cycles < length ? static_cast<u32>(length - cycles) : 0;
}

bool TGBSYSF::LcdEventUnseen(bool reads_stat, bool reads_ly, u32 span) const {
    const GbState& s = state;
    // Every mode change moves STAT's mode bits; those from H-blank and V-blank lines move LY too.
    if (reads_stat) return false;
    const u8 mode = s.STAT & 3;
    u8 next_mode;
    switch (mode) {
        case 2:
            next_mode = 3;  // mode 3 requests nothing; the line drawn goes to the frame buffer only
            break;
        case 3:
            if ((s.STAT & 0x08) || s.hdma_active) return false;
            next_mode = 0;
            break;
        default: {
            // The next line: a coincidence request, a mode 2 request or the V-blank is heard.
            if (reads_ly) return false;
            const u8 next_ly = mode == 1 && s.LY == kLastLine ? 0 : static_cast<u8>(s.LY + 1);
            if (mode == 0 && next_ly == kVblankLine) return false;
            if (next_ly == s.LYC && (s.STAT & 0x40)) return false;
            next_mode = mode == 1 && s.LY != kLastLine ? 1 : 2;
            if (next_mode == 2 && (s.STAT & 0x20)) return false;
            break;
        }
    }
    const u32 next_length =
        static_cast<u32>(kModeLength[(s.CGB_double_speed != 0 ? 4u : 0u) | next_mode]);
    return next_length > span + kLongestStep;
}

void TGBSYSF::SetLcdMode(u8 mode) {
    mode &= 3;
    state.STAT = static_cast<u8>((state.STAT & 0xFC) | mode);
    // STAT bits 3, 4 and 5 select an interrupt on entering mode 0, 1 and 2; mode 3 has none.
    // Every entry raises its own request, even when the previous one is still pending.
    if (mode != 3 && (state.STAT & (0x08 << mode)) != 0) RequestInterrupt(irq::LCD_STAT);
}

void TGBSYSF::CompareLy() {
    if (state.LY == state.LYC) {
        state.STAT |= 0x04;
        if (state.STAT & 0x40) RequestInterrupt(irq::LCD_STAT);
    } else {
        state.STAT &= static_cast<u8>(~0x04);
    }
}

void TGBSYSF::FrameSkipStep() {
    // With a period of N the counter runs 0 .. N-1 and the frame is ready when it wraps to 0;
    // one frame in N is drawn (the one counted 0) and shown at the V-blank that closes the
    // period. A period of 0 or less, from a hand-edited INI, behaves as 1: every frame. A
    // negative count from a state file restarts the period rather than counting up for years.
    const std::int64_t next = std::int64_t{state.frame_skip_count} + 1;
    state.frame_skip_count = (next >= frame_skip_period || next <= 0) ? 0 : static_cast<i32>(next);
    if (state.frame_skip_count < frame_skip_threshold) state.frame_ready = 1;
}

}  // namespace kivo
