// The debugger's keys, their 16-bit wraps, and the go-to replies read as "%4hX".
#include "ui/debug_nav.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kivo {
namespace {

TEST(DebugNavTest, KeysMoveEachPaneByItsStepAndWrap) {
    struct Case {
        DebugPane pane;
        DebugKey key;
        u16 from, to;
    };
    const Case cases[] = {
        {DebugPane::Memory, DebugKey::Up, 0x0100, 0x00F8},
        {DebugPane::Memory, DebugKey::Down, 0x0100, 0x0108},
        {DebugPane::Memory, DebugKey::PageUp, 0x0040, 0xFFC0},
        {DebugPane::Memory, DebugKey::PageDown, 0xFFC0, 0x0040},
        {DebugPane::Memory, DebugKey::Up, 0x0000, 0xFFF8},
        {DebugPane::Memory, DebugKey::Down, 0xFFF8, 0x0000},
        {DebugPane::Code, DebugKey::Up, 0x0000, 0xFFFF},
        {DebugPane::Code, DebugKey::Down, 0xFFFF, 0x0000},
        {DebugPane::Code, DebugKey::PageUp, 0x0004, 0xFFFC},
        {DebugPane::Code, DebugKey::PageDown, 0x0150, 0x0158},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MoveViewAddress(c.pane, c.key, c.from), c.to)
            << (c.pane == DebugPane::Memory ? "memory " : "code ") << static_cast<int>(c.key)
            << " from " << c.from;
    }
}

TEST(DebugNavTest, GotoRepliesTakeAtMostFourHexDigits) {
    struct Case {
        const char* reply;
        std::optional<u16> address;
    };
    const Case cases[] = {
        {"c0", 0x00C0},        {"C000", 0xC000},   {"12345", 0x1234},     {"ffff", 0xFFFF},
        {"  8000", 0x8000},    {"0x12", 0x0012},   {"12zz", 0x0012},      {"0", 0x0000},
        {"xyz", std::nullopt}, {"", std::nullopt}, {"   ", std::nullopt}, {"g1", std::nullopt},
        {"-1", 0xFFFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseGotoReply(c.reply), c.address) << '"' << c.reply << '"';
    }
    EXPECT_EQ(GotoPrefill(0x00C0), "00C0");
    EXPECT_EQ(GotoPrefill(0xFFFF), "FFFF");
}

}  // namespace
}  // namespace kivo
