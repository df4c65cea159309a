// Key mapping: the eight console buttons played on the host keyboard. Bindings are Windows
// virtual-key codes (the INI file stores them, so a file written on Windows binds the same keys
// here); the window's toolkit layer translates its key events into these codes before calling here.
#pragma once

#include <string>

#include "machine/gbsys.h"
#include "ui/button_holds.h"

namespace kivo {

// Indexed by joypad key index (KEY_RIGHT .. KEY_START).
extern const char* const kButtonNames[8];

// The display name of a virtual-key code: the Windows constant's name without "VK_" for the
// 156 named codes, otherwise the single character whose code is the low byte (digits and
// letters show as themselves; a zero low byte, as for code 0, gives an empty text).
std::string KeyCodeName(u32 code);

// A key press or release on the main window. The bindings are tried in the order A, B, Select,
// Start, Right, Left, Up, Down and only the first match acts, so of two buttons bound to one key
// only the earlier one is played. Every press requests the joypad interrupt, bound or not.
void KeyDown(TGBSYSF& gb, u32 code);
void KeyUp(TGBSYSF& gb, u32 code);
// The same, as the keyboard source of the window's button holds: a button also held by a game
// controller stays down when its key is released.
void KeyDown(TGBSYSF& gb, ButtonHolds& holds, u32 code);
void KeyUp(TGBSYSF& gb, ButtonHolds& holds, u32 code);

// One line of the options dialog's key list: "<button name> : <key name>".
std::string KeyListLine(const TGBSYSF& gb, int index);

// The headless runner's button names right, left, up, down, a, b, select, start (any letter
// case) to their joypad key index; -1 for anything else.
int ButtonIndexByName(const std::string& name);

}  // namespace kivo
