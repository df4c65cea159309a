// Cartridge loading and the bank controllers. The test images fill every byte of bank n with n
// (byte 1 with n's high bits), so a read at 0x4000 names the bank that is mapped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>

#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

std::unique_ptr<TGBSYSF> Open(std::vector<u8> image) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, std::move(image));
    return gb;
}

std::unique_ptr<TGBSYSF> OpenSpec(const test::RomSpec& spec) {
    return Open(test::MakeRom(spec));
}

// The bank mapped at 0x4000-0x7FFF, as the test image names it.
u32 MappedBank(const TGBSYSF& gb) {
    return gb.BusRead(0x4001) << 8 | gb.BusRead(0x4000);
}

TEST(Cartridge, HeaderDecodesControllerBoardAndSize) {
    struct Case {
        u8 type, size;
        u32 kind, banks;
        bool ram, battery, timer;
    } const cases[] = {
        {0x00, 0x00, MBC_ROMONLY, 2, false, false, false},
        {0x03, 0x05, MBC_MBC1, 64, true, true, false},
        {0x06, 0x01, MBC_MBC2, 4, false, true, false},
        {0x0F, 0x07, MBC_MBC3, 256, false, true, true},
        {0x10, 0x52, MBC_MBC3, 72, true, true, true},
        {0x1E, 0x54, MBC_MBC5, 96, true, true, false},
        {0x17, 0x53, MBC_MBC4, 80, true, true, false},
        {0xFF, 0x08, MBC_HUC1, 2, true, true, false},
        {0x20, 0xFF, MBC_UNKNOWN, 2, false, false, false},
    };
    auto gb = std::make_unique<TGBSYSF>();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int{c.type});
        test::OpenImage(*gb, test::MakeRom({.type = c.type, .size_code = c.size}));
        EXPECT_EQ(gb->mbc_kind, c.kind);
        EXPECT_EQ(gb->rom_banks, c.banks);
        EXPECT_EQ(gb->cart_ram, c.ram);
        EXPECT_EQ(gb->cart_battery, c.battery);
        EXPECT_EQ(gb->cart_timer, c.timer);
    }
}

TEST(Cartridge, Mbc1SplitsTheBankNumberBetweenTwoRegistersByMode) {
    auto gb = OpenSpec({.banks = 128, .type = 0x01});
    gb->BusWrite(0x2100, 0x00);
    EXPECT_EQ(MappedBank(*gb), 0u) << "bank 0 is not turned into bank 1";
    gb->BusWrite(0x2000, 0x21);
    gb->BusWrite(0x4000, 0x02);
    EXPECT_EQ(gb->state.Bank_ROM1, 0x41u);
    EXPECT_EQ(MappedBank(*gb), 0x41u);
    gb->BusWrite(0x3FFF, 0xE3);
    EXPECT_EQ(gb->state.Bank_ROM1, 0x43u) << "only five bits at 0x2000";
    gb->BusWrite(0x6000, 0x01);
    gb->BusWrite(0x4000, 0x03);
    EXPECT_EQ(gb->state.Bank_XRAM, 3u);
    EXPECT_EQ(gb->state.Bank_ROM1, 0x43u) << "RAM mode leaves the ROM bank alone";
    gb->BusWrite(0x7FFF, 0x00);
    EXPECT_EQ(gb->state.Bank_XRAM, 3u) << "changing the mode moves no bits";
    gb->BusWrite(0x5FFF, 0x01);
    EXPECT_EQ(MappedBank(*gb), 0x23u);
}

TEST(Cartridge, Mbc2SelectsSixteenRomBanks) {
    auto gb = OpenSpec({.banks = 16, .type = 0x05});
    gb->BusWrite(0x2000, 0x1F);
    EXPECT_EQ(MappedBank(*gb), 15u);
    gb->BusWrite(0x4000, 0x07);
    EXPECT_EQ(gb->state.Bank_XRAM, 3u);
    gb->BusWrite(0x6000, 0x01);
    EXPECT_EQ(gb->state.Bank_ROM_RAM_MODE, 0u);
}

