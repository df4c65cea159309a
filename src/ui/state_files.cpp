#include "ui/state_files.h"

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/safe_file.h"

namespace kivo {

namespace {

// The regions sit at the same offsets in a state file as in the arena.
static_assert(offsetof(GbMemory, wram) == 0x00000);
static_assert(offsetof(GbMemory, xram) == 0x08000);
static_assert(offsetof(GbMemory, vram) == 0x28000);
static_assert(offsetof(GbMemory, oam_page) == 0x2C000);
static_assert(offsetof(GbMemory, io_page) == 0x2C100);
static_assert(kStateRegionsBytes == 0x2C200);

u8* RegionData(TGBSYSF& gb, MemoryRegion r) {
    switch (r) {
        case MemoryRegion::XRAM: return gb.memory.xram;
        case MemoryRegion::VRAM: return gb.memory.vram;
        case MemoryRegion::WRAM: return gb.memory.wram;
    }
    return gb.memory.wram;
}

const u8* RegionData(const TGBSYSF& gb, MemoryRegion r) {
    return RegionData(const_cast<TGBSYSF&>(gb), r);
}

std::string WithExtension(const std::string& path, const char* extension) {
    return std::filesystem::path(path).replace_extension(extension).string();
}

}  // namespace

const char* MemoryRegionName(MemoryRegion r) {
    switch (r) {
        case MemoryRegion::XRAM: return "XRAM";
        case MemoryRegion::VRAM: return "VRAM";
        case MemoryRegion::WRAM: return "WRAM";
    }
    return "";
}

std::size_t MemoryRegionSize(MemoryRegion r) {
    switch (r) {
        case MemoryRegion::XRAM: return sizeof(GbMemory::xram);
        case MemoryRegion::VRAM: return sizeof(GbMemory::vram);
        case MemoryRegion::WRAM: return sizeof(GbMemory::wram);
    }
    return 0;
}

std::vector<u8> StateFileImage(const TGBSYSF& gb) {
    std::vector<u8> image(kStateFileBytes);
    CopyStateImage(gb, image.data());
    return image;
}

void CopyStateImage(const TGBSYSF& gb, u8* out) {
    std::memcpy(out, &gb.memory, kStateRegionsBytes);
    std::memcpy(out + kStateRegionsBytes, &gb.state, sizeof(GbState));
}

bool SaveState(const TGBSYSF& gb, const std::string& path, std::string* error) {
    const std::vector<u8> image = StateFileImage(gb);
    return WriteFileSafely(path, image.data(), image.size(), error);
}

bool LoadState(TGBSYSF& gb, const std::string& path, std::string* error) {
    // The whole file is read and checked before one byte of the machine changes: a short or
    // foreign file must not leave a machine that is half the old state and half the new one.
    std::vector<u8> image;
    if (!ReadFileUpTo(path, kStateFileBytes + 1, &image, error)) return false;
    if (image.size() != kStateFileBytes) {
        std::error_code ec;
        const auto actual = std::filesystem::file_size(path, ec);
        const std::string size_text =
            ec ? (image.size() > kStateFileBytes ? "more than " + std::to_string(kStateFileBytes)
                                                 : std::to_string(image.size()))
               : std::to_string(actual);
        if (error) {
            *error = path + ": not a state file (" + size_text + " bytes; a state file has " +
                     std::to_string(kStateFileBytes) + ")";
        }
        return false;
    }
    return LoadStateImage(gb, image, path, error);
}

bool LoadStateImage(TGBSYSF& gb, const std::vector<u8>& image, const std::string& name,
                    std::string* error) {
    if (image.size() != kStateFileBytes) {
        if (error) {
            *error = name + ": not a state file (" + std::to_string(image.size()) +
                     " bytes; a state file has " + std::to_string(kStateFileBytes) + ")";
        }
        return false;
    }
    RestoreStateImage(gb, image.data());
    return true;
}

void RestoreStateImage(TGBSYSF& gb, const u8* image) {
    std::memcpy(&gb.memory, image, kStateRegionsBytes);
    std::memcpy(&gb.state, image + kStateRegionsBytes, sizeof(GbState));
    // Sound output resumes at the sample the state had reached, so the loaded state alone
    // decides what is heard next.
    gb.memory.sample_write_ptr =
        (static_cast<u32>(gb.state.snd_buffer_fill) % static_cast<u32>(kBlockFrames)) * 4;
    gb.SwitchRomBank();
    gb.SoundDropPending();
}

std::string StatePathFor(const std::string& chosen) {
    return WithExtension(chosen, ".kivostate");
}

std::string MemoryPathFor(MemoryRegion r, const std::string& chosen) {
    switch (r) {
        case MemoryRegion::XRAM: return WithExtension(chosen, ".kivoxram");
        case MemoryRegion::VRAM: return WithExtension(chosen, ".kivovram");
        case MemoryRegion::WRAM: return WithExtension(chosen, ".kivowram");
    }
    return chosen;
}

bool SaveMemory(const TGBSYSF& gb, MemoryRegion r, const std::string& path, std::string* error) {
    return WriteFileSafely(path, RegionData(gb, r), MemoryRegionSize(r), error);
}

bool LoadMemory(TGBSYSF& gb, MemoryRegion r, const std::string& path, std::string* error) {
    std::vector<u8> bytes;
    if (!ReadFileUpTo(path, MemoryRegionSize(r), &bytes, error)) return false;
    if (!bytes.empty()) std::memcpy(RegionData(gb, r), bytes.data(), bytes.size());
    return true;
}

void ClearMemory(TGBSYSF& gb, MemoryRegion r) {
    std::memset(RegionData(gb, r), 0, MemoryRegionSize(r));
}

void ClearAllRam(TGBSYSF& gb) {
    ClearMemory(gb, MemoryRegion::VRAM);
    ClearMemory(gb, MemoryRegion::WRAM);
    ClearMemory(gb, MemoryRegion::XRAM);
}

std::string BatteryRamPath(const std::string& rom_path) {
    return WithExtension(rom_path, ".kivoxram");
}

namespace {

// Only a cartridge read from a file has a place to keep its saves; an image opened from memory
// (the built-in demo) has none.
bool HasBatteryToSave(const TGBSYSF& gb) {
    return gb.rom_open && gb.cart_battery && gb.rom_file != nullptr;
}

}  // namespace

bool OpenRomFile(TGBSYSF& gb, const std::string& path, std::string* error, std::string* warning) {
    if (gb.rom_open) {
        if (HasBatteryToSave(gb) &&
            !SaveMemory(gb, MemoryRegion::XRAM, BatteryRamPath(gb.rom_file_name), error)) {
            if (error) *error += " (the open cartridge stays open so that its save is kept)";
            return false;
        }
        gb.CloseRom();
    }
    gb.rom_file_name = path;
    if (!gb.OpenRom(error)) return false;
    if (gb.cart_battery) {
        const std::string battery = BatteryRamPath(path);
        std::error_code ec;
        if (std::filesystem::exists(battery, ec)) {
            std::string reason;
            if (!LoadMemory(gb, MemoryRegion::XRAM, battery, &reason) && warning) {
                *warning = reason;
            }
        }
    }
    return true;
}

bool CloseRomFile(TGBSYSF& gb, std::string* error) {
    bool saved = true;
    if (HasBatteryToSave(gb)) {
        saved = SaveMemory(gb, MemoryRegion::XRAM, BatteryRamPath(gb.rom_file_name), error);
    }
    gb.CloseRom();
    return saved;
}

}  // namespace kivo
