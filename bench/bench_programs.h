// Programs the benchmarks run, assembled in code: the slice benchmarks run them in process, and
// kivo_bench_roms writes them out as cartridge files for `kivo-run --benchmark`.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "asm/gbasm.h"
#include "support/rom_builder.h"

namespace kivo::bench {

// A loop of arithmetic, work-RAM traffic, calls and ROM bank switches on an MBC5 cartridge: a
// program that computes all the time.
inline std::vector<std::uint8_t> WorkloadRom() {
    using namespace gbasm;
    auto rom = test::MakeRom({.banks = 8, .type = 0x19, .size_code = 2});
    Asm a(0x0100);
    a.jp("main");
    a.pad_to(0x0150);
    a.label("main");
    a.ld(SP, 0xDFF0);
    a.label("outer");
    a.ld(HL, 0xC000);
    a.ld(B, 0);
    a.label("inner");
    a.ld(A, Mem(HL));
    a.add(A, B);
    a.xor_(0x5A);
    a.ld(Mem(HLI), A);
    a.ld(A, B);
    a.and_(7);
    a.ld(Mem(0x2000), A);  // select ROM bank B & 7
    a.ld(A, Mem(0x4000));
    a.call("mix");
    a.dec(B);
    a.jr(NZ, "inner");
    a.jr("outer");
    a.label("mix");
    a.push(BC);
    a.ld(C, A);
    a.swap(C);
    a.ld(A, C);
    a.adc(A, Mem(HL));
    a.daa();
    a.pop(BC);
    a.ret();
    PlaceInRom(rom, a);
    return rom;
}

// The set-up of the polling game below: a checker tile shown by the background and one sprite,
// the LCD on.
inline void EmitPollingSetUp(gbasm::Asm& a) {
    using namespace gbasm;
    a.ld(SP, 0xDFF0);
    // Tile 1: a checker; the background shows tiles 0 and 1, one sprite shows tile 1.
    a.ld(HL, 0x8010);
    a.ld(B, 8);
    a.label("tile");
    a.ld(A, 0xAA);
    a.ld(Mem(HLI), A);
    a.ld(A, 0x55);
    a.ld(Mem(HLI), A);
    a.dec(B);
    a.jr(NZ, "tile");
    a.ld(A, 0xE4);
    a.ldh(0x47, A);  // BGP
    a.ldh(0x48, A);  // OBP0
    a.ld(A, 0x93);
    a.ldh(0x40, A);  // LCD, background and sprites on
    a.ld(A, 80);
    a.ld(Mem(0xFE00), A);  // sprite 0: Y 80, tile 1
    a.ld(A, 1);
    a.ld(Mem(0xFE02), A);
}

// The polling game's frame loop: waits for LY 144, draws, waits for line 144 to end.
inline void EmitPollingFrames(gbasm::Asm& a) {
    using namespace gbasm;
    a.ld(E, 0);  // frame counter
    a.label("frame");
    a.label("wait_vblank");
    a.ldh(A, 0x44);
    a.cp(144);
    a.jr(NZ, "wait_vblank");
    // Draw: scroll, move the sprite, and rewrite one map row with a pattern that moves.
    a.inc(E);
    a.ld(A, E);
    a.ldh(0x43, A);        // SCX
    a.ld(Mem(0xFE01), A);  // sprite 0's X
    a.ld(HL, 0x9800);
    a.ld(A, E);
    a.and_(31);
    a.ld(C, A);
    a.ld(B, 0);
    a.add(HL, BC);
    a.ld(B, 32);
    a.label("row");
    a.ld(A, B);
    a.add(A, E);
    a.and_(1);
    a.ld(Mem(HLI), A);
    a.dec(B);
    a.jr(NZ, "row");
    a.label("wait_line");
    a.ldh(A, 0x44);
    a.cp(144);
    a.jr(Z, "wait_line");
    a.jr("frame");
}

// Writes (register, value) pairs to the 0xFF00 page.
inline void EmitRegisterWrites(gbasm::Asm& a, std::initializer_list<std::pair<int, int>> writes) {
    for (const auto& [reg, value] : writes) {
        a.ld(gbasm::A, value);
        a.ldh(reg, gbasm::A);
    }
}

// A game loop that waits for V-blank the way many games do, by reading LY until it reads 144,
// then draws: it scrolls the background, rewrites a row of the tile map and moves a sprite, and
// waits for line 144 to end before polling again. Nearly all of its time is spent polling.
inline std::vector<std::uint8_t> BusyPollRom() {
    using namespace gbasm;
    auto rom = test::MakeRom();
    Asm a(0x0100);
    a.jp("main");
    a.pad_to(0x0150);
    a.label("main");
    EmitPollingSetUp(a);
    EmitPollingFrames(a);
    PlaceInRom(rom, a);
    return rom;
}

// Figures of the three programs below (kivo-run --benchmark --frames 3600 pinned to one core,
// scripts/compare_speed.sh, 5 paired runs; callgrind instructions for --frames 300), a1cecf4
// against the sound unit's event-by-event replay:
//   halted_sound.gb   3911 -> 25524 fps (6.5x)   140.4M -> 119.5M instructions
//   audible_poll.gb  12902 -> 16853 fps (1.3x)   234.6M -> 190.1M
//   life.gb          14452 -> 14439 fps (1.0x)   249.8M -> 249.8M, about 10190 instructions
//                    a frame: 147M instructions per second, 6.8 ns each, before and after
// Then with runs of plain steps (cpu.cpp; compare_speed.sh, 9 paired runs on a loaded host, the
// median of the paired ratios; callgrind as above), a1cecf4 against them:
//   halted_sound.gb  6.5x                        140.4M -> 118.2M instructions
//   audible_poll.gb  1.6x                        234.6M -> 173.8M
//   life.gb          1.4x-1.5x                   249.8M -> 172.4M
// life.gb runs 3.08M emulated instructions in those 300 frames: 81 host instructions each before,
// 56 after, everything included; its CPU time for 18000 frames went from 0.95 s to 0.65 s (1.46x).
// Then with the sound's changing runs mixed from stepped copies and lines left as drawn when
// their inputs did not change (sound.cpp, renderer.cpp; 11 paired runs, core 0 busy building):
//   halted_sound.gb   5605 -> 45301 fps (8.1x)   140.4M -> 98.7M instructions
//   audible_poll.gb  17458 -> 27252 fps (1.6x)   234.6M -> 163.2M
//   life.gb          18823 -> 30576 fps (1.6x)   249.8M -> 154.6M: 50 host instructions per
//                    emulated one; 193M emulated instructions a second (5.2 ns each) before,
//                    314M (3.2 ns each) after
// Then with lines kept by what they read, background rows kept whole for scrolling games, and
// sound frames marked where their step began (11 paired runs on a quiet host):
//   halted_sound.gb   5992 -> 45602 fps (7.6x)   140.4M -> 99.5M instructions
//   audible_poll.gb  18688 -> 37840 fps (2.0x)   234.6M -> 125.2M
//   life.gb          20014 -> 32321 fps (1.6x)   249.8M -> 154.9M
//   the demo         62492 -> 80008 fps (1.3x)   102.4M -> 68.0M

// The same polling game playing two steady tones (square 1 at 256 Hz, square 2 at 1 kHz) and
// the noise channel (a step every 128 cycles), all routed to both terminals at full volume.
inline std::vector<std::uint8_t> AudiblePollRom() {
    using namespace gbasm;
    auto rom = test::MakeRom();
    Asm a(0x0100);
    a.jp("main");
    a.pad_to(0x0150);
    a.label("main");
    EmitPollingSetUp(a);
    EmitRegisterWrites(a, {{0x26, 0x80},  // NR52: sound on
                           {0x11, 0x80},
                           {0x12, 0xF0},
                           {0x13, 0x00},
                           {0x14, 0x86},
                           {0x16, 0x40},
                           {0x17, 0xA0},
                           {0x18, 0x80},
                           {0x19, 0x87},
                           {0x20, 0x00},
                           {0x21, 0x70},
                           {0x22, 0x31},
                           {0x23, 0x80},
                           {0x24, 0x77},
                           {0x25, 0xFF}});
    EmitPollingFrames(a);
    PlaceInRom(rom, a);
    return rom;
}

// A game that halts until V-blank every frame with both squares switched on, square 1 sweeping
// its pitch up until the period stops shortening, and both envelopes rising: the sound unit has
// work at every step while the processor has none.
inline std::vector<std::uint8_t> HaltedSoundRom() {
    using namespace gbasm;
    auto rom = test::MakeRom();
    Asm a(0x0040);
    a.reti();  // V-blank
    a.pad_to(0x0100);
    a.jp("main");
    a.pad_to(0x0150);
    a.label("main");
    a.ld(SP, 0xDFF0);
    EmitRegisterWrites(a, {{0x26, 0x80},  // NR52: sound on
                           {0x10, 0x7C},
                           {0x12, 0x8F},
                           {0x14, 0x84},
                           {0x17, 0x8F},
                           {0x19, 0x84},
                           {0x24, 0x77},
                           {0x25, 0xFF},
                           {0x40, 0x91},    // LCD on
                           {0x0F, 0x00},    // IF
                           {0xFF, 0x01}});  // IE: V-blank
    a.ei();
    a.label("frame");
    a.halt();
    a.ld(HL, 0xC000);  // a frame counter
    a.inc(Mem(HL));
    a.jr("frame");
    PlaceInRom(rom, a);
    return rom;
}

// Conway's Life on a 32 x 32 grid of one byte per cell at 0xC000, the next generation built at
// 0xC400 and copied back, generation after generation, with the LCD on and a V-blank interrupt
// counting frames. A cell's neighbours are at index offsets -33 -32 -31 -1 +1 +31 +32 +33 modulo
// 1024, so the grid wraps as a torus with a one-cell skew at the row ends. The processor never
// waits: every step is an instruction of the computation.
inline std::vector<std::uint8_t> LifeRom() {
    using namespace gbasm;
    auto rom = test::MakeRom();
    Asm a(0x0040);
    a.push(HL);  // V-blank: count frames at 0xD000
    a.ld(HL, 0xD000);
    a.inc(Mem(HL));
    a.pop(HL);
    a.reti();
    a.pad_to(0x0100);
    a.jp("main");
    a.pad_to(0x0150);
    a.label("main");
    a.ld(SP, 0xDFF0);
    // A pseudo-random first generation: b = b * 5 + 3, the cell the top bit of b.
    a.ld(HL, 0xC000);
    a.ld(B, 1);
    a.label("seed");
    a.ld(A, B);
    a.add(A, A);
    a.add(A, A);
    a.add(A, B);
    a.add(A, 3);
    a.ld(B, A);
    a.rlca();
    a.and_(1);
    a.ld(Mem(HLI), A);
    a.ld(A, H);
    a.cp(0xC4);
    a.jr(NZ, "seed");
    EmitRegisterWrites(a, {{0x40, 0x91}, {0x0F, 0x00}, {0xFF, 0x01}});  // LCD on, V-blank
    a.ei();
    a.label("generation");
    a.ld(DE, 0xC000);  // the cell
    a.label("cell");
    a.ld(C, 0);  // its live neighbours
    for (const int offset : {-33, -32, -31, -1, 1, 31, 32, 33}) {
        a.ld(HL, offset & 0xFFFF);
        a.add(HL, DE);
        a.ld(A, H);  // wrap into 0xC000-0xC3FF
        a.and_(0x03);
        a.or_(0xC0);
        a.ld(H, A);
        a.ld(A, Mem(HL));
        a.add(A, C);
        a.ld(C, A);
    }
    // Born with 3, survives with 2 or 3.
    a.ld(A, C);
    a.cp(3);
    a.jr(Z, "alive");
    a.cp(2);
    a.jr(NZ, "dead");
    a.ld(A, Mem(DE));
    a.jr("store");
    a.label("alive");
    a.ld(A, 1);
    a.jr("store");
    a.label("dead");
    a.xor_(A);
    a.label("store");
    a.ld(H, D);
    a.ld(L, E);
    a.set(2, H);  // 0xC400 + index
    a.ld(Mem(HL), A);
    a.inc(DE);
    a.ld(A, D);
    a.cp(0xC4);
    a.jp(NZ, "cell");
    // Copy the new generation back.
    a.ld(HL, 0xC400);
    a.ld(DE, 0xC000);
    a.label("copy");
    a.ld(A, Mem(HLI));
    a.ld(Mem(DE), A);
    a.inc(DE);
    a.ld(A, D);
    a.cp(0xC4);
    a.jr(NZ, "copy");
    a.jp("generation");
    PlaceInRom(rom, a);
    return rom;
}

}  // namespace kivo::bench