TEST(Cartridge, Mbc3HasNoClockRegisters) {
    auto gb = OpenSpec({.banks = 128, .type = 0x13});
    gb->BusWrite(0x2000, 0x7F);
    EXPECT_EQ(MappedBank(*gb), 0x7Fu);
    gb->BusWrite(0x2000, 0x80);
    EXPECT_EQ(MappedBank(*gb), 0u);
    gb->BusWrite(0x4000, 0x0A);
    EXPECT_EQ(gb->state.Bank_XRAM, 2u) << "clock register 0x0A falls on RAM bank 2";
    gb->BusWrite(0x4000, 0x08);
    EXPECT_EQ(gb->state.Bank_XRAM, 0u);
    gb->BusWrite(0x6000, 0x01);
    EXPECT_EQ(gb->state.Bank_ROM1, 0u);
    EXPECT_EQ(gb->state.Bank_XRAM, 0u);
}

TEST(Cartridge, Mbc5TakesBankBitEightFromItsOwnRegister) {
    auto gb = OpenSpec({.banks = 0x106, .type = 0x1B});
    gb->BusWrite(0x2000, 0x05);
    gb->BusWrite(0x3000, 0x01);
    EXPECT_EQ(MappedBank(*gb), 0x105u);
    gb->BusWrite(0x2FFF, 0x04);
    EXPECT_EQ(MappedBank(*gb), 0x104u) << "the low byte keeps bit 8";
    gb->BusWrite(0x3FFF, 0x02);
    EXPECT_EQ(MappedBank(*gb), 0x04u) << "0x3000 is not a low-byte register";
    gb->BusWrite(0x4000, 0xFF);
    EXPECT_EQ(gb->state.Bank_XRAM, 15u);
}

TEST(Cartridge, RamEnableRangeAndUnemulatedControllersIgnoreWrites) {
    for (u8 type : {0x00, 0x01, 0x05, 0x13, 0x1B}) {
        auto gb = OpenSpec({.banks = 8, .type = type});
        for (u16 a : {0x0000, 0x0A00, 0x1FFF}) gb->BusWrite(a, 0x03);
        EXPECT_EQ(MappedBank(*gb), 1u) << "type " << int{type};
    }
    for (u8 type : {0x15, 0x20, 0xFC, 0xFF}) {
        auto gb = OpenSpec({.banks = 8, .type = type});
        for (u16 a : {0x2000, 0x3000, 0x4000, 0x6000}) gb->BusWrite(a, 0x03);
        EXPECT_EQ(MappedBank(*gb), 1u) << "type " << int{type};
        EXPECT_EQ(gb->state.Bank_XRAM, 0u);
    }
}

TEST(Cartridge, BankPastTheEndOfTheFileKeepsThePreviousBytes) {
    auto gb = OpenSpec({.banks = 4, .type = 0x1B});
    gb->BusWrite(0x2000, 3);
    gb->BusWrite(0x2000, 9);
    EXPECT_EQ(gb->state.Bank_ROM1, 9u);
    EXPECT_EQ(MappedBank(*gb), 3u);
    // A state file may bring any bank number.
    gb->state.Bank_ROM1 = 0xFFFFFFFF;
    gb->SwitchRomBank();
    EXPECT_EQ(MappedBank(*gb), 3u);
    gb->state.Bank_ROM1 = 0x40000;  // 0x40000 x 16 KB is 4 GB: would wrap to 0 in 32 bits
    gb->SwitchRomBank();
    EXPECT_EQ(MappedBank(*gb), 3u);
}

TEST(Cartridge, PartialLastBankOverlaysWhatWasVisible) {
    auto image = test::MakeRom({.banks = 4, .type = 0x1B});
    image.resize(3 * 0x4000 + 0x100);
    auto gb = Open(image);
    gb->BusWrite(0x2000, 2);
    gb->BusWrite(0x2000, 3);
    EXPECT_EQ(gb->BusRead(0x40FF), 3) << "the file's bytes";
    EXPECT_EQ(gb->BusRead(0x4100), 2) << "the rest of bank 2";
    gb->BusWrite(0x2000, 3);
    EXPECT_EQ(gb->BusRead(0x4100), 2) << "switching to the same bank again";
    gb->BusWrite(0x2000, 1);
    gb->BusWrite(0x2000, 3);
    EXPECT_EQ(gb->BusRead(0x4000), 3);
    EXPECT_EQ(gb->BusRead(0x7FFF), 1);
    gb->BusWrite(0x2000, 0);
    EXPECT_EQ(MappedBank(*gb), 0u);
    EXPECT_EQ(gb->BusRead(0x0000), 0) << "bank 0 in the lower half untouched";
}

