// Random cartridges from the assembler, for the tests that run two machines side by side: every
// program is valid, never runs off into data and never reaches an undefined opcode. A program is
// an initialisation, then a loop of random blocks that lean on what a machine doing its per-step
// work lazily could get wrong: HALT and STOP, the timer, LY and STAT polling, waits on a flag an
// interrupt handler sets, LCD and sound register writes, OAM and video DMA, speed switches.
//
// Memory use of the programs: the stack in high RAM (0xFFFE down), handler counters at
// 0xC000-0xC00F, the handlers' two flags at 0xC010-0xC011, a log of register reads at
// 0xC020-0xC0FF, DMA source bytes at 0xC100-0xC2FF, scratch at 0xC300-0xC3FF. Work RAM bank 0 only,
// so that SVBK writes move nothing the program relies on.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "asm/gbasm.h"
#include "machine/layout.h"
#include "support/rom_builder.h"

namespace kivo::test {

inline constexpr u16 kHandlerCounters = 0xC000;  // one byte per interrupt, counted by its handler
inline constexpr u16 kHandlerFlag = 0xC010;      // two flags, both set to 1 by every handler
inline constexpr u16 kReadLog = 0xC020;

class RandomProgram {
  public:
    // colour: a cartridge for the colour console (header byte 0x143 = 0x80). bad_end: the first
    // pass through the blocks meets an undefined opcode after two blocks, which freezes the
    // machine.
    RandomProgram(u32 seed, bool colour, bool bad_end = false)
        : rng_(seed), colour_(colour), bad_end_(bad_end) {}

    // Starts the program from one of four sound set-ups (register writes in order: register,
    // value, register, value...), all routed to both terminals, instead of the channels as reset.
    RandomProgram& WithSound(std::size_t index) {
        using namespace reg;
        static const std::vector<int> kSetUps[] = {
            // Sweep shortening to a period below a step's, envelopes rising; noise drawing at
            // every step, with a length and a falling envelope.
            {NR10, 0x7C, NR12, 0x8F, NR14, 0x84, NR22, 0x8F, NR24, 0x84, NR41, 0x30, NR42, 0xF3,
             NR43, 0x00, NR44, 0xC0},
            // Sweep lengthening past the frequency range, envelope falling; wave channel of a
            // period below a step's, with a length.
            {NR10,         0x11, NR11, 0x80, NR12, 0xF1, NR13, 0xFF, NR14, 0x87, WAVE_RAM, 0x1F,
             WAVE_RAM + 7, 0xE3, NR30, 0x80, NR31, 0xF0, NR32, 0x20, NR33, 0xFF, NR34,     0xC7},
            // Short lengths running out, envelopes up and down; steady noise.
            {NR11, 0x3F, NR12, 0x19, NR14, 0xC7, NR21, 0x20, NR22, 0xF2, NR24, 0xC0, NR42, 0xA0,
             NR43, 0x11, NR44, 0x80},
            // A square of the shortest period; silent channels left on, and a muted wave.
            {NR12, 0xF0, NR13, 0xFF, NR14, 0x87, NR22, 0x08, NR24, 0x80,
             NR30, 0x80, NR32, 0x00, NR34, 0x80, NR42, 0x00, NR44, 0x80},
        };
        sound_set_up_ = &kSetUps[index % 4];
        return *this;
    }

    std::vector<u8> Build() {
        using namespace gbasm;
        std::vector<u8> rom = MakeRom({.cgb_flag = static_cast<u8>(colour_ ? 0x80 : 0x00)});
        // The five vectors jump to handlers of their own, 0x100 bytes apart from 0x3000.
        for (int n = 0; n < 5; ++n) {
            Asm vector(static_cast<u16>(0x0040 + 8 * n));
            vector.jp(0x3000 + 0x100 * n);
            PlaceInRom(rom, vector);
            Asm handler(static_cast<u16>(0x3000 + 0x100 * n));
            Handler(handler, n);
            PlaceInRom(rom, handler);
        }
        Asm a(0x0150);
        Init(a);
        a.label("top");
        const int blocks = 12 + Pick(30);
        for (int i = 0; i < blocks; ++i) {
            if (bad_end_ && i == 2) a.db(0xD3);
            Block(a);
        }
        a.jp("top");
        for (int i = 0; i < kSubroutines; ++i) {
            a.label("sub" + std::to_string(i));
            Alu(a, 2 + Pick(6));
            if (Pick(2)) a.ret(CondArg(static_cast<Cond>(Pick(4))));
            Alu(a, Pick(3));
            a.ret();
        }
        a.label("wait_hl"), a.ld(A, Mem(HL)), a.or_(A), a.jr(Z, "wait_hl"), a.ret();
        PlaceInRom(rom, a);
        return rom;
    }

