// Who holds each console button. The keyboard and every game controller are separate sources: a
// press from any source plays the button (its joypad bit, then the joypad interrupt request), and
// the button lets go only when the last source holding it releases it. GUI thread only; the
// machine's joypad bits are the only state the worker sees.
#pragma once

#include <array>
#include <cstdint>

#include "machine/gbsys.h"

namespace kivo {

class ButtonHolds {
  public:
    // Source 0 is the keyboard; game controllers take 1 .. kMaxSources - 1.
    static constexpr int kKeyboard = 0;
    static constexpr int kMaxSources = 32;

    // Always presses the button on the machine (which requests the joypad interrupt), even when
    // another source already holds it: a second press is a press for the program too.
    void Press(TGBSYSF& gb, int button, int source);
    // Releases the button on the machine unless another source still holds it. With no other
    // holder the bit is set even when this source never pressed it, as a key release always
    // does (a state loaded with the button down is let go by its key).
    void Release(TGBSYSF& gb, int button, int source);
    // Releases every button the source holds (a controller unplugged mid-game).
    void ReleaseAll(TGBSYSF& gb, int source);

    bool Held(int button) const { return Valid(button, 0) && holders_[button] != 0; }
    bool HeldBy(int button, int source) const {
        return Valid(button, source) && (holders_[button] >> source & 1u) != 0;
    }

  private:
    static bool Valid(int button, int source) {
        return button >= 0 && button < 8 && source >= 0 && source < kMaxSources;
    }

    std::array<std::uint32_t, 8> holders_{};  // per button, one bit per source
};

}  // namespace kivo
