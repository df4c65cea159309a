// What the tests of the button paths read back from the machine: whether a button's
// active-low joypad bit is down, and whether the joypad interrupt was requested since last asked.
#pragma once

#include "machine/gbsys.h"

namespace kivo::test {

inline bool ButtonDown(const TGBSYSF& gb, int key) {
    const u8 group = key < 4 ? gb.state.joy_dir : gb.state.joy_btn;
    return (group >> (key & 3) & 1) == 0;
}

// True when the joypad interrupt was requested; clears IF for the next question.
inline bool TakeJoypadInterrupt(TGBSYSF& gb) {
    const bool requested = (gb.state.IF & irq::JOYPAD) != 0;
    gb.state.IF = 0;
    return requested;
}

}  // namespace kivo::test