  private:
    static constexpr int kSubroutines = 4;

    int Pick(int n) { return static_cast<int>(rng_() % static_cast<u32>(n)); }
    u8 Byte() { return static_cast<u8>(rng_()); }
    bool Chance(int percent) { return Pick(100) < percent; }
    std::string Fresh(const char* stem) { return stem + std::to_string(labels_++); }
    gbasm::R8 AnyReg() {
        static constexpr gbasm::R8 kRegs[] = {gbasm::B, gbasm::C, gbasm::D, gbasm::E, gbasm::A};
        return kRegs[Pick(5)];
    }
    // A register read into the log, at a place chosen now.
    void LogA(gbasm::Asm& a) { a.ld(gbasm::Mem(kReadLog + Pick(0xE0)), gbasm::A); }
    void Out(gbasm::Asm& a, int reg, int value) {
        a.ld(gbasm::A, value & 0xFF);
        a.ldh(reg, gbasm::A);
    }
    // ORs bits into IE.
    void EnableIrq(gbasm::Asm& a, int bits) {
        using namespace gbasm;
        a.ldh(A, reg::IE), a.or_(bits), a.ldh(reg::IE, A);
    }
    // Arms a source that is certain to request an interrupt soon: V-blank (the LCD always runs),
    // a running timer, or an LCD STAT source. Returns the IE bit.
    int ArmSource(gbasm::Asm& a) {
        switch (Pick(3)) {
            case 0: return irq::VBLANK;
            case 1: Out(a, reg::TAC, 0x04 | Pick(4)); return irq::TIMER;
            default:
                // Mode 0, 1 or 2 entry, or the LY coincidence with a line that exists.
                if (Chance(50)) Out(a, reg::LYC, Pick(154));
                a.ldh(gbasm::A, reg::STAT), a.and_(0x87), a.or_(0x08 << Pick(4));
                a.ldh(reg::STAT, gbasm::A);
                return irq::LCD_STAT;
        }
    }

    void Handler(gbasm::Asm& a, int n) {
        using namespace gbasm;
        a.push(AF), a.push(HL);
        a.ld(HL, kHandlerCounters + n), a.inc(Mem(HL));
        for (int i = Pick(3); i > 0; --i) {
            switch (Pick(5)) {
                case 0: a.ldh(A, reg::LY), LogA(a); break;
                case 1: a.ldh(A, Pick(2) ? reg::DIV : reg::TIMA), LogA(a); break;
                case 2: Out(a, Chance(50) ? reg::SCX : reg::SCY, Byte()); break;
                case 3: Out(a, reg::NR11 + Pick(4), Byte()); break;
                default: a.ldh(A, reg::STAT), LogA(a); break;
            }
        }
        a.ld(A, 1), a.ld(Mem(kHandlerFlag), A), a.ld(Mem(kHandlerFlag + 1), A);
        a.pop(HL), a.pop(AF);
        if (Chance(80)) {
            a.reti();
        } else {
            a.ei(), a.ret();
        }
    }

    void Init(gbasm::Asm& a) {
        using namespace gbasm;
        a.di(), a.ld(SP, 0xFFFE);
        // DMA sources and a little tile data, so that frames and OAM are not blank.
        a.ld(HL, 0xC100), a.ld(BC, 0x0200), a.ld(E, Byte());
        a.label("init_fill"), a.ld(A, L), a.xor_(E), a.add(A, H), a.ld(Mem(HLI), A), a.dec(BC);
        a.ld(A, B), a.or_(C), a.jr(NZ, "init_fill");
        a.ld(HL, 0x8000), a.ld(BC, 0x0200), a.ld(DE, 0xC100);
        a.label("init_tiles"), a.ld(A, Mem(DE)), a.inc(DE), a.ld(Mem(HLI), A), a.dec(BC);
        a.ld(A, B), a.or_(C), a.jr(NZ, "init_tiles");
        a.ld(HL, 0x9800), a.ld(B, 0);
        a.label("init_map"), a.ld(A, L), a.and_(0x1F), a.ld(Mem(HLI), A), a.dec(B);
        a.jr(NZ, "init_map");
        Out(a, reg::BGP, Byte()), Out(a, reg::OBP0, Byte()), Out(a, reg::OBP1, Byte());
        Out(a, reg::LCDC, 0x80 | Byte());
        if (colour_) {
            Out(a, reg::BCPS, 0x80);
            for (int i = 0; i < 16; ++i) Out(a, reg::BCPD, Byte());
        }
        Out(a, reg::NR52, 0x80), Out(a, reg::NR50, 0x77), Out(a, reg::NR51, Byte());
        if (sound_set_up_ != nullptr) {
            Out(a, reg::NR51, 0xFF);
            const std::vector<int>& w = *sound_set_up_;
            for (std::size_t i = 0; i + 1 < w.size(); i += 2) Out(a, w[i], w[i + 1]);
        }
        Out(a, reg::IE, Pick(32));
        if (Chance(50)) Out(a, reg::TAC, Pick(8));
        if (Chance(70)) a.ei();
    }

