// The third-party test ROMs that report by the memory convention, run as a CI job runs them:
// kivo-run --verdict memory, and with --exact. Each row gives the verdicts reached here and why
// one is not a pass.
// The other blargg ROMs (cpu_instrs, instr_timing, mem_timing) report on the screen and the
// serial port only, so their verdict is none; tests/machine/test_roms_test.cpp reads their
// screens instead.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/kivo_run.h"

namespace kivo {
namespace {

struct VerdictRow {
    const char* rom;    // in the blargg folder
    const char* title;  // the first line of its text
    const char* verdict;
    const char* exact_verdict;  // with --exact
    int slices;                 // the limit, with a margin over the slices the verdict takes
    const char* why;            // why the verdict is not "pass"
};

const VerdictRow kRows[] = {
    {"halt_bug", "halt bug", "fail", "pass", 60,
     "own rules: HALT with IME clear continues after it; no byte is executed twice"},
    {"interrupt_time", "interrupt time", "fail", "fail", 40,
     "memory accesses advance per whole instruction"},
    {"oam_bug", "oam_bug", "fail", "fail", 300,
     "the OAM corruption of the console is not modelled"},
    // Both still report 0x80 (running) in their fourth test after twenty console minutes.
    {"dmg_sound", "dmg_sound", "none", "none", 160,
     "sound is simplified: test 04 (sweep) never completes"},
    {"cgb_sound", "cgb_sound", "none", "none", 160,
     "sound is simplified: test 04 (sweep) never completes"},
};

using TestRomVerdictTest = test::KivoRunTest;

TEST_F(TestRomVerdictTest, BlarggRomsReachTheirVerdicts) {
    const std::filesystem::path folder = std::filesystem::path(KIVO_TEST_ROMS) / "blargg";
    if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << folder << " is absent";
    for (const VerdictRow& row : kRows) {
        for (const bool exact : {false, true}) {
            SCOPED_TRACE(std::string(row.rom) + (exact ? " --exact: " : ": ") + row.why);
            const std::string verdict = exact ? row.exact_verdict : row.verdict;
            const test::RunResult r =
                Run(std::string(exact ? "--exact " : "") + "--verdict memory --slices " +
                    std::to_string(row.slices) + " " + (folder / row.rom).string() + ".gb");
            EXPECT_EQ(r.status, verdict == "pass" ? 0 : 3) << r.err;
            // The verdict, the program's name, and for a finished test its last word before the
            // summary of a run that ended before its limit.
            EXPECT_EQ(r.out.rfind("verdict=" + verdict + "\n" + row.title + "\n", 0), 0u) << r.out;
            if (verdict != "none") {
                const char* word = verdict == "pass" ? "\nPassed\nslices=" : "\nFailed\nslices=";
                EXPECT_NE(r.out.find(word), std::string::npos) << r.out;
                EXPECT_EQ(r.out.find("slices=" + std::to_string(row.slices) + " "),
                          std::string::npos);
            }
        }
    }
}

}  // namespace
}  // namespace kivo
