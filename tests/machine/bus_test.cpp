// The address map: which storage each range of the console's address space reaches, and how the
// bank registers move the switchable windows.
#include <gtest/gtest.h>

#include <memory>

#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

std::unique_ptr<TGBSYSF> Machine(u8 cgb_flag = 0x00) {
    auto gb = std::make_unique<TGBSYSF>();
    gb->system_type = 1;
    test::OpenImage(*gb, test::MakeRom({.banks = 4, .type = 0x00, .cgb_flag = cgb_flag}));
    return gb;
}

TEST(Bus, EchoRangeMirrorsBothWorkRamHalves) {
    auto gb = Machine();
    gb->BusWrite(0xC123, 0x11);
    EXPECT_EQ(gb->BusRead(0xE123), 0x11);
    gb->BusWrite(0xF000, 0x22);
    EXPECT_EQ(gb->memory.wram[0x1000], 0x22) << "bank 1, offset 0";
    gb->BusWrite(0xFDFF, 0x33);
    EXPECT_EQ(gb->BusRead(0xDDFF), 0x33);
    gb->BusWrite(0xEFFF, 0x44);
    EXPECT_EQ(gb->BusRead(0xCFFF), 0x44);
}

TEST(Bus, SvbkSwitchesTheUpperWorkRamBankInColourMode) {
    auto gb = Machine(0x80);
    ASSERT_EQ(gb->state.CGB_MODE, 1);
    gb->memory.wram[0x3000] = 0xA3;
    gb->memory.wram[0x7000] = 0xA7;
    gb->memory.wram[0x1000] = 0xA1;
    gb->BusWrite(0xFF70, 3);
    EXPECT_EQ(gb->BusRead(0xD000), 0xA3);
    EXPECT_EQ(gb->BusRead(0xF000), 0xA3) << "the echo follows the bank";
    gb->BusWrite(0xFF70, 7);
    EXPECT_EQ(gb->BusRead(0xD000), 0xA7);
    for (u8 zero_bank : {0x00, 0x08, 0xF8}) {
        gb->BusWrite(0xFF70, zero_bank);
        EXPECT_EQ(gb->BusRead(0xD000), 0xA1) << "bank 0 selects bank 1";
    }
    EXPECT_EQ(gb->BusRead(0xFF70), 0xF8) << "SVBK reads back as written";
}

TEST(Bus, VbkSwitchesTheVideoRamBankInColourMode) {
    auto gb = Machine(0x80);
    gb->memory.vram[0x2000] = 0xB1;
    gb->memory.vram[0x0000] = 0xB0;
    gb->BusWrite(0xFF4F, 0xFF);
    EXPECT_EQ(gb->BusRead(0x8000), 0xB1);
    gb->BusWrite(0x9FFF, 0xB2);
    EXPECT_EQ(gb->memory.vram[0x3FFF], 0xB2);
    gb->BusWrite(0xFF4F, 0xFE);
    EXPECT_EQ(gb->BusRead(0x8000), 0xB0);
}

TEST(Bus, ColourBankRegistersOnlyStoreTheirByteInMonochromeMode) {
    auto gb = Machine(0x00);
    ASSERT_EQ(gb->state.CGB_MODE, 0);
    gb->BusWrite(0xFF70, 3);
    gb->BusWrite(0xFF4F, 1);
    EXPECT_EQ(gb->state.Bank_WRAM1, 1u);
    EXPECT_EQ(gb->state.Bank_VRAM, 0u);
    EXPECT_EQ(gb->BusRead(0xFF70), 3);
    EXPECT_EQ(gb->BusRead(0xFF4F), 1);
}

TEST(Bus, OamPageIncludingTheUnusedTailIsPlainMemory) {
    auto gb = Machine();
    gb->BusWrite(0xFE9F, 0x9F);
    EXPECT_EQ(gb->memory.oam_page[0x9F], 0x9F);
    for (u32 a = 0xFEA0; a <= 0xFEFF; ++a) gb->BusWrite(static_cast<u16>(a), static_cast<u8>(a));
    for (u32 a = 0xFEA0; a <= 0xFEFF; ++a) EXPECT_EQ(gb->BusRead(static_cast<u16>(a)), a & 0xFF);
}

TEST(Bus, RomOnlyCartridgeHasWritableRamAndReadOnlyRom) {
    auto gb = Machine();
    gb->BusWrite(0xA000, 0x42);
    gb->BusWrite(0xBFFF, 0x43);
    EXPECT_EQ(gb->BusRead(0xA000), 0x42);
    EXPECT_EQ(gb->BusRead(0xBFFF), 0x43);
    for (u16 a : {0x0000, 0x2000, 0x3FFF, 0x4000, 0x6000, 0x7FFF}) gb->BusWrite(a, 0x03);
    EXPECT_EQ(gb->state.Bank_ROM1, 1u);
    EXPECT_EQ(gb->BusRead(0x4000), 1);
    EXPECT_EQ(gb->BusRead(0x0000), 0) << "ROM bytes never change";
    EXPECT_EQ(gb->BusRead(0x7FFF), 1);
}

TEST(Bus, HighRamAndInterruptEnableLiveInTheIoPage) {
    auto gb = Machine();
    gb->BusWrite(0xFF80, 0x12);
    gb->BusWrite(0xFFFE, 0x34);
    gb->BusWrite(0xFFFF, 0x1F);
    EXPECT_EQ(gb->BusRead(0xFF80), 0x12);
    EXPECT_EQ(gb->BusRead(0xFFFE), 0x34);
    EXPECT_EQ(gb->state.IE, 0x1F);
    EXPECT_EQ(gb->BusRead(0xFFFF), 0x1F);
}

}  // namespace
}  // namespace kivo
