// The console's behaviour (system_exact_hardware) beside the machine's own: the flag byte and
// flag rules as a program sees them through PUSH AF, the HALT bug, states moved between the two,
// and the renderer's object limit, object priority and window line counter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/program_test.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

using namespace gbasm;

class ExactCpuTest : public test::ProgramTest {
  protected:
    // Runs `body` in exact mode from A and the console flag byte f (set through POP AF) and B;
    // returns A and the flag byte PUSH AF stores, as A << 8 | F.
    u16 RunExact(void (*body)(Asm&), u8 a, u8 f, u8 b) {
        Asm p(0x0150);
        p.ld(BC, a << 8 | f), p.push(BC), p.pop(AF), p.ld(B, b);
        body(p);
        p.push(AF), p.pop(BC);
        gb.system_exact_hardware = true;
        Load(p);
        for (int i = 0; i < 16 && gb.state.PC != p.pc(); ++i) gb.Step();
        EXPECT_EQ(gb.state.PC, p.pc());
        return gb.state.BC;
    }
};

// Each row is a rule the machine's own Z80 layout gets otherwise: no S, P/V or copy bits, Z
// cleared by the rotates of A, H and C of ADD SP from the low byte, the console's DAA.
TEST_F(ExactCpuTest, FlagByteAndRulesAreTheConsoles) {
    const struct {
        const char* what;
        void (*body)(Asm&);
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
        {"ADD SP,-1 at 0xD000: low-byte carries none", [](Asm& a) { a.add(SP, -1); }, 0x00, 0xF0,
         0x00, 0x0000},
        {"LD HL,SP+e: H and C from the low byte",
         [](Asm& a) { a.ld(HL, 0xD0FF), a.ld(SP, HL), a.ldhl(1), a.ld(SP, 0xD000); }, 0x00, 0x00,
         0x00, 0x0030},
        {"POP AF drops the low nibble", [](Asm&) {}, 0x12, 0xFF, 0x00, 0x12F0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RunExact(c.body, c.a, c.f, c.b), c.want);
    }
}

// One F in GbState, two flag bytes on the stack: POP AF of the console's Z|C (0x90) is the Z80
// layout's Z|C (0x41) inside, which the machine's own PUSH AF stores as it is.
TEST_F(ExactCpuTest, PushAndPopAfTranslateOnlyInExactMode) {
    for (const bool exact : {false, true}) {
        SCOPED_TRACE(exact);
        Asm p(0x0150);
        p.ld(BC, 0x0090), p.push(BC), p.pop(AF), p.push(AF), p.pop(DE);
        gb.system_exact_hardware = exact;
        Load(p);
        Run(5);
        EXPECT_EQ(gb.state.AF & 0xFF, exact ? 0x41 : 0x90);
        EXPECT_EQ(gb.state.DE, 0x0090);
    }
}

// A state saved in one mode loads in the other with the same Z, N, H and C: CP gives N and C,
// S too by the machine's own rules; PUSH AF after the load shows them in the loading mode's byte.
TEST_F(ExactCpuTest, StateMovedBetweenModesKeepsTheFlags) {
    Asm p(0x0150);
    p.ld(A, 0x10), p.cp(0x20), p.push(AF), p.pop(DE);
    std::vector<u8> rom = test::MakeRom();
    PlaceInRom(rom, p);
    for (const bool saved_exact : {false, true}) {
        SCOPED_TRACE(saved_exact);
        gb.system_exact_hardware = saved_exact;
        Load(p);
        Run(2);
        TGBSYSF other;
        other.system_exact_hardware = !saved_exact;
        test::OpenImage(other, rom);
        std::string error;
        ASSERT_TRUE(LoadStateImage(other, StateFileImage(gb), "moved", &error)) << error;
        other.Step(), other.Step();
        EXPECT_EQ(other.state.DE & 0xFF, saved_exact ? 0x03 : 0x50);
    }
}

// HALT with IME clear and an enabled request standing: the console does not halt and reads the
// next byte twice, so LD A,n takes its own opcode (0x3E) as n and the 0x04 after it runs as
// INC B. The machine's own HALT just ends.
TEST_F(ExactCpuTest, HaltBugReadsTheNextByteTwice) {
    for (const bool exact : {false, true}) {
        SCOPED_TRACE(exact);
        Asm p(0x0150);
        p.di(), p.ld(A, 0x01), p.ldh(0xFF, A), p.ldh(0x0F, A), p.ld(B, 0);
        p.halt(), p.ld(A, 0x04), p.nop();
        gb.system_exact_hardware = exact;
        Load(p);
        for (int i = 0; i < 8 && gb.state.PC != p.pc(); ++i) gb.Step();
        EXPECT_EQ(gb.state.PC, p.pc());
        EXPECT_EQ(gb.state.AF >> 8, exact ? 0x3E : 0x04);
        EXPECT_EQ(gb.state.BC >> 8, exact ? 1 : 0);
    }
}

