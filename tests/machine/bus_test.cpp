// The address map: which storage each range of the console's address space reaches, and how the
// bank registers move the switchable windows.
#include <gtest/gtest.h>

#include <memory>

#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

std::unique_ptr<TGBSYSF> Machine(u8 cgb_flag) {
    auto gb = std::make_unique<TGBSYSF>();
    gb->system_type = 1;
    test::OpenImage(*gb, test::MakeRom({.banks = 4, .type = 0x00, .cgb_flag = cgb_flag}));
    return gb;
}

TEST(Bus, EachRangeReachesItsStorage) {
    auto gb = Machine(0x00);
    GbMemory& m = gb->memory;
    // The echo range mirrors both work RAM halves; the OAM page's unused tail is plain memory;
    // a cartridge without a controller has 8 KB of RAM.
    // clang-format off
    const std::pair<u16, const u8*> map[] = {
        {0x8000, &m.vram[0]}, {0x9FFF, &m.vram[0x1FFF]}, {0xA000, &m.xram[0]},
        {0xBFFF, &m.xram[0x1FFF]}, {0xC123, &m.wram[0x123]}, {0xCFFF, &m.wram[0xFFF]},
        {0xDDFF, &m.wram[0x1DFF]}, {0xE123, &m.wram[0x123]}, {0xEFFF, &m.wram[0xFFF]},
        {0xF000, &m.wram[0x1000]}, {0xFDFF, &m.wram[0x1DFF]}, {0xFE9F, &m.oam_page[0x9F]},
        {0xFEA0, &m.oam_page[0xA0]}, {0xFEFF, &m.oam_page[0xFF]}, {0xFF80, &m.io_page[0x80]},
        {0xFFFE, &m.io_page[0xFE]}};
    // clang-format on
    u8 value = 0x10;
    for (const auto& [address, storage] : map) {
        gb->BusWrite(address, ++value);
        EXPECT_EQ(*storage, value) << std::hex << address;
        EXPECT_EQ(gb->BusRead(address), value) << std::hex << address;
    }
    gb->BusWrite(0xFFFF, 0x1F);
    EXPECT_EQ(gb->state.IE, 0x1F);
    EXPECT_EQ(gb->BusRead(0xFFFF), 0x1F);
}

TEST(Bus, BankRegistersMoveWorkAndVideoRamOnlyInColourMode) {
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
    gb->memory.vram[0x2000] = 0xB1;
    gb->BusWrite(0xFF4F, 0xFF);
    EXPECT_EQ(gb->BusRead(0x8000), 0xB1);
    gb->BusWrite(0x9FFF, 0xB2);
    EXPECT_EQ(gb->memory.vram[0x3FFF], 0xB2);
    gb->BusWrite(0xFF4F, 0xFE);
    EXPECT_EQ(gb->BusRead(0x8000), 0);

    // In monochrome mode the registers only store their byte.
    gb = Machine(0x00);
    gb->BusWrite(0xFF70, 3);
    gb->BusWrite(0xFF4F, 1);
    EXPECT_EQ(gb->state.Bank_WRAM1, 1u);
    EXPECT_EQ(gb->state.Bank_VRAM, 0u);
    EXPECT_EQ(gb->BusRead(0xFF70), 3);
    EXPECT_EQ(gb->BusRead(0xFF4F), 1);
}

}  // namespace
}  // namespace kivo
