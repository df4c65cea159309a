// The debugger's views (disassembly columns and operand forms, the memory dump and its wrap at
// the top of the address space), its keys and go-to replies. The register list and the
// cartridge information text are checked through kivo-run's --regs and --cart-info.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/rom_builder.h"
#include "ui/debug_nav.h"
#include "ui/disasm.h"

namespace kivo {
namespace {

// The views read bank 0 straight from the ROM window: bytes placed there show as they are.
class DebugViewTest : public ::testing::Test {
  protected:
    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
};

TEST_F(DebugViewTest, InstructionsShowAddressBytesAndMnemonic) {
    // Each line names the bytes placed at its address. Relative jumps show their target, also
    // past address 0; stack offsets keep the template's sign before their own; the length follows
    // the mnemonic, also for opcodes the processor does not define, which keep their Z80 names.
    // clang-format off
    const char* const lines[] = {
        "0150   FA3412   LD A,(1234h)", "0200   20FE     JR NZ,0200h", "0200   1800     JR 0202h",
        "0210   3810     JR C,0222h", "0001   2880     JR Z,FF83h", "0100   F8FB     LD HL,SP+-05h",
        "0110   E805     ADDSP SP,+05h", "0120   E880     ADDSP SP,-80h",
        "0400   E43412   CALL PO,1234h", "0410   D399     OUTA (99h)", "0420   10       STOP",
        "0430   08FEFF   LD FFFEh,SP", "0440   E044     LDIO (44h),A", "0450   F2       LDIO A,(C)",
        "0470   2A       LDI A,(HL)", "04A0   9E       SBC (HL)", "04B0   E9       LD PC,HL",
        "04C0   CB37     SLL A", "04D0   CB86     RES 0,(HL)", "04E0   CB7C     BIT 7,H",
        "04F0   FE0A     CP 0Ah", "0500   FF       RST 38h", "0510   00       NOP"};
    // clang-format on
    for (const std::string line : lines) {
        const auto address = static_cast<u16>(std::stoi(line.substr(0, 4), nullptr, 16));
        const std::string hex = line.substr(7, line.find(' ', 7) - 7);
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            gb->rom[address + i / 2] = static_cast<u8>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        std::string text;
        EXPECT_EQ(DisassembleOne(*gb, address, &text), static_cast<int>(hex.size() / 2)) << line;
        EXPECT_EQ(text, line);
    }
    // The code view steps by instruction length.
    std::memcpy(gb->rom + 0x0150, "\x3E\x05\xC3\x50\x01\xAF", 6);
    EXPECT_EQ(CodeLines(*gb, 0x0150, 3),
              (std::vector<std::string>{"0150   3E05     LD A,05h", "0152   C35001   JP 0150h",
                                        "0155   AF       XOR A"}));
}

TEST_F(DebugViewTest, MemoryLinesShowPrintableCharactersAndWrapAtTheTop) {
    std::memcpy(gb->rom, "ABCDEFGH", 8);
    std::memcpy(gb->rom + 0x0010, "\x20\x7E\x7F\xA0\x41\xFF\x2E\x09", 8);
    EXPECT_EQ(MemoryLine(*gb, 0x0010), "0010   207E7FA041FF2E09    ~..A...");
    for (int i = 0; i < 7; ++i) gb->memory.io_page[0xF8 + i] = static_cast<u8>(0x30 + i);  // HRAM
    gb->memory.io_page[0xFF] = gb->state.IE = 0x1F;
    EXPECT_EQ(MemoryLines(*gb, 0xFFF8, 2),
              (std::vector<std::string>{"FFF8   303132333435361F   0123456.",
                                        "0000   4142434445464748   ABCDEFGH"}));
    // A line that starts near the top wraps inside itself too.
    EXPECT_EQ(MemoryLine(*gb, 0xFFFC), "FFFC   3435361F41424344   456.ABCD");
}

TEST(DebugNavTest, KeysMoveEachPaneByItsStepAndWrapAndGotoTakesFourHexDigits) {
    using enum DebugPane;
    using enum DebugKey;
    const struct {
        DebugPane pane;
        DebugKey key;
        u16 from, to;
    } moves[] = {{Memory, Up, 0x0100, 0x00F8},     {Memory, Down, 0x0100, 0x0108},
                 {Memory, PageUp, 0x0040, 0xFFC0}, {Memory, PageDown, 0xFFC0, 0x0040},
                 {Memory, Up, 0x0000, 0xFFF8},     {Memory, Down, 0xFFF8, 0x0000},
                 {Code, Up, 0x0000, 0xFFFF},       {Code, Down, 0xFFFF, 0x0000},
                 {Code, PageUp, 0x0004, 0xFFFC},   {Code, PageDown, 0x0150, 0x0158}};
    for (const auto& m : moves) {
        EXPECT_EQ(MoveViewAddress(m.pane, m.key, m.from), m.to)
            << (m.pane == Memory ? "memory " : "code ") << static_cast<int>(m.key) << " from "
            << m.from;
    }
    const std::pair<const char*, std::optional<u16>> replies[] = {
        {"c0", 0x00C0},       {"C000", 0xC000},   {"12345", 0x1234},     {"ffff", 0xFFFF},
        {"  8000", 0x8000},   {"0x12", 0x0012},   {"12zz", 0x0012},      {"0", 0x0000},
        {"-1", 0xFFFF},       {"", std::nullopt}, {"   ", std::nullopt}, {"g1", std::nullopt},
        {"xyz", std::nullopt}};
    for (const auto& [reply, address] : replies) EXPECT_EQ(ParseGotoReply(reply), address) << reply;
    EXPECT_EQ(GotoPrefill(0x00C0), "00C0");
}

}  // namespace
}  // namespace kivo
