// The demo cartridge built into the programs (kivo-run --demo). Its bytes are assembled at build
// time from demo_program.cpp; the same bytes are written to kivo-demo.gb in the build folder.
#pragma once

#include <cstdint>
#include <span>

namespace kivo::demo {

std::span<const std::uint8_t> DemoRom();

}  // namespace kivo::demo
