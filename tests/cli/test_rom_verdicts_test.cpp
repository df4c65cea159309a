// The third-party test ROMs that report by the memory convention, run as a CI job would run them:
// kivo-run --verdict memory. Each row gives the verdict reached here and, for anything but a
// pass, the behaviour this machine models differently on purpose. The other blargg ROMs
// (cpu_instrs, instr_timing, mem_timing) report on the screen and the serial port only: their
// verdict is "none", and tests/machine/test_roms_test.cpp reads their screens instead.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/kivo_run.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

struct VerdictRow {
    const char* path;  // below the test-ROM folder
    const char* verdict;
    int slices;       // the limit: enough for the verdict with a margin
    const char* why;  // why the verdict is not "pass"
};

const VerdictRow kRows[] = {
    {"blargg/halt_bug.gb", "fail", 60,
     "HALT with IME clear continues after it; no byte is executed twice"},
    {"blargg/interrupt_time.gb", "fail", 40,
     "memory accesses and the timer advance per whole instruction"},
    {"blargg/oam_bug.gb", "fail", 300, "the OAM corruption of the console is not modelled"},
    // Both stay at 0x80 in their fourth test (the sweep) for as long as they are run: the sound
    // unit's timing is simplified.
    {"blargg/dmg_sound.gb", "none", 160, "sound is simplified: test 04 never completes"},
    {"blargg/cgb_sound.gb", "none", 160, "sound is simplified: test 04 never completes"},
};

const fs::path kFolder = KIVO_TEST_ROMS;

class TestRomVerdictTest : public test::KivoRunTest,
                           public ::testing::WithParamInterface<VerdictRow> {};

TEST_P(TestRomVerdictTest, ReachesItsVerdict) {
    const VerdictRow& row = GetParam();
    const fs::path path = kFolder / row.path;
    if (!fs::exists(path)) GTEST_SKIP() << path << " is absent";
    SCOPED_TRACE(row.why);
    const test::RunResult r =
        Run("--verdict memory --slices " + std::to_string(row.slices) + " " + path.string());
    const std::string expected = std::string("verdict=") + row.verdict + "\n";
    EXPECT_EQ(r.out.substr(0, expected.size()), expected) << r.out;
    EXPECT_EQ(r.status, std::string(row.verdict) == "pass" ? 0 : 3) << r.err;
    // Every one of them has written its name at least, and a finished one its last word.
    EXPECT_GT(r.out.find('\n', expected.size()), expected.size() + 3) << r.out;
    if (std::string(row.verdict) == "fail") {
        EXPECT_NE(r.out.find("\nFailed\n"), std::string::npos);
    }
    // A verdict reached ends the run before its limit.
    if (std::string(row.verdict) != "none") {
        EXPECT_EQ(r.out.find("slices=" + std::to_string(row.slices) + " "), std::string::npos);
    }
}

std::string RowName(const ::testing::TestParamInfo<VerdictRow>& info) {
    return fs::path(info.param.path).stem().string();
}

INSTANTIATE_TEST_SUITE_P(ThirdParty, TestRomVerdictTest, ::testing::ValuesIn(kRows), RowName);

}  // namespace
}  // namespace kivo
