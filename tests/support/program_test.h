// A machine that runs a small assembled program one step at a time, for the processor, timer and
// interrupt tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "asm/gbasm.h"
#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo::test {

class ProgramTest : public ::testing::Test {
  protected:
    // Places the program and an optional handler (assembled at its own origin, a vector for
    // instance), opens the cartridge and points PC at the program with the stack in work RAM.
    // With no program, bank 0 is all NOPs (4 cycles each) from 0x0150 on.
    void Load(const gbasm::Asm& program = gbasm::Asm(0x0150), const gbasm::Asm* handler = nullptr,
              u8 cgb_flag = 0) {
        std::vector<u8> rom = MakeRom({.cgb_flag = cgb_flag});
        PlaceInRom(rom, program);
        if (handler) PlaceInRom(rom, *handler);
        OpenImage(gb, std::move(rom));
        gb.state.PC = program.origin();
        gb.state.SP = 0xD000;
    }
    void Run(int steps) {
        for (int i = 0; i < steps; ++i) gb.Step();
    }
    // Steps until PC reaches the end of the program, for at most `limit` steps.
    void RunToEnd(const gbasm::Asm& program, int limit = 16) {
        for (int i = 0; i < limit && gb.state.PC != program.pc(); ++i) gb.Step();
    }

    std::unique_ptr<TGBSYSF> owner = std::make_unique<TGBSYSF>();
    TGBSYSF& gb = *owner;
};

}  // namespace kivo::test
