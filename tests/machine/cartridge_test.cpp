// Cartridge loading and the bank controllers. The test images fill every byte of bank n with n
// (byte 1 with n's high bits), so a read at 0x4000 names the bank that is mapped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

std::unique_ptr<TGBSYSF> Open(std::vector<u8> image) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, std::move(image));
    return gb;
}

// The bank mapped at 0x4000-0x7FFF, as the test image names it.
u32 MappedBank(const TGBSYSF& gb) {
    return gb.BusRead(0x4001) << 8 | gb.BusRead(0x4000);
}

TEST(Cartridge, HeaderDecodesControllerBoardAndSize) {
    // Type and size bytes; controller, banks, and whether the board has RAM, battery and timer.
    // clang-format off
    const std::tuple<u8, u8, u32, u32, bool, bool, bool> cases[] = {
        {0x00, 0x00, MBC_ROMONLY, 2, false, false, false},
        {0x03, 0x05, MBC_MBC1, 64, true, true, false},
        {0x06, 0x01, MBC_MBC2, 4, false, true, false},
        {0x0F, 0x07, MBC_MBC3, 256, false, true, true},
        {0x10, 0x52, MBC_MBC3, 72, true, true, true},
        {0x1E, 0x54, MBC_MBC5, 96, true, true, false},
        {0x17, 0x53, MBC_MBC4, 80, true, true, false},
        {0xFF, 0x08, MBC_HUC1, 2, true, true, false},
        {0x20, 0xFF, MBC_UNKNOWN, 2, false, false, false}};
    // clang-format on
    auto gb = std::make_unique<TGBSYSF>();
    for (const auto& [type, size, kind, banks, ram, battery, timer] : cases) {
        test::OpenImage(*gb, test::MakeRom({.type = type, .size_code = size}));
        EXPECT_EQ(
            std::tuple(gb->mbc_kind, gb->rom_banks, gb->cart_ram, gb->cart_battery, gb->cart_timer),
            std::tuple(kind, banks, ram, battery, timer))
            << "type " << int{type};
    }
    // A file too short for a header: its type byte would read as the 0xFF fill, a HuC1 board.
    gb = Open(std::vector<u8>(0x100, 0x00));
    EXPECT_EQ(std::tuple(gb->mbc_kind, gb->rom_banks, gb->cart_battery),
              std::tuple(u32{MBC_UNKNOWN}, 2u, false));
}

TEST(Cartridge, ControllerRegistersSelectTheRomAndRamBanks) {
    using Writes = std::vector<std::pair<u16, u8>>;
    // Writes to the RAM enable range, and to every register of a cartridge without a controller
    // or with one that is not emulated, change nothing.
    const Writes enable = {{0x0000, 3}, {0x0A00, 3}, {0x1FFF, 3}};
    const Writes all = {{0x2000, 3}, {0x3000, 3}, {0x4000, 3}, {0x6000, 3}};
    // Type, banks in the image, writes, then the ROM and RAM banks selected.
    // MBC1: five bits at 0x2000 and two at 0x4000, which the mode sends to RAM instead; bank 0
    // is not turned into bank 1, and a mode change moves no bits. MBC2: sixteen ROM banks.
    // MBC3: seven bits; there are no clock registers, so 0x0A falls on RAM bank 2. MBC5: bit 8
    // from its own register, which the low byte keeps; only 512 banks are addressable.
    // clang-format off
    const std::tuple<u8, int, Writes, u32, u32> cases[] = {
        {0x01, 128, {{0x2100, 0x00}}, 0x00, 0},
        {0x01, 128, {{0x2000, 0x21}, {0x4000, 0x02}}, 0x41, 0},
        {0x01, 128, {{0x2000, 0x21}, {0x4000, 0x02}, {0x3FFF, 0xE3}}, 0x43, 0},
        {0x01, 128, {{0x2000, 0x03}, {0x6000, 1}, {0x4000, 3}}, 0x03, 3},
        {0x01, 128, {{0x2000, 0x03}, {0x6000, 1}, {0x4000, 3}, {0x7FFF, 0}, {0x5FFF, 1}}, 0x23, 3},
        {0x05, 16, {{0x2000, 0x1F}, {0x4000, 0x07}}, 15, 3},
        {0x13, 128, {{0x2000, 0x7F}}, 0x7F, 0},
        {0x13, 128, {{0x2000, 0x80}, {0x4000, 0x0A}, {0x6000, 0x01}}, 0x00, 2},
        {0x13, 128, {{0x4000, 0x0A}, {0x4000, 0x08}}, 0x01, 0},
        {0x1B, 0x106, {{0x2000, 0x05}, {0x3000, 0x01}}, 0x105, 0},
        {0x1B, 0x106, {{0x2000, 0x05}, {0x3000, 0x01}, {0x2FFF, 0x04}}, 0x104, 0},
        {0x1B, 0x106, {{0x2000, 0x05}, {0x3000, 0x01}, {0x3FFF, 0x02}}, 0x05, 0},
        {0x1B, 0x106, {{0x4000, 0xFF}}, 0x01, 15},
        {0x1B, 513, {{0x2000, 0xFF}, {0x3000, 0x01}}, 0x1FF, 0},
        {0x00, 8, enable, 1, 0}, {0x00, 8, all, 1, 0}, {0x01, 8, enable, 1, 0},
        {0x05, 8, enable, 1, 0}, {0x13, 8, enable, 1, 0}, {0x1B, 8, enable, 1, 0},
        {0x15, 8, all, 1, 0}, {0x20, 8, all, 1, 0}, {0xFC, 8, all, 1, 0}, {0xFF, 8, all, 1, 0}};
    // clang-format on
    for (const auto& [type, banks, writes, rom_bank, ram_bank] : cases) {
        auto gb = Open(test::MakeRom({.banks = banks, .type = type}));
        for (const auto& [address, value] : writes) gb->BusWrite(address, value);
        EXPECT_EQ(std::pair(MappedBank(*gb), gb->state.Bank_XRAM), std::pair(rom_bank, ram_bank))
            << "type " << int{type} << ", " << writes.size() << " writes";
    }
}

