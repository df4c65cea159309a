// The memory bus: the console's 16-bit address space mapped onto the ROM window, the arena's
// banked regions and the I/O page. Every access of the emulated machine (opcode fetches, stack,
// both DMAs) and every read of the debugger goes through these two functions. They are inline
// because they run for every memory access.
//
// Bank numbers come from GbState, which a state file can fill with any bytes, so each one is
// masked to its region where it is used: no stored value can reach outside the arena.
//
// gbsys.h includes this file at its end, so that every user of the machine object sees these
// definitions; including it first works as well.
#pragma once

#include "machine/gbsys.h"

namespace kivo {

inline u8 TGBSYSF::BusRead(u16 address) const {
    if (address <= 0x7FFF) {
        return (address & 0x4000) ? rom_bank1[address & 0x3FFF] : rom[address];
    }
    if (address <= 0x9FFF) {
        return memory.vram[(state.Bank_VRAM & 1) * 0x2000 + (address & 0x1FFF)];
    }
    if (address <= 0xBFFF) {
        return memory.xram[(state.Bank_XRAM & 15) * 0x2000 + (address & 0x1FFF)];
    }
    if (address <= 0xFDFF) {
        // Work RAM and its echo at 0xE000-0xFDFF: address bit 12 picks the bank register.
        const u32 bank = (address & 0x1000) ? state.Bank_WRAM1 : state.Bank_WRAM0;
        return memory.wram[(bank & 7) * 0x1000 + (address & 0x0FFF)];
    }
    if (address <= 0xFEFF) {
        return memory.oam_page[address & 0xFF];
    }
    return IoRead(address);
}

inline void TGBSYSF::MapReadPages() {
    for (u32 k = 0; k < 4; ++k) {
        read_pages[k] = rom + k * 0x1000;
        read_pages[4 + k] = rom_bank1 + k * 0x1000;
    }
    u8* vram = memory.vram + (state.Bank_VRAM & 1) * 0x2000;
    u8* xram = memory.xram + (state.Bank_XRAM & 15) * 0x2000;
    // Video RAM is read directly but written through the bus, which notes the changes for the
    // renderer (drawn_lines).
    write_pages[0x8] = nullptr;
    write_pages[0x9] = nullptr;
    write_pages[0xA] = xram;
    write_pages[0xB] = xram + 0x1000;
    write_pages[0xC] = memory.wram + (state.Bank_WRAM0 & 7) * 0x1000;
    write_pages[0xD] = memory.wram + (state.Bank_WRAM1 & 7) * 0x1000;
    write_pages[0xE] = write_pages[0xC];
    read_pages[0x8] = vram;
    read_pages[0x9] = vram + 0x1000;
    for (u32 k = 0xA; k <= 0xE; ++k) read_pages[k] = write_pages[k];
    read_pages[0xF] = nullptr;
}

inline void TGBSYSF::BusWrite(u16 address, u8 value) {
    if (address <= 0x7FFF) {
        MbcWrite(address, value);
        MapReadPages();  // the ROM bank or the cartridge RAM bank may have changed
    } else if (address <= 0x9FFF) {
        const u32 offset = address & 0x1FFF;
        u8& byte = memory.vram[(state.Bank_VRAM & 1) * 0x2000 + offset];
        if (byte != value) {  // what the renderer's lines are drawn from changed
            const u32 count = ++video_changes.count;
            if (offset >= 0x1800) {
                video_changes.map_rows[(offset - 0x1800) >> 5] = count;
            } else {
                video_changes.looks = count;
            }
        }
        byte = value;
    } else if (address <= 0xBFFF) {
        memory.xram[(state.Bank_XRAM & 15) * 0x2000 + (address & 0x1FFF)] = value;
    } else if (address <= 0xFDFF) {
        const u32 bank = (address & 0x1000) ? state.Bank_WRAM1 : state.Bank_WRAM0;
        memory.wram[(bank & 7) * 0x1000 + (address & 0x0FFF)] = value;
    } else if (address <= 0xFEFF) {
        u8& byte = memory.oam_page[address & 0xFF];
        if (byte != value) {
            video_changes.oam = video_changes.oam_entries[(address & 0xFF) >> 2] =
                ++video_changes.count;
        }
        byte = value;
    } else {
        IoWrite(address, value);
        // The two bank registers of the I/O page: video RAM and the work RAM bank at 0xD000.
        const u8 n = address & 0xFF;
        if (n == reg::VBK || n == reg::SVBK) MapReadPages();
    }
}

}  // namespace kivo
