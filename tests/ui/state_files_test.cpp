// State files, memory files and battery saves: exact layouts, the bank a loaded state maps, the
// battery file kept beside its cartridge. The rewind ring is driven through the window in
// tests/app.
#include "ui/state_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/rom_builder.h"
#include "support/temp_dir.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

template <typename T>
std::string BytesOf(const T& object) {
    return std::string(reinterpret_cast<const char*>(&object), sizeof(T));
}

// A machine whose state and saved regions hold a pattern that differs per region and byte.
std::unique_ptr<TGBSYSF> Filled(u8 seed) {
    auto gb = std::make_unique<TGBSYSF>();
    auto* arena = reinterpret_cast<u8*>(&gb->memory);
    for (std::size_t i = 0; i < kStateRegionsBytes; ++i) {
        arena[i] = static_cast<u8>(i * 7 + seed + (i >> 9));
    }
    auto* state = reinterpret_cast<u8*>(&gb->state);
    for (std::size_t i = 0; i < sizeof(GbState); ++i) state[i] = static_cast<u8>(i * 13 + seed);
    return gb;
}

class FilesTest : public test::TempDirTest {
  protected:
    std::string error_;
};

// Rejected loads and failed saves of every kind are in the bad-input matrix. Whatever extension
// the user typed, or none, the file gets the command's own.
TEST_F(FilesTest, StateAndMemoryFileLayouts) {
    const auto gb = Filled(1);
    ASSERT_TRUE(SaveState(*gb, StatePathFor(Path("a.sav")), &error_)) << error_;
    // The saved regions as the memory arena lays them out, then GbState.
    const std::string first = ReadText("a.kivostate");
    EXPECT_EQ(first, BytesOf(gb->memory).substr(0, 0x2C200) + BytesOf(gb->state));
    // Loaded into another machine, it saves to an identical file.
    const auto other = Filled(99);
    ASSERT_TRUE(LoadState(*other, Path("a.kivostate"), &error_)) << error_;
    ASSERT_TRUE(SaveState(*other, StatePathFor(Path("b")), &error_)) << error_;
    EXPECT_EQ(ReadText("b.kivostate"), first);

    // An 8 KB cartridge save replaces bank 0 alone; a longer file is cut at the region's end.
    std::string xram = BytesOf(gb->memory.xram);
    xram.replace(0, 8192, 8192, '\xC3');
    WriteText("small.x.kivoxram", std::string(8192, '\xC3'));
    const std::string small = MemoryPathFor(MemoryRegion::XRAM, Path("small.x.y"));
    ASSERT_TRUE(LoadMemory(*gb, MemoryRegion::XRAM, small, &error_)) << error_;
    EXPECT_EQ(BytesOf(gb->memory.xram), xram);
    const u8 oam_before = gb->memory.oam_page[0];
    WriteText("big.kivovram", std::string(20000, '\x3C'));
    const std::string big = MemoryPathFor(MemoryRegion::VRAM, Path("big"));
    ASSERT_TRUE(LoadMemory(*gb, MemoryRegion::VRAM, big, &error_)) << error_;
    EXPECT_EQ(gb->memory.vram[16383], 0x3C);
    EXPECT_EQ(gb->memory.oam_page[0], oam_before);
}

TEST_F(FilesTest, CartridgeRamIsSavedOnCloseOrOpenAndALoadedStateMapsItsBank) {
    const auto rom_file = [this](const std::string& name, u8 type) {
        const auto rom = test::MakeRom({.banks = 4, .type = type, .size_code = 1});
        WriteText(name, std::string(rom.begin(), rom.end()));
        return Path(name);
    };
    auto gb = std::make_unique<TGBSYSF>();
    const std::string game = rom_file("game.gbc", 0x1B);  // MBC5 + RAM + battery
    ASSERT_TRUE(OpenRomFile(*gb, game, &error_)) << error_;
    for (int i = 0; i < 131072; ++i) gb->memory.xram[i] = static_cast<u8>(i * 3 + 1);
    const std::string saved = BytesOf(gb->memory.xram);
    // Opening another cartridge saves this one's RAM first and starts from a hard reset; one
    // without a battery saves nothing, also when closed.
    const std::string plain = rom_file("plain.gb", 0x01);  // MBC1, no battery
    ASSERT_TRUE(OpenRomFile(*gb, plain, &error_)) << error_;
    EXPECT_EQ(gb->rom_file_name, plain);
    EXPECT_EQ(ReadText("game.kivoxram"), saved);
    EXPECT_EQ(gb->memory.xram[0x1234], 0);
    ASSERT_TRUE(CloseRomFile(*gb, &error_)) << error_;
    EXPECT_FALSE(gb->rom_open);
    EXPECT_FALSE(fs::exists(Path("plain.kivoxram")));
    // Reopened, the cartridge has its RAM back; closing it saves the RAM again.
    ASSERT_TRUE(OpenRomFile(*gb, game, &error_)) << error_;
    EXPECT_EQ(BytesOf(gb->memory.xram), saved);
    // A loaded state maps the ROM bank it was saved with.
    gb->BusWrite(0x2000, 3);
    ASSERT_TRUE(SaveState(*gb, Path("bank3.kivostate"), &error_)) << error_;
    gb->BusWrite(0x2000, 2);
    ASSERT_TRUE(LoadState(*gb, Path("bank3.kivostate"), &error_)) << error_;
    EXPECT_EQ(gb->BusRead(0x7FFF), 3);
    gb->memory.xram[0x1234] = 0x77;
    ASSERT_TRUE(CloseRomFile(*gb, &error_)) << error_;
    EXPECT_EQ(ReadText("game.kivoxram").at(0x1234), 0x77);
}

}  // namespace
}  // namespace kivo
