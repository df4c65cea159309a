// Arbitrary memory shown in the debugger's three views: the code view (disassembly), the memory
// view and the registers. The input is the cartridge (ROM and, after a run, whatever it wrote
// into RAM); its first bytes also choose the processor's registers and the views' addresses.
#include <cstring>

#include "fuzz_support.h"
#include "ui/disasm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kivo;
    if (size < 8 || !fuzz::OpenImage(std::vector<std::uint8_t>(data, data + size))) return 0;
    TGBSYSF& gb = fuzz::Machine();
    if (data[0] & 1) gb.RunSlice();
    // Registers and memory regions from the input, as a loaded state could set them.
    std::memcpy(&gb.state, data, std::min(size, sizeof(GbState)));
    std::memcpy(gb.memory.wram, data, std::min(size, sizeof gb.memory.wram));
    std::memcpy(gb.memory.io_page, data, std::min(size, sizeof gb.memory.io_page));
    const u16 code_at = static_cast<u16>(data[1] | data[2] << 8);
    const u16 mem_at = static_cast<u16>(data[3] | data[4] << 8);
    for (const std::string& line : CodeLines(gb, code_at, 64)) {
        if (line.empty()) __builtin_trap();
    }
    MemoryLines(gb, mem_at, 64);
    if (RegisterLines(gb).size() != 20) __builtin_trap();
    for (int a = 0; a < 0x10000; a += 0x3F1) {
        std::string text;
        const int length = DisassembleOne(gb, static_cast<u16>(a), &text);
        if (length < 1 || length > 3) __builtin_trap();
    }
    return 0;
}
