// Save states (".kivostate"), the raw memory files (".kivoxram", ".kivovram", ".kivowram"),
// the RAM clear commands, and opening and closing ROM files with their battery-backed cartridge
// RAM. Every function runs on the GUI thread while the emulation worker is held.
//
// A state file is the arena's first five regions followed by GbState, with no header:
//   0x00000  wram      32768     0x2C000  oam_page   256
//   0x08000  xram     131072     0x2C100  io_page    256
//   0x28000  vram      16384     0x2C200  GbState    892
// 181628 bytes in all.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "machine/gbsys.h"

namespace kivo {

inline constexpr std::size_t kStateRegionsBytes = offsetof(GbMemory, unused_2C200);  // 0x2C200
inline constexpr std::size_t kStateFileBytes = kStateRegionsBytes + sizeof(GbState);
static_assert(kStateFileBytes == 181628);

enum class MemoryRegion { XRAM, VRAM, WRAM };

// A region's name in its commands and dialog filter: "XRAM", "VRAM", "WRAM".
const char* MemoryRegionName(MemoryRegion r);
// Size in bytes of a region and of its memory file: 131072, 16384, 32768.
std::size_t MemoryRegionSize(MemoryRegion r);

// The bytes of a state file for the machine as it is.
std::vector<u8> StateFileImage(const TGBSYSF& gb);
// The same into kStateFileBytes at `out`, allocating nothing (the rewind ring, on the worker).
void CopyStateImage(const TGBSYSF& gb, u8* out);
// Puts the machine into the state of kStateFileBytes at `image`, as loading its file does.
void RestoreStateImage(TGBSYSF& gb, const u8* image);
// Writes exactly `path`, replacing an existing file only once the new one is complete.
bool SaveState(const TGBSYSF& gb, const std::string& path, std::string* error);
// Accepts only a file of exactly kStateFileBytes; any other size or a read failure returns false
// with the reason and leaves the machine untouched. Then remaps the switchable ROM bank the
// state names.
bool LoadState(TGBSYSF& gb, const std::string& path, std::string* error);
// LoadState on bytes already read: `name` stands for the file in messages.
bool LoadStateImage(TGBSYSF& gb, const std::vector<u8>& image, const std::string& name,
                    std::string* error);
// The name "Save State..." writes for a chosen name: its extension replaced by ".kivostate".
std::string StatePathFor(const std::string& chosen);

// The name "Save XRAM...", "Save VRAM..." and "Save WRAM..." write for a chosen name: its
// extension replaced by ".kivoxram", ".kivovram" or ".kivowram".
std::string MemoryPathFor(MemoryRegion r, const std::string& chosen);

bool SaveMemory(const TGBSYSF& gb, MemoryRegion r, const std::string& path, std::string* error);
// Reads at most the region's size from the file's start; a shorter file fills the region only
// that far (an 8 KB cartridge save replaces bank 0 alone). An unreadable file returns false with
// the reason and leaves the region untouched.
bool LoadMemory(TGBSYSF& gb, MemoryRegion r, const std::string& path, std::string* error);
void ClearMemory(TGBSYSF& gb, MemoryRegion r);
// "Clear All RAM": video RAM, then work RAM, then cartridge RAM.
void ClearAllRam(TGBSYSF& gb);

// Where a battery-backed cartridge's RAM is kept: the ROM's path with ".kivoxram".
std::string BatteryRamPath(const std::string& rom_path);

// "Open ROM...": closes an open ROM first (saving its battery RAM; when that save fails the old
// ROM stays open and false is returned with the reason, so no save is lost), opens `path` with
// a hard reset, then loads the battery file into cartridge RAM when the cartridge has a battery
// and the file exists. Returns false with the reason when the ROM cannot be opened (rom_open
// then stays clear). A battery file that exists but cannot be read does not stop the ROM from
// opening; its reason goes to *warning.
bool OpenRomFile(TGBSYSF& gb, const std::string& path, std::string* error,
                 std::string* warning = nullptr);
// "Close ROM": saves the battery RAM of an open battery-backed cartridge, then closes the ROM.
// The ROM is closed even when the save fails (false with the reason); memory keeps its contents,
// so "Save XRAM..." can still rescue the data.
bool CloseRomFile(TGBSYSF& gb, std::string* error);

}  // namespace kivo
