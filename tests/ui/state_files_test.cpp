// State files, memory files and battery saves: exact layouts, the bank a loaded state maps, the
// battery file kept beside its cartridge; and the rewind ring of snapshots.
#include "ui/state_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "support/rom_builder.h"
#include "support/temp_dir.h"
#include "ui/rewind_ring.h"

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

// Whatever extension the user typed, or none, the file gets the command's own.
TEST(SavePathTest, ChosenNamesTakeTheCommandsExtension) {
    for (const auto& [chosen, stem] : {std::pair<std::string, std::string>{"x.sav", "x"},
                                       {"/d.e/x.y.z", "/d.e/x.y"},
                                       {"/d/.hidden", "/d/.hidden"}}) {
        EXPECT_EQ(StatePathFor(chosen), stem + ".kivostate");
        EXPECT_EQ(MemoryPathFor(MemoryRegion::XRAM, chosen), stem + ".kivoxram");
        EXPECT_EQ(MemoryPathFor(MemoryRegion::VRAM, chosen), stem + ".kivovram");
        EXPECT_EQ(MemoryPathFor(MemoryRegion::WRAM, chosen), stem + ".kivowram");
    }
}

class FilesTest : public test::TempDirTest {
  protected:
    std::string error_;
};

// Rejected loads and failed saves of every kind are in the bad-input matrix.
TEST_F(FilesTest, StateAndMemoryFileLayouts) {
    const auto gb = Filled(1);
    ASSERT_TRUE(SaveState(*gb, Path("a.kivostate"), &error_)) << error_;
    // The saved regions as the memory arena lays them out, then GbState.
    const std::string first = ReadText("a.kivostate");
    EXPECT_EQ(first, BytesOf(gb->memory).substr(0, 0x2C200) + BytesOf(gb->state));
    // Loaded into another machine, it saves to an identical file.
    const auto other = Filled(99);
    ASSERT_TRUE(LoadState(*other, Path("a.kivostate"), &error_)) << error_;
    ASSERT_TRUE(SaveState(*other, Path("b.kivostate"), &error_)) << error_;
    EXPECT_EQ(ReadText("b.kivostate"), first);

    // An 8 KB cartridge save replaces bank 0 alone; a longer file is cut at the region's end.
    std::string xram = BytesOf(gb->memory.xram);
    xram.replace(0, 8192, 8192, '\xC3');
    WriteText("small.kivoxram", std::string(8192, '\xC3'));
    ASSERT_TRUE(LoadMemory(*gb, MemoryRegion::XRAM, Path("small.kivoxram"), &error_)) << error_;
    EXPECT_EQ(BytesOf(gb->memory.xram), xram);
    const u8 oam_before = gb->memory.oam_page[0];
    WriteText("big.kivovram", std::string(20000, '\x3C'));
    ASSERT_TRUE(LoadMemory(*gb, MemoryRegion::VRAM, Path("big.kivovram"), &error_)) << error_;
    EXPECT_EQ(gb->memory.vram[16383], 0x3C);
    EXPECT_EQ(gb->memory.oam_page[0], oam_before);
}

TEST_F(FilesTest, LoadedStateMapsTheRomBankItWasSavedWith) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.banks = 8, .type = 0x19, .size_code = 2}));
    gb->BusWrite(0x2000, 5);
    ASSERT_TRUE(SaveState(*gb, Path("bank5.kivostate"), &error_)) << error_;
    gb->BusWrite(0x2000, 2);
    ASSERT_EQ(gb->BusRead(0x4000), 2);
    ASSERT_TRUE(LoadState(*gb, Path("bank5.kivostate"), &error_)) << error_;
    EXPECT_EQ(gb->BusRead(0x4000), 5);
    EXPECT_EQ(gb->BusRead(0x7FFF), 5);
}

TEST_F(FilesTest, CartridgeRamIsSavedOnCloseOrOpenAndReloadedOnOpen) {
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
    ASSERT_TRUE(CloseRomFile(*gb, &error_)) << error_;
    EXPECT_FALSE(gb->rom_open);
    EXPECT_EQ(ReadText("game.kivoxram"), saved);
    gb->HardReset();  // cartridge RAM now all zero
    ASSERT_TRUE(OpenRomFile(*gb, game, &error_)) << error_;
    EXPECT_EQ(BytesOf(gb->memory.xram), saved);

    // Opening another cartridge saves this one's RAM first; one without a battery saves nothing.
    gb->memory.xram[0x1234] = 0x77;
    const std::string plain = rom_file("plain.gb", 0x01);  // MBC1, no battery
    ASSERT_TRUE(OpenRomFile(*gb, plain, &error_)) << error_;
    EXPECT_EQ(gb->rom_file_name, plain);
    EXPECT_EQ(ReadText("game.kivoxram").at(0x1234), 0x77);
    EXPECT_EQ(gb->memory.xram[0x1234], 0);  // the new cartridge starts from a hard reset
    ASSERT_TRUE(CloseRomFile(*gb, &error_)) << error_;
    EXPECT_FALSE(fs::exists(Path("plain.kivoxram")));
}

TEST(RewindRingTest, KeepsTheLastTenSecondsAndStepsBackNewestFirst) {
    auto gb = std::make_unique<TGBSYSF>();
    RewindRing ring;
    EXPECT_LT(ring.bytes(), 32u << 20);
    // Slice n marks the machine with n in work RAM, in a register and in its picture.
    auto slice = [&](int n) {
        gb->memory.wram[100] = static_cast<u8>(n);
        gb->state.BC = static_cast<u16>(n);
        if (u8* picture = ring.AfterSlice(*gb)) std::memset(picture, n & 0xFF, 92160);
    };
    for (int n = 1; n <= 4 * 50; ++n) slice(n);
    // Every fourth slice, the last forty, newest first: slices 200, 196, ... 44; then nothing,
    // and the machine stays as it was.
    for (int k = 0; k < 40; ++k) {
        const int n = 200 - 4 * k;
        const u8* picture = ring.StepBack(*gb);
        ASSERT_NE(picture, nullptr) << k;
        EXPECT_EQ(gb->memory.wram[100], static_cast<u8>(n));
        EXPECT_EQ(gb->state.BC, n);
        EXPECT_EQ(picture[92159], n & 0xFF);
    }
    EXPECT_EQ(ring.StepBack(*gb), nullptr);
    EXPECT_EQ(gb->memory.wram[100], 44);
    // Resumed from a step back, the next snapshot comes four slices later; Clear forgets all.
    for (int n = 1; n <= 5; ++n) slice(n);
    ring.StepBack(*gb);
    EXPECT_EQ(gb->memory.wram[100], 4);
    slice(9);
    ring.Clear();
    EXPECT_EQ(ring.StepBack(*gb), nullptr);
}

}  // namespace
}  // namespace kivo
