// Programs the benchmarks run, assembled in code: the slice benchmarks run them in process, and
// kivo_bench_roms writes them out as cartridge files for `kivo-run --benchmark`.
#pragma once

#include <cstdint>
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
    PlaceInRom(rom, a);
    return rom;
}

}  // namespace kivo::bench