TEST(Cartridge, BanksPastTheEndOfTheFileKeepThePreviousBytes) {
    auto gb = Open(test::MakeRom({.banks = 4, .type = 0x1B}));
    gb->BusWrite(0x2000, 3);
    gb->BusWrite(0x2000, 9);
    EXPECT_EQ(gb->state.Bank_ROM1, 9u);
    EXPECT_EQ(MappedBank(*gb), 3u);
    // A state file may bring any bank number; 0x40000 x 16 KB would wrap to 0 in 32 bits.
    for (u32 bank : {0xFFFFFFFFu, 0x40000u}) {
        gb->state.Bank_ROM1 = bank;
        gb->SwitchRomBank();
        EXPECT_EQ(MappedBank(*gb), 3u);
    }
    // A file shorter than the window reads 0xFF past its end, over a previous cartridge's bytes.
    auto image = test::MakeRom({.banks = 4, .type = 0x1B});
    image.resize(0x5000);
    test::OpenImage(*gb, image);
    EXPECT_EQ(gb->BusRead(0x4FFF), 1);
    EXPECT_EQ(gb->BusRead(0x5000), 0xFF);
    EXPECT_EQ(gb->BusRead(0x7FFF), 0xFF);
}

TEST(Cartridge, RomFileIsServedWhileOpenAndUnreadableFilesChangeNothing) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("kivo_cartridge_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto rom = test::MakeRom({.banks = 8, .type = 0x1B});
    std::ofstream(dir / "game.gb", std::ios::binary) << std::string(rom.begin(), rom.end());
    std::ofstream(dir / "empty.gb", std::ios::binary).flush();
    auto gb = std::make_unique<TGBSYSF>();
    gb->rom_file_name = (dir / "game.gb").string();
    std::string error;
    ASSERT_TRUE(gb->OpenRom(&error)) << error;
    EXPECT_NE(gb->rom_file, nullptr) << "the file stays open";
    gb->BusWrite(0x2000, 7);
    EXPECT_EQ(MappedBank(*gb), 7u);
    gb->CloseRom();
    EXPECT_FALSE(gb->rom_open);

    const auto image = [&] {
        const auto* m = reinterpret_cast<const u8*>(&gb->memory);
        const auto* s = reinterpret_cast<const u8*>(&gb->state);
        return std::tuple(std::vector<u8>(gb->rom, gb->rom + sizeof gb->rom),
                          std::vector<u8>(m, m + sizeof gb->memory),
                          std::vector<u8>(s, s + sizeof gb->state), gb->rom_image, gb->mbc_kind);
    };
    const auto before = image();
    for (const auto& [name, reason] :
         {std::pair{"missing.gb", "not found"}, {"", "directory"}, {"empty.gb", "file is empty"}}) {
        gb->rom_file_name = (dir / name).string();
        EXPECT_FALSE(gb->OpenRom(&error));
        EXPECT_NE(error.find(gb->rom_file_name), std::string::npos) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_FALSE(gb->rom_open);
        EXPECT_EQ(gb->rom_file, nullptr);
        EXPECT_TRUE(image() == before) << name;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kivo
