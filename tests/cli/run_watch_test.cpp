// The runner's watch over the machine's steps, in process: where a watched slice stops, what it
// reports of each step, and how the two result conventions are read.
#include "cli/run_watch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "support/program_test.h"
#include "ui/state_files.h"

namespace kivo::cli {
namespace {

using namespace gbasm;

// Stops after a number of steps, noting the opcode each reported.
struct StepCounter final : StepWatch {
    bool AfterStep(const TGBSYSF&, int opcode) override {
        opcodes.push_back(opcode);
        return static_cast<int>(opcodes.size()) == stop_after;
    }
    int stop_after = -1;
    std::vector<int> opcodes;
};

class RunWatchTest : public test::ProgramTest {
  protected:
    // Runs watched slices until the watch stops one (at most `slices`); true when it did.
    bool RunUntil(RunWatch& watch, int slices = 4) {
        for (int i = 0; i < slices; ++i) {
            if (gb.RunSliceWatched(watch)) return true;
        }
        return false;
    }
};

TEST_F(RunWatchTest, AStoppedSliceResumedEndsWhereAnUnstoppedSliceEnds) {
    // The demo cartridge: picture, sound, timer and interrupts all at work.
    std::ifstream in(KIVO_DEMO_ROM, std::ios::binary);
    const std::vector<u8> rom(std::istreambuf_iterator<char>(in), {});
    auto reference = std::make_unique<TGBSYSF>();
    test::OpenImage(*reference, rom);
    test::OpenImage(gb, rom);
    reference->RunSlice();
    gb.RunSlice();
    StepCounter watch;
    watch.stop_after = 12345;
    ASSERT_TRUE(gb.RunSliceWatched(watch));
    // Where it stopped the machine is exact, as after the same steps taken one by one.
    for (int i = 0; i < watch.stop_after; ++i) reference->Step();
    EXPECT_TRUE(StateFileImage(gb) == StateFileImage(*reference));
    reference->RunSlice();
    reference->RunSlice();
    gb.RunSlice();  // the rest of the stopped slice
    gb.RunSlice();
    EXPECT_EQ(gb.frame_count, reference->frame_count);
    EXPECT_TRUE(StateFileImage(gb) == StateFileImage(*reference));
}

TEST_F(RunWatchTest, EachStepReportsItsOpcodeAndIdleStepsReportNone) {
    Asm a(0x0150);
    a.xor_(A);
    a.ldh(0xFF, A);  // IE = 0: nothing ends the HALT
    a.ld(B, B);
    a.bit(0, A);
    a.halt();
    Load(a);
    StepCounter watch;
    watch.stop_after = 7;
    ASSERT_TRUE(gb.RunSliceWatched(watch));
    EXPECT_EQ(watch.opcodes, (std::vector<int>{0xAF, 0xE0, 0x40, 0xCB, 0x76, -1, -1}));
}

// A counter in work RAM: xor a; loop: inc a; ld (c000),a; jr loop.
Asm Counter() {
    Asm a(0x0150);
    a.xor_(A);
    a.label("loop");
    a.inc(A);
    a.label("store");
    a.ld(Mem(0xC000), A);
    a.label("back");
    a.jr("loop");
    return a;
}

TEST_F(RunWatchTest, ConditionsStopAfterTheStepAtWhichTheFirstOfThemHolds) {
    const Asm program = Counter();
    using K = StopCondition;
    const struct {
        std::vector<StopCondition> until;
        u8 a;    // the counter where the run stops
        u16 pc;  // the next instruction
    } rows[] = {
        {{{K::kPc, program.addr("loop")}}, 0, program.addr("loop")},
        {{{K::kPc, program.addr("store")}}, 1, program.addr("store")},
        {{{K::kMem, 0xC000, 5}}, 5, program.addr("back")},
        // Whichever holds first; a value written by the program itself is seen at once.
        {{{K::kMem, 0xC000, 9}, {K::kMem, 0xC000, 3}, {K::kPc, 0x0000}}, 3, program.addr("back")},
        {{{K::kMem, 0xC000, 200}}, 200, program.addr("back")},
    };
    for (const auto& row : rows) {
        Load(program);
        RunWatch watch(gb, row.until, std::nullopt);
        ASSERT_TRUE(RunUntil(watch));
        EXPECT_EQ(gb.state.AF >> 8, row.a);
        EXPECT_EQ(gb.state.PC, row.pc);
        EXPECT_FALSE(watch.stopped_at_ld_b_b());
    }
}

// Writes the memory convention: optionally the signature first, then the status 0x80, a text,
// and last the final status; spins after it.
Asm MemoryResult(u8 status, const char* text, bool signature_first) {
    Asm a(0x0150);
    const auto sign = [&a] {
        a.ld(HL, 0xA001);
        for (int b : {0xDE, 0xB0, 0x61}) a.ld(A, b), a.ld(Mem(HLI), A);
    };
    if (signature_first) sign();
    a.ld(A, 0x80);
    a.ld(Mem(0xA000), A);
    if (!signature_first) sign();
    a.ld(HL, 0xA004);
    for (const char* c = text; *c; ++c) a.ld(A, *c), a.ld(Mem(HLI), A);
    a.ld(Mem(HL), 0);
    a.ld(A, status);
    a.ld(Mem(0xA000), A);
    a.label("done");
    a.jr("done");
    return a;
}

TEST_F(RunWatchTest, MemoryResultIsTakenWhenTheStatusLeavesRunning) {
    // A result left in cartridge RAM (a battery file of an earlier run) must not end the run
    // before the program has even started, nor a signature written before the status.
    const std::vector<u8> stale = {0x00, 0xDE, 0xB0, 0x61, 'o', 'l', 'd', 0};
    const struct {
        bool signature_first;
        bool stale_result;
        u8 status;
        Outcome outcome;
    } rows[] = {
        {false, false, 0x00, Outcome::kPass}, {true, false, 0x00, Outcome::kPass},
        {false, true, 0x01, Outcome::kFail},  {true, true, 0x01, Outcome::kFail},
        {false, false, 0x81, Outcome::kFail},
    };
    for (const auto& row : rows) {
        const Asm program = MemoryResult(row.status, "Done\n", row.signature_first);
        Load(program);
        if (row.stale_result) std::memcpy(gb.memory.xram, stale.data(), stale.size());
        RunWatch watch(gb, {}, VerdictKind::kMemory);
        ASSERT_TRUE(RunUntil(watch));
        EXPECT_EQ(gb.state.PC, program.addr("done"));
        const Verdict v = ReadVerdict(gb, VerdictKind::kMemory, false);
        EXPECT_EQ(v.outcome, row.outcome);
        EXPECT_EQ(v.text, "Done\n");
    }
}

TEST_F(RunWatchTest, VerdictsReadFromTheMachineWhereTheRunEnded) {
    Load();
    // Registers: only at an LD B,B, and only the two exact patterns.
    const struct {
        u16 bc, de, hl;
        bool at_ld_b_b;
        Outcome outcome;
    } registers[] = {
        {0x0305, 0x080D, 0x1522, true, Outcome::kPass},
        {0x4242, 0x4242, 0x4242, true, Outcome::kFail},
        {0x0305, 0x080D, 0x1522, false, Outcome::kNone},
        {0x0305, 0x080D, 0x1521, true, Outcome::kNone},
        {0x4242, 0x4242, 0x4200, true, Outcome::kNone},
    };
    for (const auto& r : registers) {
        gb.state.BC = r.bc, gb.state.DE = r.de, gb.state.HL = r.hl;
        EXPECT_EQ(ReadVerdict(gb, VerdictKind::kRegisters, r.at_ld_b_b).outcome, r.outcome);
    }
    // Memory: no signature is no verdict; the text stops at its NUL or at the end of the RAM
    // window, and unprintable bytes are shown as '?'.
    u8* ram = gb.memory.xram;
    ram[0] = 0x00;
    EXPECT_EQ(ReadVerdict(gb, VerdictKind::kMemory, false).outcome, Outcome::kNone);
    std::memcpy(ram + 1, "\xDE\xB0\x61", 3);
    std::memset(ram + 4, 'x', 0x2000 - 4);
    ram[4] = '\x1B';
    ram[5] = '\xFF';
    const Verdict v = ReadVerdict(gb, VerdictKind::kMemory, false);
    EXPECT_EQ(v.outcome, Outcome::kPass);
    EXPECT_EQ(v.text, "??" + std::string(0x2000 - 6, 'x'));
    ram[0] = 0x80;
    EXPECT_EQ(VerdictLines(ReadVerdict(gb, VerdictKind::kMemory, false)).substr(0, 16),
              "verdict=none\n??x");
    EXPECT_EQ(VerdictLines({Outcome::kFail, "a\nb"}), "verdict=fail\na\nb\n");
    EXPECT_EQ(VerdictLines({Outcome::kPass, ""}), "verdict=pass\n");
}

}  // namespace
}  // namespace kivo::cli
