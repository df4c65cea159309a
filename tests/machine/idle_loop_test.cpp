// Which loop bodies count as polling loops whose passes may be taken at once: only bodies that
// write nothing but registers, do not branch, and read memory that cannot change between two
// events; and the cycles of their steps, which a skip counts one by one through an event. A body
// wrongly accepted would make the run differ from the step-by-step machine only in the rare stretch
// where its passes are skipped, so each kind is checked here directly.
#include "machine/idle_loop.h"

#include <gtest/gtest.h>

#include <vector>

#include "asm/gbasm.h"
#include "support/program_test.h"

namespace kivo {
namespace {

using namespace gbasm;

class IdleLoopTest : public test::ProgramTest {
  protected:
    // Assembles `body` at 0x0150 followed by `jr loop`, and classifies it with HL = 0xC123,
    // BC = 0xC245 and DE = 0xC367.
    bool Classify(void (*body)(Asm&), LoopReads* reads) {
        Asm a(0x0150);
        a.label("loop");
        body(a);
        const u16 jump = a.pc();
        a.jr("loop");
        Load(a);
        gb.state.HL = 0xC123;
        gb.state.BC = 0xC245;
        gb.state.DE = 0xC367;
        return IsIdleLoopBody(gb, 0x0150, jump, reads);
    }
};

TEST_F(IdleLoopTest, OnlyBodiesThatReadStableMemoryAndWriteOnlyRegistersQualify) {
    const struct {
        const char* what;
        void (*body)(Asm&);
        bool idle;
        std::vector<u16> reads;
        std::vector<u32> cycles = {};  // of each body step, for the walk through an event
    } cases[] = {
        {"LY poll", [](Asm& a) { a.ldh(A, 0x44), a.cp(144); }, true, {0xFF44}, {12, 8}},
        {"STAT mode poll", [](Asm& a) { a.ldh(A, 0x41), a.and_(3); }, true, {0xFF41}, {12, 8}},
        {"work-RAM flag", [](Asm& a) { a.ld(A, Mem(0xC0F0)), a.or_(A); }, true, {0xC0F0}, {16, 4}},
        {"flag through HL, BC, DE and C",
         [](Asm& a) { a.ld(A, Mem(HL)), a.ld(A, Mem(BC)), a.ld(A, Mem(DE)), a.ld(A, Mem(C)); },
         true,
         {0xC123, 0xC245, 0xC367, 0xFF45},
         {8, 8, 8, 8}},
        {"BIT on (HL) and register work",
         [](Asm& a) { a.bit(3, Mem(HL)), a.inc(B), a.nop(); },
         true,
         {0xC123},
         {12, 4, 4}},
        {"joypad and IF",
         [](Asm& a) { a.ldh(A, 0x00), a.ldh(A, 0x0F); },
         true,
         {0xFF00, 0xFF0F},
         {12, 12}},
        {"an empty body: jr to itself", [](Asm&) {}, true, {}},
        {"divider", [](Asm& a) { a.ldh(A, 0x04), a.cp(0x80); }, false, {}},
        {"timer counter", [](Asm& a) { a.ldh(A, 0x05); }, false, {}},
        {"sound status", [](Asm& a) { a.ldh(A, 0x26); }, false, {}},
        {"a write to work RAM", [](Asm& a) { a.ldh(A, 0x44), a.ld(Mem(HL), B); }, false, {}},
        {"a register write", [](Asm& a) { a.ldh(0x40, A); }, false, {}},
        {"(HL+) moves through memory", [](Asm& a) { a.ld(A, Mem(HLI)); }, false, {}},
        {"RES on (HL) writes", [](Asm& a) { a.res(0, Mem(HL)); }, false, {}},
        {"a branch inside", [](Asm& a) { a.ldh(A, 0x44), a.jr(Z, "loop"); }, false, {}},
        {"a call", [](Asm& a) { a.call(0x0200); }, false, {}},
        {"the stack", [](Asm& a) { a.push(AF), a.pop(AF); }, false, {}},
        {"HALT", [](Asm& a) { a.halt(); }, false, {}},
        {"EI", [](Asm& a) { a.ei(); }, false, {}},
        {"five reads",
         [](Asm& a) {
             for (int i = 0; i < 5; ++i) a.ldh(A, 0x44);
         },
         false,
         {}},
    };
    for (const auto& c : cases) {
        LoopReads reads;
        ASSERT_EQ(Classify(c.body, &reads), c.idle) << c.what;
        if (!c.idle) continue;
        ASSERT_EQ(reads.count, c.reads.size()) << c.what;
        for (u32 i = 0; i < reads.count; ++i) EXPECT_EQ(reads.address[i], c.reads[i]) << c.what;
        ASSERT_EQ(reads.steps, c.cycles.size()) << c.what;
        for (u32 i = 0; i < reads.steps; ++i) EXPECT_EQ(reads.cycles[i], c.cycles[i]) << c.what;
    }
}

TEST_F(IdleLoopTest, ABodyLongerThanAPollingLoopOrNotEndingAtTheJumpIsRefused) {
    LoopReads reads;
    EXPECT_FALSE(Classify(
        [](Asm& a) {
            for (int i = 0; i < 40; ++i) a.nop();
        },
        &reads));
    // The jump's address inside an instruction: the decode steps over it.
    Asm a(0x0150);
    a.ld(A, 0x18);
    a.jr(0x0150);
    Load(a);
    EXPECT_FALSE(IsIdleLoopBody(gb, 0x0150, 0x0151, &reads));
}

}  // namespace
}  // namespace kivo
