// Shared pieces of the fuzz targets: a machine reused across inputs (the arena is large, and the
// machine allocates nothing once a cartridge is open), opened on the built-in demo cartridge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "demo/demo_rom.h"
#include "machine/gbsys.h"

namespace kivo::fuzz {

inline TGBSYSF& Machine() {
    static TGBSYSF* gb = [] {
        auto* machine = new TGBSYSF();
        machine->noise_seed_source = [] { return 0u; };
        machine->ShowErrorMessage = [](const std::string&) {};
        return machine;
    }();
    return *gb;
}

// Opens `image` as a cartridge on the shared machine, after closing the previous one.
inline bool OpenImage(const std::vector<std::uint8_t>& image) {
    TGBSYSF& gb = Machine();
    gb.CloseRom();
    return gb.OpenRomImage(image, "fuzz.gb", nullptr);
}

inline std::vector<std::uint8_t> DemoImage() {
    const auto rom = demo::DemoRom();
    return std::vector<std::uint8_t>(rom.begin(), rom.end());
}

}  // namespace kivo::fuzz
