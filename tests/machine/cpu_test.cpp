// The processor: flag rules by instruction family in the Z80 flag layout and by the console's
// (system_exact_hardware), operands across a page edge, the run slice and the
// undefined-opcode freeze; interrupts, HALT, STOP and the speed switch; the timer; and which loop
// bodies count as polling loops. Programs start at 0x0150 with the stack at 0xD000.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "machine/idle_loop.h"
#include "support/program_test.h"

namespace kivo {
namespace {

using namespace gbasm;

using CpuTest = test::ProgramTest;

// ---- flag rules ----

// A snippet run from A, a flag byte set through POP AF, and B (C clear); the result is A and the
// flag byte PUSH AF stores. By the machine's own rules F keeps the Z80 layout (S Z - H - P/V N C),
// whose rules follow; (HL) operands follow the register rules and 16-bit arithmetic other than
// ADD HL changes no flag. By the console's rules (system_exact_hardware) each row is a rule the
// Z80 layout gets otherwise; the third-party processor tests hold every instruction to these.
struct FlagRow {
    const char* what;
    void (*emit)(Asm&);
    u8 a, f, b;
    u16 want;
};

TEST_F(CpuTest, EachFamilySetsFlagsByTheMachinesAndTheConsolesRules) {
    const std::vector<FlagRow> z80 = {
        {"ADD overflow into the sign", [](Asm& a) { a.add(A, B); }, 0x7F, 0x00, 0x01, 0x8094},
        {"ADD carry out", [](Asm& a) { a.add(A, B); }, 0xFF, 0x00, 0x01, 0x0051},
        {"ADC adds the carry", [](Asm& a) { a.adc(A, B); }, 0x0F, 0x01, 0x00, 0x1010},
        {"SUB borrow", [](Asm& a) { a.sub(B); }, 0x00, 0x00, 0x01, 0xFF93},
        {"SBC subtracts the carry", [](Asm& a) { a.sbc(A, B); }, 0x10, 0x01, 0x0F, 0x0052},
        {"SUB A", [](Asm& a) { a.sub(A); }, 0x5A, 0xFF, 0x00, 0x0042},
        {"CP borrow keeps A", [](Asm& a) { a.cp(B); }, 0x10, 0x00, 0x20, 0x1083},
        {"AND sets H and parity", [](Asm& a) { a.and_(B); }, 0xF0, 0x01, 0x0F, 0x0054},
        {"OR parity clears C", [](Asm& a) { a.or_(B); }, 0x01, 0x01, 0x02, 0x0304},
        {"INC to 0x80 overflows", [](Asm& a) { a.inc(A); }, 0x7F, 0x00, 0x00, 0x8094},
        {"DEC to 0x7F overflows", [](Asm& a) { a.dec(A); }, 0x80, 0x01, 0x00, 0x7F17},
        {"RLCA keeps S Z P", [](Asm& a) { a.rlca(); }, 0x80, 0xFF, 0x00, 0x01ED},
        {"RRA zero result sets no Z", [](Asm& a) { a.rra(); }, 0x01, 0x00, 0x00, 0x0001},
        {"CPL sets H and N", [](Asm& a) { a.cpl(); }, 0x55, 0x00, 0x00, 0xAA12},
        {"SCF clears H and N", [](Asm& a) { a.scf(); }, 0x00, 0xFE, 0x00, 0x00ED},
        {"CCF moves C to H", [](Asm& a) { a.ccf(); }, 0x00, 0xFF, 0x00, 0x00FC},
        {"DAA after 0x09 + 0x01", [](Asm& a) { a.daa(); }, 0x0A, 0x00, 0x00, 0x1010},
        {"DAA after 0x99 + 0x01", [](Asm& a) { a.daa(); }, 0x9A, 0x00, 0x00, 0x0055},
        {"DAA after 0x10 - 0x01", [](Asm& a) { a.daa(); }, 0x0F, 0x12, 0x00, 0x090E},
        {"RLC clears S P H N", [](Asm& a) { a.rlc(A); }, 0x80, 0xFF, 0x00, 0x0101},
        {"RR takes the carry in", [](Asm& a) { a.rr(A); }, 0x01, 0x01, 0x00, 0x8081},
        {"SRA keeps bit 7", [](Asm& a) { a.sra(A); }, 0x81, 0x00, 0x00, 0xC001},
        {"SWAP clears C", [](Asm& a) { a.swap(A); }, 0xF0, 0xFF, 0x00, 0x0F00},
        {"BIT 7 of 0x80 sets S", [](Asm& a) { a.bit(7, B); }, 0x00, 0x00, 0x80, 0x0090},
        {"BIT 7 of 0x00 sets Z, P", [](Asm& a) { a.bit(7, B); }, 0x00, 0x01, 0x00, 0x0055},
        {"INC (HL) to 0x80",
         [](Asm& a) { a.ld(HL, 0xC000), a.ld(Mem(HL), 0x7F), a.inc(Mem(HL)), a.ld(A, Mem(HL)); },
         0x00, 0x00, 0x00, 0x8094},
        {"SET and BIT on (HL)",
         [](Asm& a) { a.ld(HL, 0xC000), a.set(3, Mem(HL)), a.bit(3, Mem(HL)), a.ld(A, Mem(HL)); },
         0x00, 0x01, 0x00, 0x0811},
        {"ADD HL: H from bit 11, S Z P kept",
         [](Asm& a) { a.ld(HL, 0x0FFF), a.ld(DE, 1), a.add(HL, DE), a.ld(A, H); }, 0x00, 0xFF, 0x00,
         0x10FC},
        {"ADD HL: C from bit 15", [](Asm& a) { a.ld(HL, 0x8000), a.add(HL, HL), a.ld(A, H); }, 0x00,
         0x00, 0x00, 0x0001},
        {"ADD SP, LD HL,SP+e, INC rr, DEC rr",  // SP 0xD000 - 1, then HL = SP + 2
         [](Asm& a) { a.add(SP, -1), a.ldhl(2), a.inc(BC), a.dec(DE), a.ld(A, L); }, 0x00, 0xFF,
         0x00, 0x01FF},
        {"POP AF loads every bit of F", [](Asm& a) { a.ld(BC, 0x12FF), a.push(BC), a.pop(AF); },
         0x00, 0x00, 0x00, 0x12FF},
    };
    const std::vector<FlagRow> console = {
        {"AND: Z H, no parity", [](Asm& a) { a.and_(B); }, 0xF0, 0x10, 0x0F, 0x00A0},
        {"DEC to 0x7F: N H, no overflow", [](Asm& a) { a.dec(A); }, 0x80, 0x00, 0x00, 0x7F60},
        {"RLCA clears Z", [](Asm& a) { a.rlca(); }, 0x80, 0xF0, 0x00, 0x0110},
        {"BIT 7 of 0x80: H, C kept", [](Asm& a) { a.bit(7, B); }, 0x00, 0x10, 0x80, 0x0030},
        {"SCF keeps Z only", [](Asm& a) { a.scf(); }, 0x00, 0xE0, 0x00, 0x0090},
        {"ADD HL keeps Z", [](Asm& a) { a.ld(HL, 0x0FFF), a.ld(DE, 1), a.add(HL, DE); }, 0x00, 0xF0,
         0x00, 0x00A0},
        {"ADD SP,-1 at 0xD000: no low-byte carry", [](Asm& a) { a.add(SP, -1); }, 0x00, 0xF0, 0x00,
         0x0000},
        {"LD HL,SP+1 at 0xD0FF: H and C",
         [](Asm& a) { a.ld(HL, 0xD0FF), a.ld(SP, HL), a.ldhl(1), a.ld(SP, 0xD000); }, 0x00, 0x00,
         0x00, 0x0030},
        {"POP AF drops the low nibble", [](Asm&) {}, 0x12, 0xFF, 0x00, 0x12F0},
        // HALT with IME clear and an enabled request standing does not halt and reads the next
        // byte twice: LD A,n takes its own opcode as n, and the 0x04 after it runs as INC B.
        {"HALT bug",
         [](Asm& a) { a.di(), a.ld(A, 1), a.ldh(0xFF, A), a.ldh(0x0F, A), a.halt(), a.ld(A, 4); },
         0x00, 0x10, 0xFF, 0x3EB0},
    };
    for (const bool exact : {false, true}) {
        for (const FlagRow& c : exact ? console : z80) {
            SCOPED_TRACE(c.what);
            Asm program(0x0150);
            program.ld(BC, c.a << 8 | c.f), program.push(BC), program.pop(AF);
            program.ld(BC, c.b << 8);
            c.emit(program);
            program.push(AF), program.pop(BC);
            gb.system_exact_hardware = exact;
            Load(program);
            RunToEnd(program);
            EXPECT_EQ(gb.state.BC, c.want);
        }
    }
}

// ---- operands, the run slice ----

// An instruction's two operand bytes and a stack word are read and written in one access when
// they share a 4 KB page; across a page edge each byte comes from its own page, which a bank
// register may have moved: 0x3FFF/0x4000 (ROM bank 0, switchable bank), 0xCFFF/0xD000 (work RAM
// bank 0, switchable bank in colour mode).
TEST_F(CpuTest, OperandsAndStackWordsAcrossAPageEdgeComeFromBothPages) {
    Asm load(0x3FFE);
    load.ld(HL, 0x1234);  // its 0x12 lands in the image's bank 1, at 0x4000
    Asm stack(0x0150);
    stack.push(BC), stack.pop(DE);
    std::vector<u8> rom = test::MakeRom({.banks = 4, .type = 0x01, .size_code = 0x01});
    rom[0x143] = 0x80;  // colour mode: work RAM banks at 0xD000
    PlaceInRom(rom, load);
    PlaceInRom(rom, stack);
    test::OpenImage(gb, std::move(rom));
    gb.BusWrite(0x2000, 2);  // ROM bank 2 at 0x4000: its first byte is 2
    gb.BusWrite(0xFF70, 1), gb.BusWrite(0xD000, 0x11);
    gb.BusWrite(0xFF70, 2), gb.BusWrite(0xD000, 0x22);
    gb.state.PC = 0x3FFE;
    Run(1);
    EXPECT_EQ(gb.state.HL, 0x0234);

    gb.state.PC = 0x0150, gb.state.SP = 0xD001, gb.state.BC = 0xABCD;
    Run(1);  // PUSH BC: 0xAB to 0xD000 in bank 2, 0xCD to 0xCFFF
    EXPECT_EQ(gb.BusRead(0xCFFF), 0xCD);
    EXPECT_EQ(gb.BusRead(0xD000), 0xAB);
    gb.BusWrite(0xFF70, 1);
    EXPECT_EQ(gb.BusRead(0xD000), 0x11);
    gb.BusWrite(0xD000, 0x77), gb.BusWrite(0xFF70, 2);
    Run(1);  // POP DE reads bank 2 again
    EXPECT_EQ(gb.state.DE, 0xABCD);
}

// A slice is a sixteenth of a second, twice the cycles in double speed. It starts from the
// overshoot carried in from the last one and stops after the step that reaches its length. An
// undefined opcode costs nothing and freezes the machine from the next slice on; the slice that
// met it runs to its end. Later undefined opcodes in that slice cost 4 cycles, so that memory
// full of them (a state file can say so) still lets the slice end.
TEST_F(CpuTest, SliceLastsASixteenthOfASecondAndAnUndefinedOpcodeFreezesTheNext) {
    for (const int run : {0, 1, 2}) {  // normal speed, double speed, an undefined opcode first
        SCOPED_TRACE(run);
        Asm a(0x0150);
        if (run == 2) a.db(0xDD);
        a.label("loop"), a.inc(BC), a.jr("loop");  // 8 + 12 cycles a pass
        Load(a);
        gb.state.BC = 0, gb.state.CGB_double_speed = run == 1, gb.state.slice_cycles = 2;
        gb.RunSlice();
        // It ends on the INC of the last pass, 6 cycles past 0x40000 or 2 past 0x80000.
        EXPECT_EQ(gb.state.BC, (run == 1 ? 0x80000 : 0x40000) / 20 + 1);
        EXPECT_EQ(gb.state.slice_cycles, run == 1 ? 2u : 6u);
        GbState before;
        std::memcpy(&before, &gb.state, sizeof before);
        gb.RunSlice();
        EXPECT_EQ(std::memcmp(&before, &gb.state, sizeof before) == 0, run == 2);
    }
    for (const int op : {0xD3, 0xDB, 0xDD, 0xE3, 0xE4, 0xEB, 0xEC, 0xED, 0xF4, 0xFC, 0xFD}) {
        Asm a(0x0150);
        a.db(op), a.db(op);
        Load(a);
        gb.Step();
        EXPECT_EQ(std::pair(gb.state.BadOpCode, gb.state.op_cycles), std::pair(u8{1}, 0u)) << op;
        gb.Step();
        EXPECT_EQ(gb.state.op_cycles, 4u) << op;
    }
}

// ---- interrupts, HALT and STOP ----

// Each row runs a program (the V-blank handler at 0x0040 is NOP, RETI), raises a request after
// `before` steps, runs `after` more, and reads PC, the word on top of the stack, IF's request
// bits, IME, whether HALT or STOP waits, B (which the programs count in) and KEY1.
TEST_F(CpuTest, RequestsWakeAndAreServedAsTheirRulesSay) {
    const struct {
        const char* what;
        void (*emit)(Asm&);
        u8 cgb_flag, ie, before, request;
        int after;
        const char* want;
    } cases[] = {
        {"EI serves a pending request at the end of its own step, at no cost",
         [](Asm& a) { a.ei(), a.di(), a.nop(); }, 0, irq::TIMER | irq::VBLANK, 0, irq::TIMER, 1,
         "PC 0050 top 0151 IF 00 IME 0 wait 0 B 0 KEY1 00"},
        {"DI holds requests back", [](Asm& a) { a.ei(), a.nop(), a.di(), a.nop(); }, 0, irq::VBLANK,
         3, irq::VBLANK, 1, "PC 0154 top 0000 IF 01 IME 0 wait 0 B 0 KEY1 00"},
        {"of two requests the lowest bit first, RETI serves the next at once",
         [](Asm& a) { a.ei(), a.nop(); }, 0, 0x1F, 0, irq::VBLANK | irq::TIMER, 3,
         "PC 0050 top 0151 IF 00 IME 0 wait 0 B 0 KEY1 00"},
        {"HALT waits through a request IE does not enable",
         [](Asm& a) { a.halt(), a.inc(B), a.label("end"), a.jr("end"); }, 0, irq::VBLANK, 0,
         irq::TIMER, 16000, "PC 0151 top 0000 IF 04 IME 0 wait 1 B 0 KEY1 00"},
        {"and ends at V-blank without a dispatch when IME is clear",
         [](Asm& a) { a.halt(), a.inc(B), a.label("end"), a.jr("end"); }, 0, irq::VBLANK, 0,
         irq::TIMER, 16500, "PC 0152 top 0000 IF 05 IME 0 wait 0 B 1 KEY1 00"},
        {"an enabled request already pending ends HALT in its own step",
         [](Asm& a) { a.halt(), a.inc(B), a.label("end"), a.jr("end"); }, 0, irq::TIMER, 0,
         irq::TIMER, 2, "PC 0152 top 0000 IF 04 IME 0 wait 0 B 1 KEY1 00"},
        {"IF's upper bits are no requests", [](Asm& a) { a.halt(), a.inc(B); }, 0, 0xFF, 0, 0xE0,
         50, "PC 0151 top 0000 IF 00 IME 0 wait 1 B 0 KEY1 00"},
        {"a halted processor with IME serves and returns after HALT",
         [](Asm& a) { a.ei(), a.halt(), a.nop(); }, 0, irq::TIMER, 5, irq::TIMER, 1,
         "PC 0050 top 0152 IF 00 IME 0 wait 0 B 0 KEY1 00"},
        {"STOP with KEY1 armed in colour mode switches to double speed",
         [](Asm& a) { a.ld(A, 1), a.ldh(reg::KEY1, A), a.stop(), a.inc(B); }, 0x80, 0, 0, 0, 4,
         "PC 0156 top 0000 IF 00 IME 0 wait 0 B 1 KEY1 80"},
        {"and back",
         [](Asm& a) {
             a.ld(A, 1), a.ldh(reg::KEY1, A), a.stop(), a.inc(B);
             a.ld(A, 1), a.ldh(reg::KEY1, A), a.stop();
         },
         0x80, 0, 0, 0, 8, "PC 015C top 0000 IF 00 IME 0 wait 0 B 1 KEY1 00"},
        {"STOP unarmed idles until any request", [](Asm& a) { a.stop(), a.inc(B); }, 0x80, 0, 20,
         irq::JOYPAD, 2, "PC 0152 top 0000 IF 10 IME 0 wait 0 B 1 KEY1 00"},
        {"outside colour mode KEY1 arms nothing",
         [](Asm& a) { a.ld(A, 1), a.ldh(reg::KEY1, A), a.stop(), a.inc(B); }, 0, 0, 20, 0, 0,
         "PC 0155 top 0000 IF 00 IME 0 wait 1 B 0 KEY1 01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Asm program(0x0150), vblank(0x0040);
        c.emit(program);
        vblank.nop(), vblank.reti();
        Load(program, &vblank, c.cgb_flag);
        gb.state.BC = 0, gb.state.IE = c.ie;
        Run(c.before);
        gb.RequestInterrupt(c.request);
        Run(c.after);
        const GbState& s = gb.state;
        char cpu[80];
        std::snprintf(cpu, sizeof cpu, "PC %04X top %02X%02X IF %02X IME %d wait %d B %d KEY1 %02X",
                      s.PC, gb.BusRead(0xCFFF), gb.BusRead(0xCFFE), s.IF & 0x1F, s.IME,
                      s.flag_halt | s.flag_stop, s.BC >> 8, gb.BusRead(0xFF4D));
        EXPECT_EQ(std::string(cpu), c.want);
        EXPECT_EQ(s.CGB_double_speed, gb.BusRead(0xFF4D) >> 7);
    }
}

// ---- the timer ----

// TAC bits 0-1 pick the period and bit 2 enables counting; a stopped timer keeps its prescaler.
// The divider counts every 256 cycles whatever TAC says.
TEST_F(CpuTest, TacSelectsThePeriodAndEnablesCounting) {
    // TAC and the NOPs (4 cycles) per increment, 0 for none.
    for (const auto& [tac, nops_per_tick] :
         {std::pair{0x04, 256}, std::pair{0x05, 4}, std::pair{0x06, 16}, std::pair{0x07, 64},
          std::pair{0x03, 0}}) {
        Load();
        gb.state.TAC = tac, gb.state.TIMA = 0, gb.state.tima_cycles = 0, gb.state.div_cycles = 0;
        const u8 div = gb.state.DIV;
        for (int nops = 1; nops <= 1000; ++nops) {
            Run(1);
            ASSERT_EQ(gb.state.TIMA, nops_per_tick ? nops / nops_per_tick : 0)
                << tac << " " << nops;
            ASSERT_EQ(gb.state.DIV, static_cast<u8>(div + nops / 64)) << tac << " " << nops;
        }
        EXPECT_TRUE(nops_per_tick || gb.state.tima_cycles == 0) << "a stopped prescaler moved";
    }
}

// Overflow reloads TIMA from TMA and requests the interrupt in the same step. The timer counts at
// most once per step: four 24-cycle CALLs against a 16-cycle period count one each, leaving 32
// cycles over, which the following step works off one period at a time.
TEST_F(CpuTest, TimerCountsAtMostOncePerStepCarriesTheExcessAndReloadsOnOverflow) {
    Asm a(0x0150);
    for (int i = 0; i < 4; ++i) a.call(static_cast<int>(a.pc() + 3));
    Load(a);
    gb.state.TAC = 0x05, gb.state.TIMA = 0xFC, gb.state.TMA = 0x42;
    Run(3);
    EXPECT_EQ(gb.state.TIMA, 0xFF);
    Run(1);
    EXPECT_EQ(gb.state.TIMA, 0x42);
    EXPECT_EQ(gb.state.IF & irq::TIMER, irq::TIMER);
    EXPECT_EQ(gb.state.tima_cycles, 32);
    Run(1);  // a NOP: 36 cycles, one more
    EXPECT_EQ(gb.state.TIMA, 0x43);
    EXPECT_EQ(gb.state.tima_cycles, 20);
}

// ---- polling loops ----

// Which loop bodies count as polling loops whose passes may be taken at once: only bodies that
// write nothing but registers, do not branch, and read memory that cannot change between two
// events. A body wrongly accepted would make the run differ from the step-by-step machine only in
// the rare stretch where its passes are skipped, so each kind is checked here directly.
TEST_F(CpuTest, OnlyBodiesThatReadStableMemoryAndWriteOnlyRegistersArePollingLoops) {
    const struct {
        const char* what;
        void (*body)(Asm&);
        bool idle;
    } cases[] = {
        {"LY poll", [](Asm& a) { a.ldh(A, 0x44), a.cp(144); }, true},
        {"work-RAM flag", [](Asm& a) { a.ld(A, Mem(0xC0F0)), a.or_(A); }, true},
        {"flag through HL, BC, DE and C",
         [](Asm& a) { a.ld(A, Mem(HL)), a.ld(A, Mem(BC)), a.ld(A, Mem(DE)), a.ld(A, Mem(C)); },
         true},
        {"BIT on (HL) and register work", [](Asm& a) { a.bit(3, Mem(HL)), a.inc(B), a.nop(); },
         true},
        {"joypad and IF", [](Asm& a) { a.ldh(A, 0x00), a.ldh(A, 0x0F); }, true},
        {"an empty body: jr to itself", [](Asm&) {}, true},
        {"divider", [](Asm& a) { a.ldh(A, 0x04), a.cp(0x80); }, false},
        {"timer counter", [](Asm& a) { a.ldh(A, 0x05); }, false},
        {"sound status", [](Asm& a) { a.ldh(A, 0x26); }, false},
        {"a write to work RAM", [](Asm& a) { a.ldh(A, 0x44), a.ld(Mem(HL), B); }, false},
        {"a register write", [](Asm& a) { a.ldh(0x40, A); }, false},
        {"(HL+) moves through memory", [](Asm& a) { a.ld(A, Mem(HLI)); }, false},
        {"RES on (HL) writes", [](Asm& a) { a.res(0, Mem(HL)); }, false},
        {"a branch inside", [](Asm& a) { a.ldh(A, 0x44), a.jr(Z, "loop"); }, false},
        {"a call", [](Asm& a) { a.call(0x0200); }, false},
        {"the stack", [](Asm& a) { a.push(AF), a.pop(AF); }, false},
        {"HALT", [](Asm& a) { a.halt(); }, false},
        {"EI", [](Asm& a) { a.ei(); }, false},
        {"five reads",
         [](Asm& a) {
             for (int i = 0; i < 5; ++i) a.ldh(A, 0x44);
         },
         false},
        {"longer than a polling loop", [](Asm& a) { a.ds(40); }, false},
    };
    LoopReads reads;
    for (const auto& c : cases) {
        Asm a(0x0150);
        a.label("loop");
        c.body(a);
        const u16 jump = a.pc();
        a.jr("loop");
        Load(a);
        gb.state.HL = 0xC123, gb.state.BC = 0xC245, gb.state.DE = 0xC367;
        EXPECT_EQ(IsIdleLoopBody(gb, 0x0150, jump, &reads), c.idle) << c.what;
    }
    // The jump's address inside an instruction: the decode steps over it.
    Asm a(0x0150);
    a.ld(A, 0x18), a.jr(0x0150);
    Load(a);
    EXPECT_FALSE(IsIdleLoopBody(gb, 0x0150, 0x0151, &reads));
}

}  // namespace
}  // namespace kivo
