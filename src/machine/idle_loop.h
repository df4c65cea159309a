// Polling loops: a program that waits for LY, STAT, a flag an interrupt handler sets, or a key
// runs the same few instructions over and over with the same registers. Once one pass of such a
// loop has left every register as it found it, with no event in between, every further pass up
// to the next event does the same, and the run slice counts those passes at once instead of
// running them.
#pragma once

#include "machine/gbsys.h"

namespace kivo {

// The addresses a loop's pass reads, in order (repeats included), and the cycles of each step of
// its body, the jump excluded, when it has at most kMaxSteps (steps counts them all).
struct LoopReads {
    static constexpr u32 kMax = 4;
    static constexpr u32 kMaxSteps = 8;
    u32 count = 0;
    u16 address[kMax] = {};
    u32 steps = 0;
    u8 cycles[kMaxSteps] = {};
};
static_assert(sizeof LoopReads::cycles == sizeof TGBSYSF::IdleLoop::body_cycles);

// The instructions from begin up to the jump at address jump: whether they write nothing but
// registers, do not branch, and read at most LoopReads::kMax bytes, all of memory that cannot
// change before the machine's next event; *reads receives their addresses, which come from the
// registers as they are now. Called only when a pass has repeated, so it decodes from memory
// each time: code in RAM may have changed.
bool IsIdleLoopBody(const TGBSYSF& gb, u16 begin, u16 jump, LoopReads* reads);

}  // namespace kivo
