// Programs written by others, from the folder of third-party test ROMs when it is present. Each
// row names a ROM, the verdicts it reaches here, by the machine's own rules and by the console's
// (system_exact_hardware), and, for a failure, the behaviour that is modelled differently. A test
// program prints "Passed" or "Failed" in the background map; a game has no verdict and only has to
// run. Every ROM must run without a crash or a sanitizer report whatever its verdict. The memory
// convention some of them also report by is held to kivo-run --verdict memory in
// tests/cli/runner_until_test.cpp.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>

#include "machine/gbsys.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

enum class Verdict { kPassed, kFailed, kRuns };

struct TestRom {
    const char* path;  // below the test-ROM folder
    Verdict verdict;   // by the machine's own rules
    Verdict exact;     // by the console's
    int slices;        // the most run slices (sixteenths of a console second) to reach it
    const char* why;   // why a verdict is not "Passed"
};

constexpr Verdict kPassed = Verdict::kPassed, kFailed = Verdict::kFailed, kRuns = Verdict::kRuns;
constexpr const char* kFlags =
    "own rules: F keeps the Z80 flag layout, which PUSH AF shows the program";
constexpr const char* kTiming =
    "memory accesses (and, by the machine's own rules, the timer) advance per whole instruction";

const TestRom kTestRoms[] = {
    {"blargg/cpu_instrs_individual/01-special.gb", kFailed, kPassed, 40, kFlags},
    {"blargg/cpu_instrs_individual/02-interrupts.gb", kPassed, kPassed, 40, ""},
    {"blargg/cpu_instrs_individual/03-op_sp_hl.gb", kFailed, kPassed, 60, kFlags},
    {"blargg/cpu_instrs_individual/04-op_r_imm.gb", kFailed, kPassed, 60, kFlags},
    {"blargg/cpu_instrs_individual/05-op_rp.gb", kFailed, kPassed, 60, kFlags},
    {"blargg/cpu_instrs_individual/06-ld_r_r.gb", kPassed, kPassed, 40, ""},
    {"blargg/cpu_instrs_individual/07-jr_jp_call_ret_rst.gb", kFailed, kPassed, 40, kFlags},
    {"blargg/cpu_instrs_individual/08-misc_instrs.gb", kFailed, kPassed, 40, kFlags},
    {"blargg/cpu_instrs_individual/09-op_r_r.gb", kFailed, kPassed, 160, kFlags},
    {"blargg/cpu_instrs_individual/10-bit_ops.gb", kFailed, kPassed, 200, kFlags},
    {"blargg/cpu_instrs_individual/11-op_a__hl_.gb", kFailed, kPassed, 240, kFlags},
    {"blargg/cpu_instrs.gb", kFailed, kPassed, 600, kFlags},
    {"blargg/instr_timing.gb", kFailed, kPassed, 320,
     "own rules: the timer counts at most once per instruction, RES and SET (HL) take 12 cycles"},
    {"blargg/mem_timing.gb", kFailed, kFailed, 60, kTiming},
    {"blargg/interrupt_time.gb", kFailed, kFailed, 40, kTiming},
    {"blargg/halt_bug.gb", kFailed, kPassed, 60,
     "own rules: HALT with IME clear continues after it; no byte is executed twice"},
    {"blargg/oam_bug.gb", kFailed, kFailed, 300,
     "the OAM corruption of the console is not modelled"},
    {"blargg/dmg_sound.gb", kRuns, kRuns, 64, "its verdict takes minutes; sound is simplified"},
    {"blargg/cgb_sound.gb", kRuns, kRuns, 64, "its verdict takes minutes; sound is simplified"},
    {"homebrew/adjustris.gb", kRuns, kRuns, 128, "a game"},
    {"homebrew/tobutobugirl-wip2015.gb", kRuns, kRuns, 128, "a game"},
};

const fs::path kFolder = KIVO_TEST_ROMS;

// "Passed" or "Failed" as the program prints it into either background map, or empty.
std::string PrintedVerdict(const TGBSYSF& gb) {
    const std::string maps(reinterpret_cast<const char*>(gb.memory.vram + 0x1800), 0x800);
    for (const char* word : {"Passed", "Failed"}) {
        if (maps.find(word) != std::string::npos) return word;
    }
    return {};
}

class TestRomTest : public ::testing::TestWithParam<std::tuple<TestRom, bool>> {};

TEST_P(TestRomTest, ReachesItsVerdict) {
    const auto& [rom, exact] = GetParam();
    const fs::path path = kFolder / rom.path;
    if (!fs::exists(path)) GTEST_SKIP() << path << " is absent";
    SCOPED_TRACE(rom.why);
    const Verdict verdict = exact ? rom.exact : rom.verdict;
    auto gb = std::make_unique<TGBSYSF>();
    gb->system_exact_hardware = exact;
    gb->noise_seed_source = [] { return 0u; };
    gb->rom_file_name = path.string();
    std::string error;
    ASSERT_TRUE(gb->OpenRom(&error)) << error;

    std::string printed;
    for (int slice = 0; slice < rom.slices && printed.empty(); ++slice) {
        gb->RunSlice();
        if (verdict != Verdict::kRuns) printed = PrintedVerdict(*gb);
    }
    EXPECT_EQ(gb->state.BadOpCode, 0);
    switch (verdict) {
        case Verdict::kPassed: EXPECT_EQ(printed, "Passed"); break;
        case Verdict::kFailed: EXPECT_EQ(printed, "Failed"); break;
        case Verdict::kRuns: EXPECT_GT(gb->frame_count, rom.slices * 3u); break;
    }
}

std::string RowName(const ::testing::TestParamInfo<std::tuple<TestRom, bool>>& info) {
    std::string name = fs::path(std::get<0>(info.param).path).stem().string() +
                       (std::get<1>(info.param) ? "_exact" : "");
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(ThirdParty, TestRomTest,
                         ::testing::Combine(::testing::ValuesIn(kTestRoms), ::testing::Bool()),
                         RowName);

}  // namespace
}  // namespace kivo
