// kivo-run as a test runner: --until and --verdict on assembled programs that follow each result
// convention.
#include <gtest/gtest.h>

#include "cli/run_args.h"
#include "support/kivo_run.h"
#include "support/program_test.h"
#include "ui/state_files.h"

namespace kivo::cli {
namespace {

using namespace gbasm;

// Interrupts off and A cleared, then the program, which ends counting A and (C000) up for ever.
Asm Start() {
    Asm a(0x0150);
    a.di();
    a.xor_(A);
    return a;
}
Asm End(Asm a) {
    a.label("loop");
    a.inc(A);
    a.label("store");
    a.ld(Mem(0xC000), A);
    a.label("back");
    a.jr("loop");
    return a;
}
// B, C, D, E, H, L loaded, then LD B,B.
Asm Registers(std::vector<int> values, Asm a = Start()) {
    const R8 regs[] = {B, C, D, E, H, L};
    for (int i = 0; i < 6; ++i) a.ld(regs[i], values[i]);
    a.ld(B, B);
    return End(a);
}
const std::vector<int> kPass = {3, 5, 8, 13, 21, 34}, kFail = {66, 66, 66, 66, 66, 66};
// The signature (first, or after the status 0x80), the text, then the final status.
Asm Memory(int status, const std::string& text, bool signature_first = false) {
    Asm a = Start();
    const auto put = [&a](int address, const std::vector<int>& bytes) {
        a.ld(HL, address);
        for (int b : bytes) a.ld(A, b), a.ld(Mem(HLI), A);
    };
    if (signature_first) put(0xA001, {0xDE, 0xB0, 0x61});
    put(0xA000, {0x80, 0xDE, 0xB0, 0x61});
    put(0xA004, std::vector<int>(text.begin(), text.end()));
    a.ld(Mem(HL), 0);
    a.ld(A, status);
    a.ld(Mem(0xA000), A);
    return End(a);
}

class RunnerUntilTest : public test::KivoRunTest {
  protected:
    // An MBC1 cartridge with battery RAM: a result of an earlier run may wait in its RAM file.
    std::string Rom(const Asm& program) const {
        std::vector<u8> rom = test::MakeRom({.type = 0x03});
        PlaceInRom(rom, program);
        WriteText("test.gb", std::string(rom.begin(), rom.end()));
        return "@test.gb ";
    }
};

TEST_F(RunnerUntilTest, ConventionsGiveTheirVerdictBeforeTheSummaryAndTheExitStatus) {
    WriteText("test.kivoxram", std::string("\0\xDE\xB0\x61old\0", 8));  // a pass, left over
    const struct {
        Asm program;
        const char* args;
        const char* out;  // up to the summary's frame count
        int status;
    } rows[] = {
        {Registers(kPass), "--verdict registers", "verdict=pass\nslices=1 ", 0},
        {Registers(kFail), "--verdict registers", "verdict=fail\nslices=1 ", 3},
        {Registers({3, 5, 8, 13, 21, 66}), "--verdict registers", "verdict=none\nslices=1 ", 3},
        {End(Start()), "--verdict registers --slices 3", "verdict=none\nslices=3 ", 3},
        {Memory(0, "All passed\n"), "--verdict memory", "verdict=pass\nAll passed\nslices=1 ", 0},
        {Memory(2, "Failed #2", true), "--verdict memory", "verdict=fail\nFailed #2\nslices=1 ", 3},
        {Memory(0x80, "Running"), "--verdict memory --slices 3", "verdict=none\nRunning\nslices=3 ",
         3},
        {Registers(kPass), "--verdict memory --slices 3", "verdict=pass\nold\nslices=3 ", 0},
        // --until alone prints nothing more; reaching the limit first exits with 3.
        {Registers(kFail), "--until ld-b-b", "slices=1 ", 0},
        {End(Start()), "--until pc=0x0100 --until mem:C001=FF --slices 2", "slices=2 ", 3},
    };
    for (const auto& row : rows) {
        const test::RunResult r = Run(Rom(row.program) + row.args);
        EXPECT_EQ(r.status, row.status) << row.args << ": " << r.err;
        EXPECT_EQ(r.out.rfind(row.out, 0), 0u) << row.args << ": " << r.out;
    }
}

TEST_F(RunnerUntilTest, TheRunStopsAfterTheStepAtWhichTheFirstConditionHolds) {
    const Asm program = Registers(kPass);
    const struct {
        const char* until;
        const char* next;  // the instruction the saved state is at
        int a;             // the counter
    } rows[] = {
        {"--verdict registers", "loop", -1},
        {"--until pc=0x0160", "store", 1},
        {"--until mem:c000=c8", "back", 200},
        {"--until mem:c000=9 --until mem:c000=3 --until pc=0", "back", 3},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(program.addr("store"), 0x0160);
        const test::RunResult r =
            Run(Rom(program) + row.until +
                " --save-state @s.kivostate --screenshot @s.png --wav @s.wav");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind("slices=1 frames=", 0) == std::string::npos, row.a < 0) << r.out;
        auto gb = std::make_unique<TGBSYSF>();
        std::string error;
        ASSERT_TRUE(LoadState(*gb, Path("s.kivostate"), &error)) << error;
        EXPECT_EQ(gb->state.PC, program.addr(row.next)) << row.until;
        EXPECT_EQ(gb->state.BC, 0x0305);
        if (row.a >= 0) {
            EXPECT_EQ(gb->state.AF >> 8, row.a) << row.until;
        }
        // The picture and a few hundred instructions of sound, not a slice's 1378 frames.
        EXPECT_GT(ReadText("s.png").size(), 0u);
        EXPECT_LT(ReadText("s.wav").size(), 44u + 4u * 100u);
    }
}

TEST_F(RunnerUntilTest, FramesAndInputDecideWhereTheRunEnds) {
    Asm a = Start();  // waits for A, then passes
    a.ld(A, 0x10);    // select the buttons
    a.ldh(0x00, A);
    a.label("wait");
    a.ldh(A, 0x00);
    a.bit(0, A);
    a.jr(NZ, "wait");
    const std::string rom = Rom(Registers(kPass, a)) + "--verdict registers ";
    WriteText("a.txt", "10 a down\n");
    const std::pair<const char*, const char*> rows[] = {
        // A reaches the program at the hand-over of frame 10, in the third slice.
        {"--frames 20 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n"},
        {"--slices 16 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n"},
        {"--frames 20", "verdict=none\nslices=6 frames=22 bad_opcode=0\n"},
        // --frames runs whole slices: frame 10 comes within the slice that reaches frame 9.
        {"--frames 9 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n"},
        {"--frames 5 --input @a.txt", "verdict=none\nslices=2 frames=7 bad_opcode=0\n"},
    };
    for (const auto& [args, out] : rows) EXPECT_EQ(Run(rom + args).out, out) << args;
}

}  // namespace
}  // namespace kivo::cli
