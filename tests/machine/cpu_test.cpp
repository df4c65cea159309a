// The processor: flag rules by instruction family in the Z80 flag layout, addressing and the
// stack, cycle costs, the run slice and the undefined-opcode freeze; the console's flag byte,
// flag rules and HALT bug (system_exact_hardware).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/program_test.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

using namespace gbasm;

using CpuTest = test::ProgramTest;

// ---- flag rules ----

TEST_F(CpuTest, EachFamilySetsFlagsInTheZ80Layout) {
    // A snippet run from the given A, F and B; the result is read from A and F. (HL) operands
    // follow the register rules; 16-bit arithmetic other than ADD HL changes no flag.
    const struct {
        const char* what;
        void (*emit)(Asm&);
        u8 a, f, b, want_a, want_f;
    } cases[] = {
        {"ADD overflow into the sign", [](Asm& a) { a.add(A, B); }, 0x7F, 0x00, 0x01, 0x80, 0x94},
        {"ADD carry out", [](Asm& a) { a.add(A, B); }, 0xFF, 0x00, 0x01, 0x00, 0x51},
        {"ADC adds the carry", [](Asm& a) { a.adc(A, B); }, 0x0F, 0x01, 0x00, 0x10, 0x10},
        {"SUB borrow", [](Asm& a) { a.sub(B); }, 0x00, 0x00, 0x01, 0xFF, 0x93},
        {"SUB overflow", [](Asm& a) { a.sub(B); }, 0x80, 0x00, 0x01, 0x7F, 0x16},
        {"SBC subtracts the carry", [](Asm& a) { a.sbc(A, B); }, 0x10, 0x01, 0x0F, 0x00, 0x52},
        {"SUB A", [](Asm& a) { a.sub(A); }, 0x5A, 0xFF, 0x00, 0x00, 0x42},
        {"XOR A", [](Asm& a) { a.xor_(A); }, 0x5A, 0xFF, 0x00, 0x00, 0x44},
        {"CP A keeps A", [](Asm& a) { a.cp(A); }, 0x5A, 0xFF, 0x00, 0x5A, 0x42},
        {"CP borrow keeps A", [](Asm& a) { a.cp(B); }, 0x10, 0x00, 0x20, 0x10, 0x83},
        {"AND sets H and parity", [](Asm& a) { a.and_(B); }, 0xF0, 0x01, 0x0F, 0x00, 0x54},
        {"OR parity clears C", [](Asm& a) { a.or_(B); }, 0x01, 0x01, 0x02, 0x03, 0x04},
        {"XOR odd parity", [](Asm& a) { a.xor_(B); }, 0x01, 0xFF, 0x00, 0x01, 0x00},
        {"INC wraps, C kept", [](Asm& a) { a.inc(A); }, 0xFF, 0x01, 0x00, 0x00, 0x51},
        {"INC to 0x80 overflows", [](Asm& a) { a.inc(A); }, 0x7F, 0x00, 0x00, 0x80, 0x94},
        {"DEC to 0x7F overflows", [](Asm& a) { a.dec(A); }, 0x80, 0x01, 0x00, 0x7F, 0x17},
        {"DEC to zero", [](Asm& a) { a.dec(A); }, 0x01, 0x00, 0x00, 0x00, 0x42},
        {"RLCA keeps S Z P", [](Asm& a) { a.rlca(); }, 0x80, 0xFF, 0x00, 0x01, 0xED},
        {"RRA zero result sets no Z", [](Asm& a) { a.rra(); }, 0x01, 0x00, 0x00, 0x00, 0x01},
        {"RLA takes the carry in", [](Asm& a) { a.rla(); }, 0x00, 0x01, 0x00, 0x01, 0x00},
        {"RRCA", [](Asm& a) { a.rrca(); }, 0x01, 0x00, 0x00, 0x80, 0x01},
        {"CPL sets H and N", [](Asm& a) { a.cpl(); }, 0x55, 0x00, 0x00, 0xAA, 0x12},
        {"SCF clears H and N", [](Asm& a) { a.scf(); }, 0x00, 0xFE, 0x00, 0x00, 0xED},
        {"CCF moves C to H", [](Asm& a) { a.ccf(); }, 0x00, 0xFF, 0x00, 0x00, 0xFC},
        {"CCF sets C", [](Asm& a) { a.ccf(); }, 0x00, 0x00, 0x00, 0x00, 0x01},
        {"DAA after 0x09 + 0x01", [](Asm& a) { a.daa(); }, 0x0A, 0x00, 0x00, 0x10, 0x10},
        {"DAA after 0x99 + 0x01", [](Asm& a) { a.daa(); }, 0x9A, 0x00, 0x00, 0x00, 0x55},
        {"DAA after 0x10 - 0x01", [](Asm& a) { a.daa(); }, 0x0F, 0x12, 0x00, 0x09, 0x0E},
        {"RLC clears S P H N", [](Asm& a) { a.rlc(A); }, 0x80, 0xFF, 0x00, 0x01, 0x01},
        {"RRC", [](Asm& a) { a.rrc(A); }, 0x01, 0x00, 0x00, 0x80, 0x01},
        {"RL reports parity", [](Asm& a) { a.rl(A); }, 0x80, 0x00, 0x00, 0x00, 0x45},
        {"RR takes the carry in", [](Asm& a) { a.rr(A); }, 0x01, 0x01, 0x00, 0x80, 0x81},
        {"SLA", [](Asm& a) { a.sla(A); }, 0xC0, 0x00, 0x00, 0x80, 0x01},
        {"SRA keeps bit 7", [](Asm& a) { a.sra(A); }, 0x81, 0x00, 0x00, 0xC0, 0x01},
        {"SRL to zero", [](Asm& a) { a.srl(A); }, 0x01, 0x00, 0x00, 0x00, 0x41},
        {"SWAP of zero", [](Asm& a) { a.swap(A); }, 0x00, 0xFF, 0x00, 0x00, 0x40},
        {"SWAP clears C", [](Asm& a) { a.swap(A); }, 0xF0, 0xFF, 0x00, 0x0F, 0x00},
        {"BIT 7 of 0x80 sets S", [](Asm& a) { a.bit(7, B); }, 0x00, 0x00, 0x80, 0x00, 0x90},
        {"BIT 7 of 0x00 sets Z, P", [](Asm& a) { a.bit(7, B); }, 0x00, 0x01, 0x00, 0x00, 0x55},
        {"BIT 0 of 0x01", [](Asm& a) { a.bit(0, B); }, 0x00, 0xFF, 0x01, 0x00, 0x11},
        {"RES changes no flag", [](Asm& a) { a.res(0, A); }, 0xFF, 0xAA, 0x00, 0xFE, 0xAA},
        {"SET changes no flag", [](Asm& a) { a.set(7, A); }, 0x00, 0x55, 0x00, 0x80, 0x55},
        {"INC (HL) to 0x80",
         [](Asm& a) { a.ld(HL, 0xC000), a.ld(Mem(HL), 0x7F), a.inc(Mem(HL)), a.ld(A, Mem(HL)); },
         0x00, 0x00, 0x00, 0x80, 0x94},
        {"RL (HL) reports parity",
         [](Asm& a) { a.ld(HL, 0xC000), a.ld(Mem(HL), 0x80), a.rl(Mem(HL)), a.ld(A, Mem(HL)); },
         0x00, 0x00, 0x00, 0x00, 0x45},
        {"SET and BIT on (HL)",
         [](Asm& a) { a.ld(HL, 0xC000), a.set(3, Mem(HL)), a.bit(3, Mem(HL)), a.ld(A, Mem(HL)); },
         0x00, 0x01, 0x00, 0x08, 0x11},
        {"ADD HL: H from bit 11, S Z P kept",
         [](Asm& a) { a.ld(HL, 0x0FFF), a.ld(DE, 1), a.add(HL, DE), a.ld(A, H); }, 0x00, 0xFF, 0x00,
         0x10, 0xFC},
        {"ADD HL: C from bit 15", [](Asm& a) { a.ld(HL, 0x8000), a.add(HL, HL), a.ld(A, H); }, 0x00,
         0x00, 0x00, 0x00, 0x01},
        {"ADD SP, LD HL,SP+e, INC rr, DEC rr",  // SP 0xD000 - 1, then HL = SP + 2
         [](Asm& a) { a.add(SP, -1), a.ldhl(2), a.inc(BC), a.dec(DE), a.ld(A, L); }, 0x00, 0xFF,
         0x00, 0x01, 0xFF},
        {"POP AF loads every bit of F", [](Asm& a) { a.ld(BC, 0x12FF), a.push(BC), a.pop(AF); },
         0x00, 0x00, 0x00, 0x12, 0xFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Asm program(0x0150);
        c.emit(program);
        Load(program);
        gb.state.AF = static_cast<u16>(c.a << 8 | c.f);
        gb.state.BC = static_cast<u16>(c.b << 8);
        for (int i = 0; i < 8 && gb.state.PC != program.pc(); ++i) gb.Step();
        EXPECT_EQ(gb.state.AF, c.want_a << 8 | c.want_f);
        EXPECT_EQ(gb.state.PC, program.pc());
    }
}

// ---- operands and the stack across a page edge ----

// An instruction's two operand bytes and a stack word are read and written in one access when
// they share a 4 KB page; across a page edge each byte comes from its own page, which a bank
// register may have moved: 0x3FFF/0x4000 (ROM bank 0, switchable bank), 0xCFFF/0xD000 (work RAM
// bank 0, switchable bank in colour mode).
TEST_F(CpuTest, OperandsAndStackWordsAcrossAPageEdgeComeFromBothPages) {
    Asm load(0x3FFE);
    load.ld(HL, 0x1234);  // its 0x12 lands in the image's bank 1, at 0x4000
    Asm stack(0x0150);
    stack.push(BC);
    stack.pop(DE);
    std::vector<u8> rom = test::MakeRom({.banks = 4, .type = 0x01, .size_code = 0x01});
    rom[0x143] = 0x80;  // colour mode: work RAM banks at 0xD000
    PlaceInRom(rom, load);
    PlaceInRom(rom, stack);
    test::OpenImage(gb, std::move(rom));
    gb.BusWrite(0x2000, 2);  // ROM bank 2 at 0x4000: its first byte is 2
    gb.BusWrite(0xFF70, 1);
    gb.BusWrite(0xD000, 0x11);
    gb.BusWrite(0xFF70, 2);
    gb.BusWrite(0xD000, 0x22);

    gb.state.PC = 0x3FFE;
    Run(1);
    EXPECT_EQ(gb.state.HL, 0x0234);

    gb.state.PC = 0x0150;
    gb.state.SP = 0xD001;
    gb.state.BC = 0xABCD;
    Run(1);  // PUSH BC: 0xAB to 0xD000 in bank 2, 0xCD to 0xCFFF
    EXPECT_EQ(gb.BusRead(0xCFFF), 0xCD);
    EXPECT_EQ(gb.BusRead(0xD000), 0xAB);
    gb.BusWrite(0xFF70, 1);
    EXPECT_EQ(gb.BusRead(0xD000), 0x11);
    gb.BusWrite(0xD000, 0x77);
    gb.BusWrite(0xFF70, 2);
    Run(1);  // POP DE reads bank 2 again
    EXPECT_EQ(gb.state.DE, 0xABCD);
    EXPECT_EQ(gb.state.SP, 0xD001);
}

// ---- cycle costs ----

// Taken conditional branches cost more than untaken ones; an (HL) operand costs a CB opcode 4
// more cycles, 8 more for the read-modify-write group.
TEST_F(CpuTest, BranchAndCbCyclesDependOnTheConditionAndTheOperand) {
    const struct {
        const char* what;
        void (*emit)(Asm&);
        u8 f;
        u32 cycles;
        u16 pc;  // where the step leaves PC
    } cases[] = {
        {"JR NZ taken", [](Asm& a) { a.jr(NZ, 0x0160); }, 0x00, 12, 0x0160},
        {"JR NZ not taken", [](Asm& a) { a.jr(NZ, 0x0160); }, 0x40, 8, 0x0152},
        {"JP NC taken", [](Asm& a) { a.jp(NC, 0x0160); }, 0x00, 16, 0x0160},
        {"JP NC not taken", [](Asm& a) { a.jp(NC, 0x0160); }, 0x01, 12, 0x0153},
        {"CALL Z taken", [](Asm& a) { a.call(Z, 0x0160); }, 0x40, 24, 0x0160},
        {"CALL Z not taken", [](Asm& a) { a.call(Z, 0x0160); }, 0x00, 12, 0x0153},
        {"RET C taken", [](Asm& a) { a.ret(C); }, 0x01, 20, 0x0000},
        {"RET C not taken", [](Asm& a) { a.ret(C); }, 0x00, 8, 0x0151},
        {"BIT 0,(HL)", [](Asm& a) { a.bit(0, Mem(HL)); }, 0x00, 12, 0x0152},
        {"SET 0,(HL)", [](Asm& a) { a.set(0, Mem(HL)); }, 0x00, 12, 0x0152},
        {"RLC (HL)", [](Asm& a) { a.rlc(Mem(HL)); }, 0x00, 16, 0x0152},
        {"RLC B", [](Asm& a) { a.rlc(B); }, 0x00, 8, 0x0152},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Asm program(0x0150);
        c.emit(program);
        Load(program);
        gb.state.AF = c.f, gb.state.HL = 0xC000;
        Run(1);
        EXPECT_EQ(gb.state.op_cycles, c.cycles);
        EXPECT_EQ(gb.state.PC, c.pc);
    }
}

// ---- the run slice ----

// A slice is a sixteenth of a second, twice the cycles in double speed. It starts from the
// overshoot carried in from the last one and stops after the step that reaches its length.
TEST_F(CpuTest, SliceLastsASixteenthOfASecondAndCarriesItsOvershoot) {
    Asm a(0x0150);
    a.label("loop"), a.inc(BC), a.jr("loop");  // 8 + 12 cycles a pass
    for (const u8 speed : {0, 1}) {
        SCOPED_TRACE(int{speed});
        Load(a);
        gb.state.BC = 0, gb.state.CGB_double_speed = speed, gb.state.slice_cycles = 2;
        gb.RunSlice();
        // It ends on the INC of the last pass, 6 cycles past 0x40000 or 2 past 0x80000.
        EXPECT_EQ(gb.state.BC, (speed ? 0x80000 : 0x40000) / 20 + 1);
        EXPECT_EQ(gb.state.slice_cycles, speed ? 2u : 6u);
    }
}

// An undefined opcode costs nothing and freezes the machine from the next slice on; the slice
// that met it runs to its end. Later undefined opcodes in that slice cost 4 cycles, so that
// memory full of them (a state file can say so) still lets the slice end.
TEST_F(CpuTest, UndefinedOpcodeFreezesTheMachineFromTheNextSlice) {
    const std::set<int> undefined = {0xD3, 0xDB, 0xDD, 0xE3, 0xE4, 0xEB,
                                     0xEC, 0xED, 0xF4, 0xFC, 0xFD};
    for (const int op : undefined) {
        SCOPED_TRACE(op);
        Asm a(0x0150);
        a.db(op), a.db(op);
        Load(a);
        gb.Step();
        EXPECT_EQ(gb.state.BadOpCode, 1);
        EXPECT_EQ(gb.state.op_cycles, 0u);
        gb.Step();
        EXPECT_EQ(gb.state.op_cycles, 4u);
        EXPECT_EQ(gb.state.PC, 0x0152);
    }
    Asm a(0x0150);
    a.db(0xDD), a.label("loop"), a.inc(BC), a.jr("loop");
    Load(a);
    gb.state.BC = 0;
    gb.RunSlice();
    EXPECT_EQ(gb.state.BadOpCode, 1);
    EXPECT_EQ(gb.state.BC, 0x40000 / 20 + 1);
    GbState before;
    std::memcpy(&before, &gb.state, sizeof before);
    gb.RunSlice();
    EXPECT_EQ(std::memcmp(&before, &gb.state, sizeof before), 0);
}

// ---- the console's rules (system_exact_hardware) ----

// A snippet run by the console's rules from A, a flag byte set through POP AF, and B; the result
// is A and the flag byte PUSH AF stores. Each row is a rule the Z80 layout gets otherwise.
TEST_F(CpuTest, ExactModeUsesTheConsolesFlagByteAndRules) {
    const struct {
        const char* what;
        void (*emit)(Asm&);
        u8 a, f, b;
        u16 want;
    } cases[] = {
        {"ADD into bit 7: H only", [](Asm& a) { a.add(A, B); }, 0x7F, 0x00, 0x01, 0x8020},
        {"ADD carry out: Z H C", [](Asm& a) { a.add(A, B); }, 0xFF, 0x00, 0x01, 0x00B0},
        {"SBC with borrow: N H C", [](Asm& a) { a.sbc(A, B); }, 0x00, 0x10, 0x00, 0xFF70},
        {"XOR A: Z alone", [](Asm& a) { a.xor_(A); }, 0x5A, 0x70, 0x00, 0x0080},
        {"AND: Z H, no parity", [](Asm& a) { a.and_(B); }, 0xF0, 0x10, 0x0F, 0x00A0},
        {"INC wraps, C kept", [](Asm& a) { a.inc(A); }, 0xFF, 0x10, 0x00, 0x00B0},
        {"DEC to 0x7F: N H, no overflow", [](Asm& a) { a.dec(A); }, 0x80, 0x00, 0x00, 0x7F60},
        {"RLCA clears Z", [](Asm& a) { a.rlca(); }, 0x80, 0xF0, 0x00, 0x0110},
        {"RRA of 1 gives 0 without Z", [](Asm& a) { a.rra(); }, 0x01, 0x80, 0x00, 0x0010},
        {"RL: Z C, no parity", [](Asm& a) { a.rl(A); }, 0x80, 0x00, 0x00, 0x0090},
        {"SWAP of 0: Z", [](Asm& a) { a.swap(A); }, 0x00, 0x70, 0x00, 0x0080},
        {"BIT 7 of 0x80: H, C kept", [](Asm& a) { a.bit(7, B); }, 0x00, 0x10, 0x80, 0x0030},
        {"CPL sets N H", [](Asm& a) { a.cpl(); }, 0x55, 0x90, 0x00, 0xAAF0},
        {"SCF keeps Z only", [](Asm& a) { a.scf(); }, 0x00, 0xE0, 0x00, 0x0090},
        {"CCF clears H", [](Asm& a) { a.ccf(); }, 0x00, 0xB0, 0x00, 0x0080},
        {"DAA after 0x09 + 0x01", [](Asm& a) { a.daa(); }, 0x0A, 0x00, 0x00, 0x1000},
        {"DAA after 0x99 + 0x01", [](Asm& a) { a.daa(); }, 0x9A, 0x00, 0x00, 0x0090},
        {"DAA after 0x10 - 0x01", [](Asm& a) { a.daa(); }, 0x0F, 0x60, 0x00, 0x0940},
        {"ADD HL keeps Z", [](Asm& a) { a.ld(HL, 0x0FFF), a.ld(DE, 1), a.add(HL, DE); }, 0x00, 0xF0,
         0x00, 0x00A0},
        {"ADD SP,-1 at 0xD000: no low-byte carry", [](Asm& a) { a.add(SP, -1); }, 0x00, 0xF0, 0x00,
         0x0000},
        {"LD HL,SP+1 at 0xD0FF: H and C",
         [](Asm& a) { a.ld(HL, 0xD0FF), a.ld(SP, HL), a.ldhl(1), a.ld(SP, 0xD000); }, 0x00, 0x00,
         0x00, 0x0030},
        {"POP AF drops the low nibble", [](Asm&) {}, 0x12, 0xFF, 0x00, 0x12F0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Asm program(0x0150);
        program.ld(BC, c.a << 8 | c.f), program.push(BC), program.pop(AF), program.ld(B, c.b);
        c.emit(program);
        program.push(AF), program.pop(BC);
        gb.system_exact_hardware = true;
        Load(program);
        for (int i = 0; i < 16 && gb.state.PC != program.pc(); ++i) gb.Step();
        EXPECT_EQ(gb.state.BC, c.want);
    }
}

// One F in GbState, two flag bytes on the stack: POP AF of the console's Z|C (0x90) is the Z80
// layout's Z|C (0x41) inside, which the machine's own PUSH AF stores as it is.
TEST_F(CpuTest, PushAndPopAfTranslateOnlyInExactMode) {
    for (const bool exact : {false, true}) {
        Asm program(0x0150);
        program.ld(BC, 0x0090), program.push(BC), program.pop(AF), program.push(AF),
            program.pop(DE);
        gb.system_exact_hardware = exact;
        Load(program);
        Run(5);
        EXPECT_EQ(gb.state.AF & 0xFF, exact ? 0x41 : 0x90) << exact;
        EXPECT_EQ(gb.state.DE, 0x0090) << exact;
    }
}

// A state saved in one mode and loaded in the other keeps Z, N, H and C: CP gives N and C (and S
// by the machine's own rules); PUSH AF after the load shows them in the loading mode's byte.
TEST_F(CpuTest, StateMovedBetweenModesKeepsTheFlags) {
    Asm program(0x0150);
    program.ld(A, 0x10), program.cp(0x20), program.push(AF), program.pop(DE);
    std::vector<u8> rom = test::MakeRom();
    PlaceInRom(rom, program);
    for (const bool saved_exact : {false, true}) {
        gb.system_exact_hardware = saved_exact;
        Load(program);
        Run(2);
        TGBSYSF other;
        other.system_exact_hardware = !saved_exact;
        test::OpenImage(other, rom);
        std::string error;
        ASSERT_TRUE(LoadStateImage(other, StateFileImage(gb), "moved", &error)) << error;
        other.Step(), other.Step();
        EXPECT_EQ(other.state.DE & 0xFF, saved_exact ? 0x03 : 0x50) << saved_exact;
    }
}

// HALT with IME clear and an enabled request standing: the console does not halt and reads the
// next byte twice, so LD A,n takes its own opcode (0x3E) as n and the 0x04 after it runs as
// INC B. The machine's own HALT just ends.
TEST_F(CpuTest, ExactModeHaltBugReadsTheNextByteTwice) {
    for (const bool exact : {false, true}) {
        Asm program(0x0150);
        program.di(), program.ld(A, 0x01), program.ldh(0xFF, A), program.ldh(0x0F, A);
        program.ld(B, 0), program.halt(), program.ld(A, 0x04), program.nop();
        gb.system_exact_hardware = exact;
        Load(program);
        for (int i = 0; i < 8 && gb.state.PC != program.pc(); ++i) gb.Step();
        EXPECT_EQ(gb.state.PC, program.pc()) << exact;
        EXPECT_EQ(gb.state.AF >> 8, exact ? 0x3E : 0x04) << exact;
        EXPECT_EQ(gb.state.BC >> 8, exact ? 1 : 0) << exact;
    }
}

}  // namespace
}  // namespace kivo