    void Alu(gbasm::Asm& a, int count) {
        using namespace gbasm;
        for (int i = 0; i < count; ++i) {
            switch (Pick(12)) {
                case 0: a.ld(AnyReg(), Byte()); break;
                case 1: a.ld(AnyReg(), AnyReg()); break;
                case 2: a.add(A, AnyReg()); break;
                case 3: a.adc(A, Byte()); break;
                case 4: a.sub(AnyReg()); break;
                case 5: Pick(2) ? a.xor_(AnyReg()) : a.and_(Byte()); break;
                case 6: Pick(2) ? a.inc(AnyReg()) : a.dec(AnyReg()); break;
                case 7: Pick(2) ? a.inc(BC) : a.dec(DE); break;
                case 8: a.swap(AnyReg()), a.rlca(); break;
                case 9: a.daa(), a.cpl(), a.bit(Pick(8), AnyReg()); break;
                case 10: a.push(Pick(2) ? BC : AF), a.cp(Byte()), a.pop(DE); break;
                default: a.ld(HL, 0xC300 + Byte()), a.ld(Mem(HL), A), a.add(A, Mem(HL)); break;
            }
        }
    }

    void Block(gbasm::Asm& a) {
        using namespace gbasm;
        const int kind = Pick(100);
        if (kind < 10) {
            Alu(a, 2 + Pick(8));
        } else if (kind < 14) {
            // A delay loop a lazy machine counts down at once, on any register, with C set or
            // clear, from counts that cross the half-carry boundaries or wrap from 0; F goes to
            // the log.
            static constexpr R8 kRegs[] = {A, B, C, D, E, H, L};
            const R8 r = kRegs[Pick(7)];
            const std::string loop = Fresh("delay");
            a.ld(r, Chance(50) ? Byte() : 0x10 * Pick(4) + Pick(2));
            if (Chance(50)) a.scf();
            a.label(loop), a.dec(r), a.jr(NZ, loop), a.push(AF), a.pop(DE), a.ld(A, E), LogA(a);
        } else if (kind < 20) {
            a.call("sub" + std::to_string(Pick(kSubroutines)));
        } else if (kind < 30) {
            // The timer: any of its registers, all four periods, reads of DIV and TIMA.
            for (int i = 1 + Pick(4); i > 0; --i) {
                switch (Pick(6)) {
                    case 0: Out(a, reg::DIV, Byte()); break;
                    case 1: Out(a, reg::TIMA, Chance(50) ? 0xF0 + Pick(16) : Byte()); break;
                    case 2: Out(a, reg::TMA, Chance(50) ? 0xF0 + Pick(16) : Byte()); break;
                    case 3: Out(a, reg::TAC, (Chance(20) ? Byte() & 0xF8 : 0) | Pick(8)); break;
                    default: a.ldh(A, Pick(2) ? reg::DIV : reg::TIMA), LogA(a); break;
                }
            }
        } else if (kind < 38) {
            // Polls LY until a line: the loop a lazy machine may skip.
            const std::string loop = Fresh("ly");
            const int line = Pick(154);
            a.label(loop), a.ldh(A, reg::LY), a.cp(line), a.jr(NZ, loop);
        } else if (kind < 45) {
            // Polls the STAT mode: H-blank, or another mode.
            const std::string loop = Fresh("stat");
            a.label(loop), a.ldh(A, reg::STAT), a.and_(3);
            if (Chance(50)) a.cp(Pick(4));
            a.jr(NZ, loop);
        } else if (kind < 52) {
            // Waits with interrupts on for one of the flags the handlers set: inline, or in one
            // routine called with either flag's address, which a skipped loop must read afresh.
            const int flag = kHandlerFlag + Pick(2);
            EnableIrq(a, ArmSource(a));
            a.xor_(A), a.ld(Mem(flag), A), a.ei();
            if (Chance(50)) {
                a.ld(HL, flag), a.call("wait_hl");
            } else {
                const std::string loop = Fresh("flag");
                a.label(loop), a.ld(A, Mem(flag)), a.or_(A), a.jr(Z, loop);
            }
        } else if (kind < 64) {
            // HALT with a source armed, with interrupts on or off; with them off the request
            // stays standing, or is cleared after the wake.
            EnableIrq(a, ArmSource(a));
            if (Chance(60)) {
                a.ei(), a.halt();
            } else {
                a.di(), a.halt(), a.ldh(A, reg::IF), LogA(a);
                if (Chance(50)) a.xor_(A), a.ldh(reg::IF, A);
            }
            if (Chance(30)) a.nop();
        } else if (kind < 66) {
            // HALT on whatever IE and IME hold, or until a button press from outside wakes it:
            // may sleep for good, which must cost nothing.
            if (Chance(50)) {
                Out(a, reg::IE, irq::JOYPAD);
                Chance(50) ? a.ei() : a.di();
            }
            a.halt();
        } else if (kind < 74) {
            // The LCD's registers, the LCD off and on again, LY restarted.
            for (int i = 1 + Pick(3); i > 0; --i) {
                switch (Pick(7)) {
                    case 0: Out(a, reg::STAT, Byte()); break;
                    case 1: Out(a, reg::LYC, Pick(160)); break;
                    case 2:
                        Out(a, reg::LCDC, Byte() & 0x7F), Alu(a, Pick(4));
                        Out(a, reg::LCDC, 0x80 | Byte());
                        break;
                    case 3: Out(a, reg::LY, Byte()); break;
                    case 4: Out(a, reg::SCX + Pick(2), Byte()), Out(a, reg::WY, Byte()); break;
                    case 5: Out(a, reg::BGP, Byte()); break;
                    default: a.ldh(A, Pick(2) ? reg::STAT : reg::LY), LogA(a); break;
                }
            }
        } else if (kind < 78) {
            // OAM DMA from work RAM, ROM, video RAM or the I/O page.
            static constexpr int kPages[] = {0xC1, 0xC2, 0x01, 0x40, 0x80, 0x98, 0xFE, 0xFF};
            Out(a, reg::DMA, Chance(70) ? kPages[Pick(8)] : Byte());
        } else if (kind < 88) {
            Sound(a);
        } else if (kind < 91) {
            // The speed switch (on a colour cartridge; elsewhere STOP idles to the next request).
            Out(a, reg::KEY1, 1), a.stop();
            if (Chance(50)) a.nop();
        } else if (kind < 94) {
            // Video DMA: a general copy or one block per H-blank.
            Out(a, reg::HDMA1, Chance(50) ? 0xC1 : Byte() & 0x7F), Out(a, reg::HDMA2, Byte());
            Out(a, reg::HDMA3, Byte()), Out(a, reg::HDMA4, Byte());
            Out(a, reg::HDMA5, (Chance(60) ? 0x80 : 0) | Pick(16));
        } else if (kind < 97) {
            // The interrupt controller itself.
            switch (Pick(4)) {
                case 0: Out(a, reg::IE, Pick(32)); break;
                case 1: Out(a, reg::IF, Pick(32)); break;
                case 2: a.di(); break;
                default: a.ei(); break;
            }
        } else {
            // The joypad lines, the colour banks.
            Out(a, reg::P1, Pick(2) ? 0x10 : 0x20), a.ldh(A, reg::P1), LogA(a);
            if (colour_) Out(a, reg::SVBK, Byte()), Out(a, reg::VBK, Byte());
        }
    }