// ---- the renderer ----

class ExactRenderer : public testing::Test {
  protected:
    void SetUp() override {
        gb->HardReset();  // monochrome mode
        gb->state.LCDC = 0x93;
        for (u8* p : {gb->state.bgp_colors, gb->state.obp0_colors, gb->state.obp1_colors}) {
            TGBSYSF::DecodeDmgPalette(0xE4, p);  // colour number n shows shade n
        }
    }
    void SolidTile(int tile, int colour) {
        u8* p = gb->memory.vram + tile * 16;
        for (int i = 0; i < 16; i += 2) {
            p[i] = (colour & 1) ? 0xFF : 0, p[i + 1] = (colour & 2) ? 0xFF : 0;
        }
    }
    void Sprite(int i, u8 y, u8 x, u8 tile, u8 attr = 0) {
        u8* e = gb->memory.oam_page + 4 * i;
        e[0] = y, e[1] = x, e[2] = tile, e[3] = attr;
    }
    void Render(int ly) {
        gb->state.LY = static_cast<u8>(ly);
        gb->RenderLine();
    }
    // Colour number (0-3, as the identity palettes show it) of visible pixel x on line ly.
    int Colour(int ly, int x) const {
        static constexpr u8 kShades[4] = {255, 192, 128, 0};
        const u8 b = gb->memory.frame_buffer[ly * kLineBytes + 4 * (x + 8)];
        for (int c = 0; c < 4; ++c) {
            if (kShades[c] == b) return c;
        }
        return -1;
    }
    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
};

// Eleven objects on line 0: the console draws the first ten in OAM order, an object off screen
// (X = 0) among them; the machine's own renderer draws every one.
TEST_F(ExactRenderer, TenObjectsPerLineInOamOrder) {
    SolidTile(1, 3);
    Sprite(0, 16, 0, 1);  // on the line, off screen
    for (int i = 1; i <= 10; ++i) Sprite(i, 16, static_cast<u8>(8 + 8 * i), 1);
    for (const bool exact : {false, true}) {
        SCOPED_TRACE(exact);
        gb->exact_slice = exact;
        Render(0);
        EXPECT_EQ(Colour(0, 8 * 9), 3);               // object 9
        EXPECT_EQ(Colour(0, 8 * 10), exact ? 0 : 3);  // object 10
    }
}

// Object 0 at X 20 (colour 1) over object 1 at X 16 (colour 3): by OAM index object 0 is on top;
// on the monochrome console the smaller X wins. The winner's pixel hides the loser's even where
// the background then hides the winner (object 1 behind a colour-2 background).
TEST_F(ExactRenderer, OverlappingObjectsFollowEachConsolesOrder) {
    SolidTile(1, 1);
    SolidTile(2, 3);
    SolidTile(3, 2);
    const struct {
        const char* what;
        bool exact, colour_mode, behind;
        int want_overlap;
    } cases[] = {
        {"own: OAM index", false, false, false, 1},
        {"monochrome console: smaller X", true, false, false, 3},
        {"colour console: OAM index", true, true, false, 1},
        {"winner hidden by the background", true, false, true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        gb->exact_slice = c.exact;
        gb->state.CGB_MODE = c.colour_mode;
        std::memcpy(gb->state.cgb_obj_colors, gb->state.obp0_colors, 16);
        std::fill_n(gb->memory.vram + 0x1800, 32, c.behind ? 3 : 0);  // map row 0
        Sprite(0, 16, 20, 1);
        Sprite(1, 16, 16, 2, c.behind ? 0x80 : 0);
        Render(0);
        EXPECT_EQ(Colour(0, 12), c.want_overlap);  // under both objects
    }
}

// The window drawn on lines 0-1, hidden on 2-3, shown again on line 4: the console's window goes
// on with its own line 2; the machine's own takes LY - WY = 4.
TEST_F(ExactRenderer, WindowLineCountsOnlyLinesWithTheWindow) {
    u8* tile = gb->memory.vram + 16;  // tile 1: row 2 in colour 1, row 4 in colour 3
    tile[4] = 0xFF, tile[8] = 0xFF, tile[9] = 0xFF;
    std::fill_n(gb->memory.vram + 0x1C00, 32, 1);  // window map at 0x9C00, row 0
    gb->state.WY = 0, gb->state.WX = 7;
    for (const bool exact : {false, true}) {
        SCOPED_TRACE(exact);
        gb->exact_slice = exact;
        for (int ly = 0; ly <= 4; ++ly) {
            gb->state.LCDC = (ly == 2 || ly == 3) ? 0x93 : 0xF3;
            Render(ly);
        }
        EXPECT_EQ(Colour(4, 0), exact ? 1 : 3);
    }
}

}  // namespace
}  // namespace kivo
