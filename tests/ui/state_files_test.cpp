// State files, memory files and battery saves: exact layouts, the bank a loaded state maps, the
// battery file kept beside its cartridge; and the rewind ring of snapshots.
#include "ui/state_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "support/rom_builder.h"
#include "support/temp_dir.h"
#include "ui/rewind_ring.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;

template <typename T>
Bytes BytesOf(const T& object) {
    const auto* p = reinterpret_cast<const u8*>(&object);
    return Bytes(p, p + sizeof(T));
}

class FilesTest : public test::TempDirTest {
  protected:
    Bytes Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void Write(const std::string& name, const Bytes& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << std::string(bytes.begin(), bytes.end());
    }
    // A machine whose state and saved regions hold a pattern that differs per region and byte.
    static std::unique_ptr<TGBSYSF> Filled(u8 seed) {
        auto gb = std::make_unique<TGBSYSF>();
        auto* arena = reinterpret_cast<u8*>(&gb->memory);
        for (std::size_t i = 0; i < kStateRegionsBytes; ++i) {
            arena[i] = static_cast<u8>(i * 7 + seed + (i >> 9));
        }
        auto* state = reinterpret_cast<u8*>(&gb->state);
        for (std::size_t i = 0; i < sizeof(GbState); ++i) state[i] = static_cast<u8>(i * 13 + seed);
        return gb;
    }

    std::string error_;
};

// Whatever extension the user typed, or none, the file gets the command's own.
TEST(SavePathTest, ChosenNamesTakeTheCommandsExtension) {
    struct Case {
        std::string chosen, state, xram, vram, wram;
    };
    const Case cases[] = {
        {"x.sav", "x.kivostate", "x.kivoxram", "x.kivovram", "x.kivowram"},
        {"/d.e/x.y.z", "/d.e/x.y.kivostate", "/d.e/x.y.kivoxram", "/d.e/x.y.kivovram",
         "/d.e/x.y.kivowram"},
        {"/d/.hidden", "/d/.hidden.kivostate", "/d/.hidden.kivoxram", "/d/.hidden.kivovram",
         "/d/.hidden.kivowram"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StatePathFor(c.chosen), c.state);
        EXPECT_EQ(MemoryPathFor(MemoryRegion::XRAM, c.chosen), c.xram);
        EXPECT_EQ(MemoryPathFor(MemoryRegion::VRAM, c.chosen), c.vram);
        EXPECT_EQ(MemoryPathFor(MemoryRegion::WRAM, c.chosen), c.wram);
    }
}

TEST_F(FilesTest, SavedStateLoadsBackAndSavesToAnIdenticalFile) {
    const auto gb = Filled(1);
    ASSERT_TRUE(SaveState(*gb, Path("a.kivostate"), &error_)) << error_;
    const Bytes first = Read("a.kivostate");
    // The saved regions as the memory arena lays them out, then GbState.
    const Bytes arena = BytesOf(gb->memory);
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + 0x2C200, arena.begin()));
    EXPECT_EQ(Bytes(first.begin() + 0x2C200, first.end()), BytesOf(gb->state));

    const auto other = Filled(99);
    ASSERT_TRUE(LoadState(*other, Path("a.kivostate"), &error_)) << error_;
    ASSERT_TRUE(SaveState(*other, Path("b.kivostate"), &error_)) << error_;
    EXPECT_EQ(Read("b.kivostate"), first);
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

// Rejected loads and failed saves of every kind are in the bad-input matrix.
TEST_F(FilesTest, MemoryFilesFillTheirRegionFromTheStart) {
    const auto gb = Filled(9);
    // An 8 KB cartridge save replaces bank 0 alone; a longer file is cut at the region's end.
    Bytes xram = BytesOf(gb->memory.xram);
    std::fill_n(xram.begin(), 8192, 0xC3);
    Write("small.kivoxram", Bytes(8192, 0xC3));
    ASSERT_TRUE(LoadMemory(*gb, MemoryRegion::XRAM, Path("small.kivoxram"), &error_)) << error_;
    EXPECT_EQ(BytesOf(gb->memory.xram), xram);
    const u8 oam_before = gb->memory.oam_page[0];
    Write("big.kivovram", Bytes(20000, 0x3C));
    ASSERT_TRUE(LoadMemory(*gb, MemoryRegion::VRAM, Path("big.kivovram"), &error_)) << error_;
    EXPECT_EQ(gb->memory.vram[16383], 0x3C);
    EXPECT_EQ(gb->memory.oam_page[0], oam_before);
}