TEST(Cartridge, RomShorterThanTheWindowReadsFfPastItsEnd) {
    auto gb = OpenSpec({.banks = 2, .type = 0x00});  // a previous cartridge: bank 1 holds 1s
    auto image = test::MakeRom({.banks = 2, .type = 0x1B});
    image.resize(0x5000);
    test::OpenImage(*gb, image);
    EXPECT_EQ(gb->BusRead(0x4FFF), 1);
    EXPECT_EQ(gb->BusRead(0x5000), 0xFF);
    EXPECT_EQ(gb->BusRead(0x7FFF), 0xFF);

    image.resize(0x2000);
    test::OpenImage(*gb, image);
    EXPECT_EQ(gb->BusRead(0x1FFF), 0);
    EXPECT_EQ(gb->BusRead(0x2000), 0xFF);
    EXPECT_EQ(gb->BusRead(0x4000), 0xFF);
    gb->BusWrite(0x2000, 0);  // bank 0 is itself cut short
    EXPECT_EQ(gb->BusRead(0x4000), 0);
    EXPECT_EQ(gb->BusRead(0x6000), 0xFF);
}

TEST(Cartridge, FileTooShortForAHeaderIsAnUnknownCartridge) {
    // Its type byte would read as the 0xFF fill: a HuC1 board with a battery.
    auto gb = Open(std::vector<u8>(0x100, 0x00));
    EXPECT_EQ(gb->mbc_kind, MBC_UNKNOWN);
    EXPECT_FALSE(gb->cart_battery);
    EXPECT_EQ(gb->rom_banks, 2u);
}

TEST(Cartridge, OnlyTheAddressableFiveHundredTwelveBanksAreKept) {
    auto gb = OpenSpec({.banks = 513, .type = 0x1B});
    EXPECT_EQ(gb->rom_image.size(), kMaxRomBytes);
    gb->BusWrite(0x2000, 0xFF);
    gb->BusWrite(0x3000, 0x01);
    EXPECT_EQ(MappedBank(*gb), 0x1FFu);
}

// ---- opening ROM files ----

class OpenRomFile : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("kivo_cartridge_test_" + std::to_string(::getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Write(const std::string& name, const std::vector<u8>& bytes) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    std::filesystem::path dir_;
};

TEST_F(OpenRomFile, LoadsTheFileAndServesBanksFromIt) {
    const std::string path = Write("game.gb", test::MakeRom({.banks = 8, .type = 0x1B}));
    auto gb = std::make_unique<TGBSYSF>();
    gb->rom_file_name = path;
    std::string error;
    ASSERT_TRUE(gb->OpenRom(&error)) << error;
    EXPECT_TRUE(gb->rom_open);
    EXPECT_NE(gb->rom_file, nullptr) << "the file stays open";
    EXPECT_EQ(gb->mbc_kind, MBC_MBC5);
    gb->BusWrite(0x2000, 7);
    EXPECT_EQ(MappedBank(*gb), 7u);
    gb->CloseRom();
    EXPECT_FALSE(gb->rom_open);
}

TEST_F(OpenRomFile, UnreadableFilesLeaveTheMachineAsItWas) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.banks = 4, .type = 0x03}));
    gb->BusWrite(0xC000, 0x77);
    gb->CloseRom();
    auto before = std::make_unique<TGBSYSF>();
    std::memcpy(before->rom, gb->rom, sizeof gb->rom);
    before->memory = gb->memory;
    before->state = gb->state;

    const std::pair<std::string, const char*> bad[] = {
        {(dir_ / "missing.gb").string(), "not found"},
        {dir_.string(), "directory"},
        {Write("empty.gb", {}), "file is empty"},
    };
    for (const auto& [path, reason] : bad) {
        SCOPED_TRACE(path);
        gb->rom_file_name = path;
        std::string error;
        EXPECT_FALSE(gb->OpenRom(&error));
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_FALSE(gb->rom_open);
        EXPECT_EQ(gb->rom_file, nullptr);
        EXPECT_EQ(gb->mbc_kind, MBC_MBC1);
        EXPECT_EQ(gb->rom_image.size(), 4u * 0x4000);
        EXPECT_EQ(std::memcmp(before->rom, gb->rom, sizeof gb->rom), 0);
        EXPECT_EQ(std::memcmp(&before->memory, &gb->memory, sizeof gb->memory), 0);
        EXPECT_EQ(std::memcmp(&before->state, &gb->state, sizeof gb->state), 0);
    }
}

}  // namespace
}  // namespace kivo
