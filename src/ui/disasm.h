// The debugger's text views: a hexadecimal memory dump, a disassembler and the register list.
// Everything is read through the bus (so the views show exactly what the processor would read,
// banks included) and from GbState; nothing here changes the machine.
#pragma once

#include <string>
#include <vector>

#include "machine/gbsys.h"

namespace kivo {

inline constexpr int kMemoryLineBytes = 8;
inline constexpr int kMemoryViewLines = 16;
inline constexpr int kCodeViewLines = 16;
inline constexpr int kRegisterLines = 20;

// Disassembles the instruction at `address` into *text and returns its length in bytes (1-3):
// "AAAA   BBBBBBBBB MNEMONIC" with the address, three spaces, the instruction's bytes padded to
// nine columns, then the mnemonic. The mnemonics are Z80-style (CB 0x30-0x37 read "SLL", 0xE4
// "CALL PO,#h" with its two operand bytes); the length follows the mnemonic, not the processor.
int DisassembleOne(const TGBSYSF& gb, u16 address, std::string* text);

// "AAAA   " + 8 bytes in hex + "   " + the same bytes as text ("." for non-printable ones).
// Addresses wrap at 16 bits, within a line and from one line to the next.
std::string MemoryLine(const TGBSYSF& gb, u16 address);
std::vector<std::string> MemoryLines(const TGBSYSF& gb, u16 address, int count);

// `count` consecutive disassembled instructions from `address`.
std::vector<std::string> CodeLines(const TGBSYSF& gb, u16 address, int count);

// "AF=01B0", "BC=0013", ... "Bank_ROM_RAM_MODE=0": the 20 lines of the register view. With
// system_exact_hardware, F in the console's layout and a 21st line that says so.
std::vector<std::string> RegisterLines(const TGBSYSF& gb);

}  // namespace kivo
