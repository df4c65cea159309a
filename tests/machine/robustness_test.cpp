// A state file can bring any bytes into GbState and the I/O page. Whatever they hold, the machine
// must never read or write outside its arrays, shift by 32 or more, or overflow a signed counter
// (the sanitizer build turns any such fault into a failure here), every slice must end, and the
// state must still save and load unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "machine/gbsys.h"
#include "support/rom_builder.h"
#include "support/temp_dir.h"
#include "ui/state_files.h"

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

// What holds after any slice, whatever the state held before it: the slice ended at its length,
// the ROM window points into the image or the window, the mixer's write position is inside its
// block, and the debugger can read the whole address space through the bus.
void ExpectInsideRanges(const TGBSYSF& gb) {
    EXPECT_LT(gb.state.slice_cycles, 0x80000u);
    const bool in_image = gb.rom_bank1 >= gb.rom_image.data() &&
                          gb.rom_bank1 + kRomBankSize <= gb.rom_image.data() + gb.rom_image.size();
    const bool in_window = gb.rom_bank1 == gb.rom + kRomBankSize;
    EXPECT_TRUE(in_image || in_window);
    EXPECT_LT(gb.memory.sample_write_ptr, static_cast<u32>(kBlockBytes));
    unsigned sum = 0;
    for (unsigned address = 0; address <= 0xFFFF; address += 7) sum += gb.BusRead(address);
    (void)sum;
}

class Robustness : public test::TempDirTest {
  protected:
    // Saves the state, loads it into a second machine with the same cartridge and saves that:
    // both files and both states are byte-identical.
    void ExpectStateRoundTrip(const TGBSYSF& gb, const std::vector<std::uint8_t>& rom) {
        std::string error;
        ASSERT_TRUE(SaveState(gb, Path("a.kivostate"), &error)) << error;
        auto copy = std::make_unique<TGBSYSF>();
        test::OpenImage(*copy, rom);
        ASSERT_TRUE(LoadState(*copy, Path("a.kivostate"), &error)) << error;
        ASSERT_TRUE(SaveState(*copy, Path("b.kivostate"), &error)) << error;
        EXPECT_EQ(ReadText("a.kivostate"), ReadText("b.kivostate"));
        EXPECT_EQ(std::memcmp(&gb.state, &copy->state, sizeof(GbState)), 0);
    }
};

TEST_F(Robustness, AnyStateBytesKeepTheMachineInsideItsRanges) {
    auto gb = std::make_unique<TGBSYSF>();
    CountingPresenter presenter;
    CountingSound sound;
    gb->presenter = &presenter;
    gb->sound_output = &sound;
    std::mt19937 rng(20261206);
    const std::vector<std::uint8_t> rom = RandomRom(rng, 8);
    test::OpenImage(*gb, rom);

    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        FillRandom(gb->state, rng);
        FillRandom(gb->memory.io_page, rng);
        FillRandom(gb->memory.oam_page, rng);
        gb->state.BadOpCode = 0;  // let the processor run
        gb->SwitchRomBank();      // as loading a state does
        for (int slice = 0; slice < 2; ++slice) gb->RunSlice();
        ExpectInsideRanges(*gb);
        if (round % 10 == 0) ExpectStateRoundTrip(*gb, rom);
    }
}

TEST_F(Robustness, AnyOptionValuesKeepTheMachineInsideItsRanges) {
    auto gb = std::make_unique<TGBSYSF>();
    std::mt19937 rng(7);
    const std::vector<std::uint8_t> rom = RandomRom(rng, 4);
    test::OpenImage(*gb, rom);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        gb->system_type = rng();
        gb->system_force_cgbmode = rng();
        gb->Screen_refresh_ratio_index = rng();
        gb->UpdateFrameRatio();
        gb->Reset();
        FillRandom(gb->state, rng);
        gb->state.BadOpCode = 0;
        gb->SwitchRomBank();
        gb->RunSlice();
        ExpectInsideRanges(*gb);
    }
    ExpectStateRoundTrip(*gb, rom);
}

}  // namespace
}  // namespace kivo
