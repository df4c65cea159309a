// The debugger's views: disassembly columns and operand forms, the memory dump and its wrap at
// the top of the address space, and the register list.
#include "ui/disasm.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>

namespace kivo {
namespace {

class DebugViewTest : public ::testing::Test {
  protected:
    // Places bytes in ROM bank 0, which the bus reads straight from the ROM window.
    void Put(u16 address, std::initializer_list<u8> bytes) {
        for (u8 b : bytes) gb->rom[address++] = b;
    }
    std::string Dis(u16 address, int expected_length) {
        std::string text;
        EXPECT_EQ(DisassembleOne(*gb, address, &text), expected_length) << text;
        return text;
    }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
};

TEST_F(DebugViewTest, ColumnsHoldAddressBytesAndMnemonic) {
    Put(0x0150, {0xFA, 0x34, 0x12});
    EXPECT_EQ(Dis(0x0150, 3), "0150   FA3412   LD A,(1234h)");
    Put(0x0200, {0x20, 0xFE});
    EXPECT_EQ(Dis(0x0200, 2), "0200   20FE     JR NZ,0200h");
    Put(0x0203, {0xCB, 0x37});
    EXPECT_EQ(Dis(0x0203, 2), "0203   CB37     SLL A");
    Put(0x0300, {0x00});
    EXPECT_EQ(Dis(0x0300, 1), "0300   00       NOP");
}

TEST_F(DebugViewTest, RelativeJumpsShowTheirTarget) {
    Put(0x0200, {0x18, 0x00});
    EXPECT_EQ(Dis(0x0200, 2), "0200   1800     JR 0202h");
    Put(0x0210, {0x38, 0x10});
    EXPECT_EQ(Dis(0x0210, 2), "0210   3810     JR C,0222h");
    Put(0x0001, {0x28, 0x80});  // backwards past address 0
    EXPECT_EQ(Dis(0x0001, 2), "0001   2880     JR Z,FF83h");
}

TEST_F(DebugViewTest, StackOffsetsKeepTheTemplateSignBeforeTheirOwn) {
    Put(0x0100, {0xF8, 0xFB});
    EXPECT_EQ(Dis(0x0100, 2), "0100   F8FB     LD HL,SP+-05h");
    Put(0x0110, {0xE8, 0x05});
    EXPECT_EQ(Dis(0x0110, 2), "0110   E805     ADDSP SP,+05h");
    Put(0x0120, {0xE8, 0x80});
    EXPECT_EQ(Dis(0x0120, 2), "0120   E880     ADDSP SP,-80h");
}

TEST_F(DebugViewTest, GameBoyOpcodesAndLeftoverZ80Mnemonics) {
    // The length follows the mnemonic, also for opcodes the processor does not define.
    Put(0x0400, {0xE4, 0x34, 0x12});
    EXPECT_EQ(Dis(0x0400, 3), "0400   E43412   CALL PO,1234h");
    Put(0x0410, {0xD3, 0x99});
    EXPECT_EQ(Dis(0x0410, 2), "0410   D399     OUTA (99h)");
    Put(0x0420, {0x10, 0x00});
    EXPECT_EQ(Dis(0x0420, 1), "0420   10       STOP");
    Put(0x0430, {0x08, 0xFE, 0xFF});
    EXPECT_EQ(Dis(0x0430, 3), "0430   08FEFF   LD FFFEh,SP");
    Put(0x0440, {0xE0, 0x44});
    EXPECT_EQ(Dis(0x0440, 2), "0440   E044     LDIO (44h),A");
    Put(0x0450, {0xF2});
    EXPECT_EQ(Dis(0x0450, 1), "0450   F2       LDIO A,(C)");
    Put(0x0460, {0xD9});
    EXPECT_EQ(Dis(0x0460, 1), "0460   D9       RETI");
    Put(0x0470, {0x2A});
    EXPECT_EQ(Dis(0x0470, 1), "0470   2A       LDI A,(HL)");
    Put(0x0480, {0x3A});
    EXPECT_EQ(Dis(0x0480, 1), "0480   3A       LDD A,(HL)");
    Put(0x0490, {0x76});
    EXPECT_EQ(Dis(0x0490, 1), "0490   76       HALT");
    Put(0x04A0, {0x9E});
    EXPECT_EQ(Dis(0x04A0, 1), "04A0   9E       SBC (HL)");
    Put(0x04B0, {0xE9});
    EXPECT_EQ(Dis(0x04B0, 1), "04B0   E9       LD PC,HL");
    Put(0x04C0, {0xEA, 0x00, 0xC0});
    EXPECT_EQ(Dis(0x04C0, 3), "04C0   EA00C0   LD (C000h),A");
    Put(0x04D0, {0xCB, 0x86});
    EXPECT_EQ(Dis(0x04D0, 2), "04D0   CB86     RES 0,(HL)");
    Put(0x04E0, {0xCB, 0x7C});
    EXPECT_EQ(Dis(0x04E0, 2), "04E0   CB7C     BIT 7,H");
    Put(0x04F0, {0xFE, 0x0A});
    EXPECT_EQ(Dis(0x04F0, 2), "04F0   FE0A     CP 0Ah");
    Put(0x0500, {0xFF});
    EXPECT_EQ(Dis(0x0500, 1), "0500   FF       RST 38h");
}

TEST_F(DebugViewTest, CodeViewStepsByInstructionLength) {
    Put(0x0150, {0x3E, 0x05, 0xC3, 0x50, 0x01, 0xAF});
    const std::vector<std::string> lines = CodeLines(*gb, 0x0150, 3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "0150   3E05     LD A,05h");
    EXPECT_EQ(lines[1], "0152   C35001   JP 0150h");
    EXPECT_EQ(lines[2], "0155   AF       XOR A");
    EXPECT_EQ(CodeLines(*gb, 0x0100, kCodeViewLines).size(), 16u);
}

TEST_F(DebugViewTest, MemoryLineShowsHexAndPrintableCharacters) {
    const u8 hello[8] = {0x48, 0x45, 0x4C, 0x4C, 0x4F, 0x00, 0x00, 0x00};
    std::copy(hello, hello + 8, gb->memory.wram);
    EXPECT_EQ(MemoryLine(*gb, 0xC000), "C000   48454C4C4F000000   HELLO...");
    Put(0x0010, {0x20, 0x7E, 0x7F, 0xA0, 0x41, 0xFF, 0x2E, 0x09});
    EXPECT_EQ(MemoryLine(*gb, 0x0010), "0010   207E7FA041FF2E09    ~..A...");
}

TEST_F(DebugViewTest, MemoryViewWrapsAtTheTopOfTheAddressSpace) {
    for (int i = 0; i < 7; ++i) gb->memory.io_page[0xF8 + i] = static_cast<u8>(0x30 + i);  // HRAM
    gb->memory.io_page[0xFF] = gb->state.IE = 0x1F;
    Put(0x0000, {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48});
    const std::vector<std::string> lines = MemoryLines(*gb, 0xFFF8, 2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "FFF8   303132333435361F   0123456.");
    EXPECT_EQ(lines[1], "0000   4142434445464748   ABCDEFGH");
    // A line that starts near the top wraps inside itself too.
    EXPECT_EQ(MemoryLine(*gb, 0xFFFC), "FFFC   3435361F41424344   456.ABCD");
    EXPECT_EQ(MemoryLines(*gb, 0, kMemoryViewLines).size(), 16u);
}

TEST_F(DebugViewTest, RegisterViewListsTwentyFieldsInDisplayOrder) {
    GbState& s = gb->state;
    s.AF = 0x11B0;
    s.BC = 0x0013;
    s.DE = 0x00D8;
    s.HL = 0x014D;
    s.PC = 0xABCD;
    s.SP = 0xFFFE;
    s.flag_halt = 1;
    s.IME = 1;
    s.CGB_MODE = 1;
    s.Bank_ROM1 = 37;
    s.Bank_WRAM1 = 7;
    s.Bank_VRAM = 1;
    s.Bank_XRAM = 3;
    s.Bank_ROM_RAM_MODE = 0xFFFFFFFF;  // printed as a signed number
    const std::vector<std::string> expected = {
        "AF=11B0",
        "BC=0013",
        "DE=00D8",
        "HL=014D",
        "PC=ABCD",
        "SP=FFFE",
        "flag_halt=1",
        "flag_stop=0",
        "BadOpCode=0",
        "IME=1",
        "hdma_active=0",
        "CGB_MODE=1",
        "CGB_double_speed=0",
        "Bank_ROM0=0",
        "Bank_ROM1=37",
        "Bank_WRAM0=0",
        "Bank_WRAM1=7",
        "Bank_VRAM=1",
        "Bank_XRAM=3",
        "Bank_ROM_RAM_MODE=-1",
    };
    EXPECT_EQ(RegisterLines(*gb), expected);
}

}  // namespace
}  // namespace kivo
