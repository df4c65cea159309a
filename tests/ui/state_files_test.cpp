// State files, memory files and battery saves: exact sizes and layouts, a machine left untouched
// by any file it rejects, and saves that never destroy the previous file when writing fails.
#include "ui/state_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "support/rom_builder.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kivo_files_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

    static std::vector<u8> ReadBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void WriteBytes(const std::string& path, const std::vector<u8>& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    std::size_t FilesInDir() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

// Fills the regions a state holds with a pattern that differs per region and per byte.
void FillMachine(TGBSYSF& gb, u8 seed) {
    auto* arena = reinterpret_cast<u8*>(&gb.memory);
    for (std::size_t i = 0; i < kStateRegionsBytes; ++i) {
        arena[i] = static_cast<u8>(i * 7 + seed + (i >> 9));
    }
    auto* state = reinterpret_cast<u8*>(&gb.state);
    for (std::size_t i = 0; i < sizeof(GbState); ++i) state[i] = static_cast<u8>(i * 13 + seed);
}

// Everything a rejected load must leave alone.
struct Snapshot {
    explicit Snapshot(const TGBSYSF& gb)
        : memory(reinterpret_cast<const u8*>(&gb.memory),
                 reinterpret_cast<const u8*>(&gb.memory) + sizeof(GbMemory)),
          state(reinterpret_cast<const u8*>(&gb.state),
                reinterpret_cast<const u8*>(&gb.state) + sizeof(GbState)),
          rom(gb.rom, gb.rom + sizeof gb.rom) {}
    bool operator==(const Snapshot&) const = default;
    std::vector<u8> memory, state, rom;
};

TEST_F(FilesTest, SavedStateLoadsBackAndSavesToAnIdenticalFile) {
    auto gb = std::make_unique<TGBSYSF>();
    FillMachine(*gb, 1);
    std::string error;
    ASSERT_TRUE(SaveState(*gb, PathOf("a.kivostate"), &error)) << error;
    const std::vector<u8> first = ReadBytes(PathOf("a.kivostate"));
    ASSERT_EQ(first.size(), 181628u);
    // Regions in file order at their arena offsets, then GbState.
    EXPECT_EQ(first[0x00010], gb->memory.wram[0x10]);
    EXPECT_EQ(first[0x08010], gb->memory.xram[0x10]);
    EXPECT_EQ(first[0x28010], gb->memory.vram[0x10]);
    EXPECT_EQ(first[0x2C010], gb->memory.oam_page[0x10]);
    EXPECT_EQ(first[0x2C110], gb->memory.io_page[0x10]);
    EXPECT_EQ(std::memcmp(first.data() + 0x2C200, &gb->state, sizeof(GbState)), 0);

    auto other = std::make_unique<TGBSYSF>();
    FillMachine(*other, 99);
    ASSERT_TRUE(LoadState(*other, PathOf("a.kivostate"), &error)) << error;
    EXPECT_EQ(std::memcmp(&other->state, &gb->state, sizeof(GbState)), 0);
    EXPECT_EQ(std::memcmp(&other->memory, &gb->memory, kStateRegionsBytes), 0);
    ASSERT_TRUE(SaveState(*other, PathOf("b.kivostate"), &error)) << error;
    EXPECT_EQ(ReadBytes(PathOf("b.kivostate")), first);
}

TEST_F(FilesTest, LoadedStateMapsTheRomBankItWasSavedWith) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.banks = 8, .type = 0x19, .size_code = 2}));
    gb->BusWrite(0x2000, 5);
    ASSERT_EQ(gb->BusRead(0x4000), 5);
    std::string error;
    ASSERT_TRUE(SaveState(*gb, PathOf("bank5.kivostate"), &error)) << error;

    gb->BusWrite(0x2000, 2);
    ASSERT_EQ(gb->BusRead(0x4000), 2);
    ASSERT_TRUE(LoadState(*gb, PathOf("bank5.kivostate"), &error)) << error;
    EXPECT_EQ(gb->state.Bank_ROM1, 5u);
    EXPECT_EQ(gb->BusRead(0x4000), 5);
    EXPECT_EQ(gb->BusRead(0x7FFF), 5);
}

