// The soak run: the demo cartridge for ten console minutes headless, with random key presses and
// a state saved to a file and loaded back every console second. The machine must come back from
// each round trip byte for byte, and resident memory must stay flat. Labelled "soak" in CTest so
// that a local run can leave it out (ctest -LE soak); the test command runs it. Under the
// sanitizers the allocator's quarantine keeps freed buffers resident, so only the release build
// checks resident memory; the sanitizers check everything else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "host/null_presenter.h"
#include "host/null_sound_output.h"
#include "support/temp_dir.h"
#include "ui/keys.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

constexpr int kConsoleSeconds = 10 * 60;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCheckResidentMemory = false;
#else
constexpr bool kCheckResidentMemory = true;
#endif
constexpr int kSlicesPerSecond = 16;

// Resident memory in KB, from /proc/self/statm.
long ResidentKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

using SoakTest = test::TempDirTest;

TEST_F(SoakTest, TenConsoleMinutesWithKeysAndAStateRoundTripEverySecond) {
    std::ifstream rom_file(KIVO_DEMO_ROM, std::ios::binary);
    const std::vector<u8> rom{std::istreambuf_iterator<char>(rom_file), {}};
    ASSERT_FALSE(rom.empty()) << KIVO_DEMO_ROM;
    auto gb = std::make_unique<TGBSYSF>();
    NullPresenter presenter;
    NullSoundOutput sound;
    gb->presenter = &presenter;
    gb->sound_output = &sound;
    gb->noise_seed_source = [] { return 0u; };
    std::string error;
    ASSERT_TRUE(gb->OpenRomImage(rom, "kivo-demo.gb", &error)) << error;

    std::mt19937 random(11);
    const std::string state_path = Path("soak.kivostate");
    long resident_start = 0;
    u32 frames_start = gb->frame_count;
    for (int second = 0; second < kConsoleSeconds; ++second) {
        for (int slice = 0; slice < kSlicesPerSecond; ++slice) {
            // About one key event per slice: a random button pressed or released through the
            // window's key handlers with the configured codes.
            const u32 code = gb->JoyPad_Keys[random() % 8];
            if (random() % 2) {
                KeyDown(*gb, code);
            } else {
                KeyUp(*gb, code);
            }
            gb->RunSlice();
        }
        ASSERT_TRUE(SaveState(*gb, state_path, &error)) << error;
        const std::vector<u8> saved = StateFileImage(*gb);
        ASSERT_TRUE(LoadState(*gb, state_path, &error)) << error;
        ASSERT_TRUE(StateFileImage(*gb) == saved) << "at console second " << second;
        ASSERT_FALSE(gb->state.BadOpCode) << "at console second " << second;
        // The first second's allocations (the state buffers, the file streams) are the baseline.
        if (second == 0) resident_start = ResidentKb();
    }
    // Ten minutes at 59.73 frames per second, give or take the last frame.
    EXPECT_NEAR(static_cast<double>(gb->frame_count - frames_start), kConsoleSeconds * 59.73, 2);
    const long resident_end = ResidentKb();
    if (kCheckResidentMemory) {
        EXPECT_LE(resident_end - resident_start, 512)
            << "resident memory grew from " << resident_start << " KB to " << resident_end << " KB";
    }
}

}  // namespace
}  // namespace kivo
