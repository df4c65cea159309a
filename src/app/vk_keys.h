// Key events of the window as Windows virtual-key codes: the INI file keeps bindings as those
// codes, so a file moves between Windows and Linux unchanged. Keys with no such code give 0,
// which matches no binding.
#pragma once

#include <Qt>
#include <cstdint>

namespace kivo {

// Shift, Control and Alt give the generic codes 0x10, 0x11 and 0x12 whichever side was pressed.
// Keys of the numeric keypad give the keypad codes (VK_NUMPAD0 .. VK_DIVIDE). Shifted symbols
// give the code of the key they are on in the US layout ("!" is the key "1").
std::uint32_t VirtualKeyCode(int qt_key, Qt::KeyboardModifiers modifiers);

}  // namespace kivo