TEST_F(FilesTest, RejectedStateLeavesTheMachineUntouched) {
    auto gb = std::make_unique<TGBSYSF>();
    FillMachine(*gb, 3);
    const Snapshot before(*gb);

    WriteBytes(PathOf("short.kivostate"), std::vector<u8>(181627, 0xAA));
    WriteBytes(PathOf("long.kivostate"), std::vector<u8>(181629, 0xAA));
    WriteBytes(PathOf("wram.kivowram"), std::vector<u8>(32768, 0xAA));
    WriteBytes(PathOf("empty.kivostate"), {});
    fs::create_directories(dir_ / "folder.kivostate");

    for (const char* name : {"short.kivostate", "long.kivostate", "wram.kivowram",
                             "empty.kivostate", "folder.kivostate", "missing.kivostate"}) {
        std::string error;
        EXPECT_FALSE(LoadState(*gb, PathOf(name), &error)) << name;
        EXPECT_NE(error.find(PathOf(name)), std::string::npos) << error;
        EXPECT_TRUE(Snapshot(*gb) == before) << name;
    }
    std::string error;
    LoadState(*gb, PathOf("short.kivostate"), &error);
    EXPECT_NE(error.find("181627"), std::string::npos) << error;
}

TEST_F(FilesTest, FailedSaveReportsAndKeepsThePreviousFile) {
    auto gb = std::make_unique<TGBSYSF>();
    FillMachine(*gb, 5);
    std::string error;
    const std::string missing = (dir_ / "no_folder" / "x.kivostate").string();
    EXPECT_FALSE(SaveState(*gb, missing, &error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(missing));

    // A full disk, simulated with a file-size limit: the write stops partway through the
    // temporary file, and the old save must come through whole.
    const std::string target = PathOf("old.kivostate");
    const std::vector<u8> old_bytes(181628, 0x5A);
    WriteBytes(target, old_bytes);
    struct rlimit saved_limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = SaveState(*gb, target, &error);
    const bool saved_memory = SaveMemory(*gb, MemoryRegion::XRAM, target, &error);
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    std::signal(SIGXFSZ, previous_handler);

    EXPECT_FALSE(saved);
    EXPECT_FALSE(saved_memory);
    EXPECT_NE(error.find(target), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(target), old_bytes);
    EXPECT_EQ(FilesInDir(), 1u);  // no temporary file left behind
}

TEST_F(FilesTest, SaveStateCommandNamesTheFileWithItsExtension) {
    EXPECT_EQ(StatePathFor("/saves/zelda.sav"), "/saves/zelda.kivostate");
    EXPECT_EQ(StatePathFor("/saves/zelda"), "/saves/zelda.kivostate");
    EXPECT_EQ(StatePathFor("/saves/zelda.kivostate"), "/saves/zelda.kivostate");
    EXPECT_EQ(BatteryRamPath("/roms/pokemon.gbc"), "/roms/pokemon.kivoxram");
}

TEST_F(FilesTest, ShortMemoryFileFillsOnlyItsStartAndLongOneIsCut) {
    auto gb = std::make_unique<TGBSYSF>();
    FillMachine(*gb, 9);
    const std::vector<u8> xram_before(gb->memory.xram, gb->memory.xram + 131072);
    std::string error;

    // An 8 KB cartridge save replaces bank 0 alone.
    WriteBytes(PathOf("small.kivoxram"), std::vector<u8>(8192, 0xC3));
    ASSERT_TRUE(LoadMemory(*gb, MemoryRegion::XRAM, PathOf("small.kivoxram"), &error)) << error;
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(gb->memory.xram[i], 0xC3) << i;
    EXPECT_TRUE(
        std::equal(gb->memory.xram + 8192, gb->memory.xram + 131072, xram_before.begin() + 8192));

    const u8 oam_before = gb->memory.oam_page[0];
    WriteBytes(PathOf("big.kivovram"), std::vector<u8>(20000, 0x3C));
    ASSERT_TRUE(LoadMemory(*gb, MemoryRegion::VRAM, PathOf("big.kivovram"), &error)) << error;
    EXPECT_EQ(gb->memory.vram[16383], 0x3C);
    EXPECT_EQ(gb->memory.oam_page[0], oam_before);  // the next region is not touched

    const std::vector<u8> wram_before(gb->memory.wram, gb->memory.wram + 32768);
    EXPECT_FALSE(LoadMemory(*gb, MemoryRegion::WRAM, PathOf("absent.kivowram"), &error));
    EXPECT_NE(error.find("absent.kivowram"), std::string::npos);
    EXPECT_TRUE(std::equal(wram_before.begin(), wram_before.end(), gb->memory.wram));
}

TEST_F(FilesTest, ClearingRamLeavesRegistersOamAndHighRamAlone) {
    auto gb = std::make_unique<TGBSYSF>();
    FillMachine(*gb, 11);
    const std::vector<u8> state_before(reinterpret_cast<u8*>(&gb->state),
                                       reinterpret_cast<u8*>(&gb->state) + sizeof(GbState));
    const std::vector<u8> pages_before(gb->memory.oam_page, gb->memory.oam_page + 512);

    ClearMemory(*gb, MemoryRegion::VRAM);
    EXPECT_EQ(gb->memory.vram[16383], 0);
    EXPECT_NE(gb->memory.wram[1], 0);
    ClearAllRam(*gb);
    for (u8 b : gb->memory.wram) ASSERT_EQ(b, 0);
    for (u8 b : gb->memory.xram) ASSERT_EQ(b, 0);
    for (u8 b : gb->memory.vram) ASSERT_EQ(b, 0);
    EXPECT_TRUE(std::equal(pages_before.begin(), pages_before.end(), gb->memory.oam_page));
    EXPECT_EQ(std::memcmp(state_before.data(), &gb->state, sizeof(GbState)), 0);
}

class BatteryTest : public FilesTest {
  protected:
    std::string MakeRomFile(const std::string& name, u8 type) {
        const std::string path = PathOf(name);
        WriteBytes(path, test::MakeRom({.banks = 4, .type = type, .size_code = 1}));
        return path;
    }
};

TEST_F(BatteryTest, CartridgeRamIsSavedOnCloseAndReloadedOnOpen) {
    auto gb = std::make_unique<TGBSYSF>();
    gb->noise_seed_source = [] { return 0u; };
    const std::string rom = MakeRomFile("game.gbc", 0x1B);  // MBC5 + RAM + battery
    std::string error;
    ASSERT_TRUE(OpenRomFile(*gb, rom, &error)) << error;
    ASSERT_TRUE(gb->cart_battery);
    for (int i = 0; i < 131072; ++i) gb->memory.xram[i] = static_cast<u8>(i * 3 + 1);
    const std::vector<u8> saved(gb->memory.xram, gb->memory.xram + 131072);

    ASSERT_TRUE(CloseRomFile(*gb, &error)) << error;
    EXPECT_FALSE(gb->rom_open);
    EXPECT_EQ(ReadBytes(PathOf("game.kivoxram")), saved);

    gb->HardReset();  // cartridge RAM now all zero
    ASSERT_TRUE(OpenRomFile(*gb, rom, &error)) << error;
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), gb->memory.xram));
}

