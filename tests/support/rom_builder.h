// Builds cartridge images in memory for tests: a header, and banks whose bytes name the bank so
// that a read at 0x4000-0x7FFF shows which bank is mapped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine/gbsys.h"

namespace kivo::test {

struct RomShape {
    int banks = 2;               // 16 KB banks in the image
    std::uint8_t type = 0x00;    // header byte 0x147
    std::uint8_t size_code = 0;  // header byte 0x148
    std::uint8_t cgb_flag = 0;   // header byte 0x143
};

// Every byte of bank n holds n (low 8 bits), except the header area of bank 0 and byte 1 of each
// bank, which holds the bank number's high bits.
inline std::vector<std::uint8_t> MakeRom(const RomShape& shape = {}) {
    std::vector<std::uint8_t> rom(static_cast<std::size_t>(shape.banks) * 0x4000);
    for (int bank = 0; bank < shape.banks; ++bank) {
        for (int i = 0; i < 0x4000; ++i) rom[bank * 0x4000 + i] = static_cast<std::uint8_t>(bank);
        rom[bank * 0x4000 + 1] = static_cast<std::uint8_t>(bank >> 8);
    }
    for (int i = 0x100; i < 0x150; ++i) rom[i] = 0;
    rom[0x143] = shape.cgb_flag;
    rom[0x147] = shape.type;
    rom[0x148] = shape.size_code;
    return rom;
}

// Opens an image on a machine (hard reset included); the machine's default options apply.
inline void OpenImage(TGBSYSF& gb, std::vector<std::uint8_t> image) {
    gb.CloseRom();
    gb.noise_seed_source = [] { return 0u; };
    gb.OpenRomImage(std::move(image), "test.gb");
}

}  // namespace kivo::test
