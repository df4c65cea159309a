#include "ui/debug_nav.h"

#include <cctype>
#include <cstdio>

#include "ui/hex_digit.h"

namespace kivo {

u16 MoveViewAddress(DebugPane pane, DebugKey key, u16 address) {
    const int line = pane == DebugPane::Memory ? 8 : 1;
    const int page = pane == DebugPane::Memory ? 128 : 8;
    int delta = 0;
    switch (key) {
        case DebugKey::Up: delta = -line; break;
        case DebugKey::Down: delta = line; break;
        case DebugKey::PageUp: delta = -page; break;
        case DebugKey::PageDown: delta = page; break;
    }
    return static_cast<u16>(address + delta);
}

std::string GotoPrefill(u16 address) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", address);
    return text;
}

namespace {}  // namespace

std::optional<u16> ParseGotoReply(const std::string& reply) {
    std::size_t i = 0;
    while (i < reply.size() && std::isspace(static_cast<unsigned char>(reply[i]))) ++i;
    // The field width of four counts the sign and the "0x" as scanf does.
    int width = 4;
    bool negative = false;
    if (i < reply.size() && (reply[i] == '+' || reply[i] == '-')) {
        negative = reply[i] == '-';
        ++i;
        --width;
    }
    if (width >= 2 && i + 1 < reply.size() && reply[i] == '0' &&
        (reply[i + 1] == 'x' || reply[i + 1] == 'X') &&
        (i + 2 < reply.size() && width > 2 && HexDigitValue(reply[i + 2]) >= 0)) {
        i += 2;
        width -= 2;
    }
    unsigned value = 0;
    int digits = 0;
    for (; i < reply.size() && digits < width; ++i, ++digits) {
        const int d = HexDigitValue(reply[i]);
        if (d < 0) break;
        value = value * 16 + static_cast<unsigned>(d);
    }
    if (digits == 0) return std::nullopt;
    if (negative) value = 0x10000 - value;
    return static_cast<u16>(value);
}

}  // namespace kivo
