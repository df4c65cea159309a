// What the debugger's keys and its go-to dialog do to the two view addresses. The window's
// toolkit layer translates its key events into DebugKey and shows the dialog; the arithmetic and
// the parsing of the reply live here.
#pragma once

#include <optional>
#include <string>

#include "machine/gbsys.h"

namespace kivo {

enum class DebugPane { Memory, Code };
enum class DebugKey { Up, Down, PageUp, PageDown };

// The view's new first address after a key, wrapping at 16 bits. The memory view moves by a line
// (8 bytes) or a page (128 bytes); the code view by 1 or 8 bytes, not by instructions, so it can
// start in the middle of an instruction.
u16 MoveViewAddress(DebugPane pane, DebugKey key, u16 address);

// The go-to dialog's pre-filled text: the address as four upper-case hexadecimal digits.
std::string GotoPrefill(u16 address);

// The go-to reply read as scanf's "%4hX" would: leading blanks skipped, an optional sign, an
// optional "0x", then at most four hexadecimal digits; the rest is ignored ("12345" is 0x1234).
// A reply without a hexadecimal digit gives nothing, and the address stays.
std::optional<u16> ParseGotoReply(const std::string& reply);

}  // namespace kivo