class BatteryTest : public FilesTest {
  protected:
    std::string RomFile(const std::string& name, u8 type) {
        Write(name, test::MakeRom({.banks = 4, .type = type, .size_code = 1}));
        return Path(name);
    }
    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
};

TEST_F(BatteryTest, CartridgeRamIsSavedOnCloseOrOpenAndReloadedOnOpen) {
    const std::string game = RomFile("game.gbc", 0x1B);  // MBC5 + RAM + battery
    ASSERT_TRUE(OpenRomFile(*gb, game, &error_)) << error_;
    for (int i = 0; i < 131072; ++i) gb->memory.xram[i] = static_cast<u8>(i * 3 + 1);
    const Bytes saved(gb->memory.xram, gb->memory.xram + 131072);
    ASSERT_TRUE(CloseRomFile(*gb, &error_)) << error_;
    EXPECT_FALSE(gb->rom_open);
    EXPECT_EQ(Read("game.kivoxram"), saved);
    gb->HardReset();  // cartridge RAM now all zero
    ASSERT_TRUE(OpenRomFile(*gb, game, &error_)) << error_;
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), gb->memory.xram));

    // Opening another cartridge saves this one's RAM first; one without a battery saves nothing.
    gb->memory.xram[0x1234] = 0x77;
    const std::string plain = RomFile("plain.gb", 0x01);  // MBC1, no battery
    ASSERT_TRUE(OpenRomFile(*gb, plain, &error_)) << error_;
    EXPECT_EQ(gb->rom_file_name, plain);
    EXPECT_EQ(Read("game.kivoxram").at(0x1234), 0x77);
    EXPECT_EQ(gb->memory.xram[0x1234], 0);  // the new cartridge starts from a hard reset
    ASSERT_TRUE(CloseRomFile(*gb, &error_)) << error_;
    EXPECT_FALSE(fs::exists(Path("plain.kivoxram")));
}

TEST(RewindRingTest, KeepsTheLastTenSecondsAndStepsBackNewestFirst) {
    auto gb = std::make_unique<TGBSYSF>();
    RewindRing ring;
    EXPECT_LT(ring.bytes(), 32u << 20);
    EXPECT_EQ(ring.StepBack(*gb), nullptr);

    // Slice n marks the machine with n in work RAM, in a register and in its picture.
    auto slice = [&](int n) {
        gb->memory.wram[100] = static_cast<u8>(n);
        gb->state.BC = static_cast<u16>(n);
        if (u8* picture = ring.AfterSlice(*gb)) std::memset(picture, n & 0xFF, 92160);
    };
    for (int n = 1; n <= 3; ++n) slice(n);
    EXPECT_EQ(ring.size(), 0);
    for (int n = 4; n <= 4 * 50; ++n) slice(n);
    EXPECT_EQ(ring.size(), 40);

    // Newest first: slices 200, 196, ... 44; then nothing, and the machine stays as it was.
    for (int k = 0; k < 40; ++k) {
        const int n = 200 - 4 * k;
        const u8* picture = ring.StepBack(*gb);
        ASSERT_NE(picture, nullptr) << k;
        EXPECT_EQ(gb->memory.wram[100], static_cast<u8>(n));
        EXPECT_EQ(gb->state.BC, n);
        EXPECT_EQ(picture[0], n & 0xFF);
        EXPECT_EQ(picture[92159], n & 0xFF);
    }
    EXPECT_EQ(ring.StepBack(*gb), nullptr);
    EXPECT_EQ(gb->memory.wram[100], 44);

    // Resumed from a step back, the next snapshot comes four slices later; Clear forgets all.
    for (int n = 1; n <= 5; ++n) slice(n);
    EXPECT_EQ(ring.size(), 1);
    ring.StepBack(*gb);
    EXPECT_EQ(gb->memory.wram[100], 4);
    slice(9);
    ring.Clear();
    EXPECT_EQ(ring.StepBack(*gb), nullptr);
}

}  // namespace
}  // namespace kivo
