#include "ui/button_holds.h"

namespace kivo {

void ButtonHolds::Press(TGBSYSF& gb, int button, int source) {
    if (!Valid(button, source)) return;
    holders_[button] |= 1u << source;
    gb.PressButton(button);
}

void ButtonHolds::Release(TGBSYSF& gb, int button, int source) {
    if (!Valid(button, source)) return;
    holders_[button] &= ~(1u << source);
    if (holders_[button] == 0) gb.ReleaseButton(button);
}

void ButtonHolds::ReleaseAll(TGBSYSF& gb, int source) {
    for (int button = 0; button < 8; ++button) Release(gb, button, source);
}

}  // namespace kivo
