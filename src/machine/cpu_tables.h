// Constant tables of the processor: instruction costs, the flag tables and the DAA results.
// All are built at compile time; the spot checks below pin the values the rest of the machine and
// the tests rely on.
//
// The flag byte uses the Z80 bit layout (not the LR35902 one): S 0x80, Z 0x40, bit 5 copy 0x20,
// H 0x10, bit 3 copy 0x08, P/V 0x04, N 0x02, C 0x01. Programs see this layout through PUSH AF,
// and state files store it.
#pragma once

#include <array>

#include "machine/layout.h"

namespace kivo {

namespace flag {
enum : u8 {
    S = 0x80,
    Z = 0x40,
    Y = 0x20,  // copy of result bit 5
    H = 0x10,
    X = 0x08,  // copy of result bit 3
    PV = 0x04,
    N = 0x02,
    C = 0x01,
};
}  // namespace flag

// The console's flag byte (Z 0x80, N 0x40, H 0x20, C 0x10, low nibble 0) from the Z80 layout
// kept in GbState, and back: what PUSH AF stores and POP AF loads by the console's rules, and
// what the debugger shows then. S, P/V and the copy bits have no place in it.
constexpr u8 ConsoleFlags(u8 f) {
    return static_cast<u8>((f & flag::Z) << 1 | (f & flag::N) << 5 | (f & flag::H) << 1 |
                           (f & flag::C) << 4);
}
constexpr u8 FlagsFromConsole(u8 f) {
    return static_cast<u8>((f & 0x80) >> 1 | (f & 0x40) >> 5 | (f & 0x20) >> 1 | (f & 0x10) >> 4);
}
static_assert(ConsoleFlags(0xFF) == 0xF0 && FlagsFromConsole(0xB0) == 0x51);

// Machine cycles of each main opcode, for the branch not taken. Undefined opcodes cost nothing.
// The step's clock cycles are four times the entry.
inline constexpr std::array<u8, 256> cycle_table = {
    // 0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F
    1, 3, 2, 2, 1, 1, 2, 1, 5, 2, 2, 2, 1, 1, 2, 1,  // 00
    1, 3, 2, 2, 1, 1, 2, 1, 3, 2, 2, 2, 1, 1, 2, 1,  // 10
    2, 3, 2, 2, 1, 1, 2, 1, 2, 2, 2, 2, 1, 1, 2, 1,  // 20
    2, 3, 2, 2, 3, 3, 3, 1, 2, 2, 2, 2, 1, 1, 2, 1,  // 30
    1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 2, 1,  // 40
    1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 2, 1,  // 50
    1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 2, 1,  // 60
    2, 2, 2, 2, 2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 2, 1,  // 70
    1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 2, 1,  // 80
    1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 2, 1,  // 90
    1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 2, 1,  // A0
    1, 1, 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 2, 1,  // B0
    2, 3, 3, 4, 3, 4, 2, 4, 2, 4, 3, 2, 3, 6, 2, 4,  // C0
    2, 3, 3, 0, 3, 4, 2, 4, 2, 4, 3, 0, 3, 0, 2, 4,  // D0
    3, 3, 2, 0, 0, 4, 2, 4, 4, 1, 4, 0, 0, 0, 2, 4,  // E0
    3, 3, 2, 1, 0, 4, 2, 4, 3, 2, 4, 1, 0, 0, 2, 4,  // F0
};

// Extra clock cycles of a taken conditional branch.
inline constexpr u32 kJumpTakenExtra = 4;   // JR cc, JP cc
inline constexpr u32 kCallTakenExtra = 12;  // CALL cc, RET cc

// The longest step: CALL, and a taken CALL cc. An accumulator that counts at most once per step
// falls behind only when its period is shorter than this.
inline constexpr u32 kLongestStep = 24;

// Machine cycles of the opcodes behind 0xCB. A register operand costs 2. The (HL) operand costs
// 4 for the read-modify-write group (rotates, shifts, SWAP) and 3 for BIT, RES and SET alike.
inline constexpr std::array<u8, 256> cb_cycle_table = [] {
    std::array<u8, 256> t{};
    for (int op = 0; op < 256; ++op) t[op] = (op & 7) != 6 ? 2 : (op < 0x40 ? 4 : 3);
    return t;
}();

// S and Z of a result byte.
inline constexpr std::array<u8, 256> sz_flags = [] {
    std::array<u8, 256> t{};
    for (int v = 0; v < 256; ++v) t[v] = static_cast<u8>((v & flag::S) | (v == 0 ? flag::Z : 0));
    return t;
}();

// S, Z and even parity (P/V set for an even number of one bits) of a result byte.
inline constexpr std::array<u8, 256> szp_flags = [] {
    std::array<u8, 256> t{};
    for (int v = 0; v < 256; ++v) {
        int ones = 0;
        for (int b = 0; b < 8; ++b) ones += (v >> b) & 1;
        t[v] = static_cast<u8>(sz_flags[v] | ((ones & 1) == 0 ? flag::PV : 0));
    }
    return t;
}();

// The decimal adjust of A after a BCD addition or subtraction, for every A and incoming C, H and
// N. Index: A | C << 8 | H << 9 | N << 10. Entry: the new AF (high byte A, low byte F).
inline constexpr std::array<u16, 2048> daa_table = [] {
    std::array<u16, 2048> t{};
    for (int index = 0; index < 2048; ++index) {
        const int a = index & 0xFF;
        const bool c = index & 0x100, h = index & 0x200, n = index & 0x400;
        int correction = (h || (a & 0x0F) > 9) ? 0x06 : 0x00;
        bool new_c = c;
        if (c || a > 0x99) {
            correction |= 0x60;
            new_c = true;
        }
        const bool new_h = n ? (h && (a & 0x0F) < 6) : (a & 0x0F) > 9;
        const int result = (n ? a - correction : a + correction) & 0xFF;
        const int f = szp_flags[result] | (result & (flag::Y | flag::X)) | (new_h ? flag::H : 0) |
                      (n ? flag::N : 0) | (new_c ? flag::C : 0);
        t[index] = static_cast<u16>(result << 8 | f);
    }
    return t;
}();

// Clock cycles per TIMA increment, indexed by TAC bits 0-1.
inline constexpr std::array<u32, 4> timer_periods = {1024, 16, 64, 256};
// The same periods as powers of two, so that counting whole periods is a shift, not a division.
inline constexpr std::array<u32, 4> timer_period_shifts = {10, 4, 6, 8};

// DIV and TIMA after `cycles` more cycles of steps whose timer work the run slice deferred. Such
// steps stop short of the timer's overflow, and each is shorter than the divider's period and
// than any timer period it defers, so the increments are the whole periods in the cycles.
inline u8 DividerAfter(const GbState& s, u32 cycles) {
    if (cycles == 0) return s.DIV;  // (a state file's count, out of range, adds nothing)
    return static_cast<u8>(s.DIV + (static_cast<u32>(s.div_cycles) + cycles) / 256);
}
inline u8 TimerCounterAfter(const GbState& s, u32 cycles) {
    if (cycles == 0 || !(s.TAC & 0x04)) return s.TIMA;
    return static_cast<u8>(
        s.TIMA + ((static_cast<u32>(s.tima_cycles) + cycles) >> timer_period_shifts[s.TAC & 3]));
}

// Spot checks.
static_assert(cycle_table[0x00] == 1 && cycle_table[0x08] == 5 && cycle_table[0xCD] == 6);
static_assert(cycle_table[0x20] * 4 + kJumpTakenExtra == 12 && cycle_table[0x20] * 4 == 8);
static_assert(cycle_table[0xCC] * 4 + kCallTakenExtra == 24 && cycle_table[0xCC] * 4 == 12);
static_assert(cycle_table[0xD8] * 4 + kCallTakenExtra == 20 && cycle_table[0xD8] * 4 == 8);
static_assert(cycle_table[0xD3] == 0 && cycle_table[0xDD] == 0 && cycle_table[0xFD] == 0);
static_assert(cb_cycle_table[0x46] * 4 == 12 && cb_cycle_table[0xC6] * 4 == 12);
static_assert(cb_cycle_table[0x06] * 4 == 16 && cb_cycle_table[0x7C] * 4 == 8);
static_assert(sz_flags[0x00] == 0x40 && sz_flags[0x80] == 0x80 && sz_flags[0x7F] == 0x00);
static_assert(szp_flags[0x00] == 0x44 && szp_flags[0x03] == 0x04 && szp_flags[0x01] == 0x00);
static_assert(szp_flags[0x80] == 0x80 && szp_flags[0xFF] == 0x84);
// 0x09 + 0x01 = 0x0A with H clear adjusts to 0x10 with H set.
static_assert(daa_table[0x0A] == 0x1010);
// 0x99 + 0x01 = 0x9A adjusts to 0x00 with carry: Z, P/V, H and C.
static_assert(daa_table[0x9A] == 0x0055);
// After a subtraction with half borrow: 0x10 - 0x01 = 0x0F (H, N) adjusts to 0x09.
static_assert(daa_table[0x0F | 0x200 | 0x400] == 0x090E);
static_assert([] {
    for (u32 i = 0; i < 4; ++i) {
        if (timer_periods[i] != 1u << timer_period_shifts[i]) return false;
    }
    return true;
}());
static_assert(timer_periods[0] == 1024 && timer_periods[1] == 16 && timer_periods[2] == 64 &&
              timer_periods[3] == 256);

// No step is longer than kLongestStep, taken branches included.
static_assert([] {
    for (u32 op = 0; op < 256; ++op) {
        const bool call_or_return_cc = (op & 0xE7) == 0xC4 || (op & 0xE7) == 0xC0;
        const bool jump_cc = (op & 0xE7) == 0xC2 || (op & 0xE7) == 0x20;
        const u32 extra = call_or_return_cc ? kCallTakenExtra : jump_cc ? kJumpTakenExtra : 0;
        if (cycle_table[op] * 4 + extra > kLongestStep) return false;
        if (cb_cycle_table[op] * 4 > kLongestStep) return false;
    }
    return cycle_table[0xCD] * 4 == kLongestStep;
}());

}  // namespace kivo
