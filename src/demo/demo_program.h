// The KIVO demo cartridge, assembled from the code in demo_program.cpp.
#pragma once

#include <cstdint>
#include <vector>

namespace kivo::demo {

// Bank layout of the cartridge: MBC5, eight 16 KB banks (128 KB).
inline constexpr int kBanks = 8;

// Assembles the whole cartridge image with a valid header and both checksums.
std::vector<std::uint8_t> BuildDemoRom();

}  // namespace kivo::demo