TEST_F(BatteryTest, OpeningAnotherRomSavesTheFirstOnesBatteryRam) {
    auto gb = std::make_unique<TGBSYSF>();
    const std::string game = MakeRomFile("game.gb", 0x03);    // MBC1 + RAM + battery
    const std::string plain = MakeRomFile("plain.gb", 0x01);  // MBC1, no battery
    std::string error;
    ASSERT_TRUE(OpenRomFile(*gb, game, &error)) << error;
    gb->memory.xram[0x1234] = 0x77;
    ASSERT_TRUE(OpenRomFile(*gb, plain, &error)) << error;
    EXPECT_EQ(gb->rom_file_name, plain);
    EXPECT_EQ(ReadBytes(PathOf("game.kivoxram")).at(0x1234), 0x77);
    EXPECT_EQ(gb->memory.xram[0x1234], 0);  // the new cartridge starts from a hard reset

    ASSERT_TRUE(CloseRomFile(*gb, &error)) << error;
    EXPECT_FALSE(fs::exists(PathOf("plain.kivoxram")));
}

TEST_F(BatteryTest, RomThatCannotBeOpenedIsReportedAndLeavesNoRomOpen) {
    auto gb = std::make_unique<TGBSYSF>();
    const std::string missing = PathOf("missing.gb");
    std::string error;
    EXPECT_FALSE(OpenRomFile(*gb, missing, &error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_FALSE(gb->rom_open);
}

TEST_F(BatteryTest, BatterySaveThatFailsKeepsTheCartridgeOpen) {
    auto gb = std::make_unique<TGBSYSF>();
    const std::string game = MakeRomFile("game.gb", 0x03);
    const std::string plain = MakeRomFile("plain.gb", 0x01);
    // A folder stands where the save should go, so it cannot be written.
    fs::create_directories(dir_ / "game.kivoxram");
    std::string error;
    ASSERT_TRUE(OpenRomFile(*gb, game, &error)) << error;
    gb->memory.xram[5] = 0x42;

    EXPECT_FALSE(OpenRomFile(*gb, plain, &error));
    EXPECT_NE(error.find("game.kivoxram"), std::string::npos) << error;
    EXPECT_TRUE(gb->rom_open);
    EXPECT_EQ(gb->rom_file_name, game);
    EXPECT_EQ(gb->memory.xram[5], 0x42);

    // Closing still closes; the RAM stays in memory for "Save XRAM...".
    EXPECT_FALSE(CloseRomFile(*gb, &error));
    EXPECT_FALSE(gb->rom_open);
    EXPECT_EQ(gb->memory.xram[5], 0x42);
}

}  // namespace
}  // namespace kivo
