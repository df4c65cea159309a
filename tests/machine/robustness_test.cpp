// A state file can bring any bytes into GbState and the I/O page. Whatever they hold, the machine
// must never read or write outside its arrays, shift by 32 or more, or overflow a signed counter:
// the sanitizer build turns any such fault into a failure here.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

class CountingPresenter : public VideoPresenter {
  public:
    void CopyFrameToSurface(const std::uint8_t* frame) override { last_pixel = frame[32]; }
    void PresentFrame() override { ++presents; }
    int presents = 0;
    std::uint8_t last_pixel = 0;
};

class CountingSound : public SoundOutput {
  public:
    void StreamSoundBlock(const std::uint8_t* block) override {
        sum += block[0];
        ++blocks;
    }
    int blocks = 0;
    unsigned sum = 0;
};

template <typename T>
void FillRandom(T& object, std::mt19937& rng) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(&object);
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::uint8_t>(rng());
}

// Random code in every bank of an MBC5 cartridge, so the processor also wanders through bank
// switches, DMAs and register writes it was never meant to make.
std::vector<std::uint8_t> RandomRom(std::mt19937& rng, int banks) {
    auto rom = test::MakeRom({.banks = banks, .type = 0x1B, .size_code = 2, .cgb_flag = 0x80});
    for (std::size_t i = 0x150; i < rom.size(); ++i) rom[i] = static_cast<std::uint8_t>(rng());
    // Keep the file's length off a bank boundary so the partial last bank is exercised too.
    rom.resize(rom.size() - 0x1234);
    return rom;
}

TEST(Robustness, AnyStateBytesKeepTheMachineInsideItsMemory) {
    auto gb = std::make_unique<TGBSYSF>();
    CountingPresenter presenter;
    CountingSound sound;
    gb->presenter = &presenter;
    gb->sound_output = &sound;
    std::mt19937 rng(20261206);
    test::OpenImage(*gb, RandomRom(rng, 8));

    for (int round = 0; round < 150; ++round) {
        FillRandom(gb->state, rng);
        FillRandom(gb->memory.io_page, rng);
        FillRandom(gb->memory.oam_page, rng);
        gb->state.BadOpCode = 0;  // let the processor run
        gb->SwitchRomBank();      // as loading a state does
        for (int slice = 0; slice < 2; ++slice) gb->RunSlice();
        // The debugger reads the whole address space through the bus.
        unsigned sum = 0;
        for (unsigned address = 0; address <= 0xFFFF; address += 7) sum += gb->BusRead(address);
        (void)sum;
    }
    SUCCEED();
}

TEST(Robustness, AnyOptionValuesKeepTheMachineInsideItsMemory) {
    auto gb = std::make_unique<TGBSYSF>();
    std::mt19937 rng(7);
    test::OpenImage(*gb, RandomRom(rng, 4));
    for (int round = 0; round < 20; ++round) {
        gb->system_type = rng();
        gb->system_force_cgbmode = rng();
        gb->Screen_refresh_ratio_index = rng();
        gb->UpdateFrameRatio();
        gb->Reset();
        FillRandom(gb->state, rng);
        gb->state.BadOpCode = 0;
        gb->SwitchRomBank();
        gb->RunSlice();
    }
    SUCCEED();
}

// Real programs written by others, when their folder is present: each runs two console seconds
// without a crash or a sanitizer report. Their verdicts are informative (several test what this
// machine deliberately does not model), so only the run itself is checked here.
TEST(Robustness, ThirdPartyTestRomsRunWithoutFaults) {
    const std::filesystem::path folder = std::filesystem::path(KIVO_TEST_ROMS) / "blargg";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << folder << " is absent";
    int roms = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".gb") continue;
        auto gb = std::make_unique<TGBSYSF>();
        CountingPresenter presenter;
        CountingSound sound;
        gb->presenter = &presenter;
        gb->sound_output = &sound;
        gb->noise_seed_source = [] { return 0u; };
        gb->rom_file_name = entry.path().string();
        std::string error;
        ASSERT_TRUE(gb->OpenRom(&error)) << error;
        for (int slice = 0; slice < 32; ++slice) gb->RunSlice();
        EXPECT_GT(presenter.presents, 100) << entry.path();
        ++roms;
    }
    EXPECT_GT(roms, 0);
}

}  // namespace
}  // namespace kivo