    void Sound(gbasm::Asm& a) {
        using namespace gbasm;
        for (int i = 1 + Pick(5); i > 0; --i) {
            const int what = Pick(10);
            if (what < 5) {
                // A channel's register, its trigger with a sounding envelope most of the time.
                static constexpr int kFirst[] = {reg::NR10, reg::NR21 - 1, reg::NR30,
                                                 reg::NR41 - 1};
                const int ch = Pick(4);
                const int r = kFirst[ch] + Pick(5);
                if (r == reg::NR21 - 1 || r == reg::NR41 - 1) continue;  // no register there
                Out(a, r, Byte());
                if (Chance(50)) {
                    if (ch == 2) Out(a, reg::NR30, 0x80);
                    if (ch != 2) Out(a, kFirst[ch] + 2, 0xF0 | Pick(16));
                    Out(a, kFirst[ch] + 4, 0x80 | Byte());
                }
            } else if (what < 7) {
                Out(a, reg::WAVE_RAM + Pick(16), Byte());
            } else if (what < 8) {
                Out(a, reg::NR52, 0), Alu(a, Pick(3)), Out(a, reg::NR52, 0x80);
            } else if (what < 9) {
                Out(a, Pick(2) ? reg::NR50 : reg::NR51, Byte());
            } else {
                a.ldh(A, reg::NR52), LogA(a);
            }
        }
    }

    std::mt19937 rng_;
    bool colour_;
    bool bad_end_;
    int labels_ = 0;
    const std::vector<int>* sound_set_up_ = nullptr;
};

}  // namespace kivo::test
