// Cartridge loading and the bank controllers MBC1, MBC2, MBC3 and MBC5.
//
// The addressable part of the ROM file (at most 512 banks) is read into rom_image once at open,
// so a bank switch is a pointer change, never a file read: games switch banks hundreds of times
// per frame, most often to the bank already mapped. The 32 KB window keeps its rules: bank 0 is
// copied into its lower half, and a bank the file does not hold in full is assembled in its upper
// half on top of whatever was visible there before.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "machine/gbsys.h"
#include "machine/stream_read.h"

namespace kivo {

namespace {

// Header byte 0x147: the controller and what the board carries beside it.
struct CartType {
    u8 kind = MBC_UNKNOWN;
    bool ram = false;
    bool battery = false;
    bool timer = false;
};

constexpr std::array<CartType, 256> MakeCartTypes() {
    std::array<CartType, 256> t{};  // every code not listed: unknown, no flags
    t[0x00] = {MBC_ROMONLY};
    t[0x01] = {MBC_MBC1};
    t[0x02] = {MBC_MBC1, true};
    t[0x03] = {MBC_MBC1, true, true};
    t[0x05] = {MBC_MBC2};
    t[0x06] = {MBC_MBC2, false, true};
    t[0x08] = {MBC_ROMONLY, true};
    t[0x09] = {MBC_ROMONLY, true, true};
    t[0x0B] = {MBC_MMM01};
    t[0x0C] = {MBC_MMM01, true};
    t[0x0D] = {MBC_MMM01, true, true};
    t[0x0F] = {MBC_MBC3, false, true, true};
    t[0x10] = {MBC_MBC3, true, true, true};
    t[0x11] = {MBC_MBC3};
    t[0x12] = {MBC_MBC3, true};
    t[0x13] = {MBC_MBC3, true, true};
    t[0x15] = {MBC_MBC4};
    t[0x16] = {MBC_MBC4, true};
    t[0x17] = {MBC_MBC4, true, true};
    t[0x19] = {MBC_MBC5};  // 0x1C-0x1E are the rumble boards; the motor is not emulated
    t[0x1A] = {MBC_MBC5, true};
    t[0x1B] = {MBC_MBC5, true, true};
    t[0x1C] = {MBC_MBC5};
    t[0x1D] = {MBC_MBC5, true};
    t[0x1E] = {MBC_MBC5, true, true};
    t[0xFC] = {MBC_POCKET_CAMERA};
    t[0xFD] = {MBC_BANDAI_TAMA5};
    t[0xFE] = {MBC_HUC3};
    t[0xFF] = {MBC_HUC1, true, true};
    return t;
}
constexpr auto kCartTypes = MakeCartTypes();
static_assert(kCartTypes[0x03].kind == MBC_MBC1 && kCartTypes[0x03].battery);
static_assert(kCartTypes[0x10].timer && kCartTypes[0x10].ram);
static_assert(kCartTypes[0x20].kind == MBC_UNKNOWN);

// Header byte 0x148: the number of 16 KB banks the cartridge declares.
constexpr std::array<u16, 256> MakeRomBankCounts() {
    std::array<u16, 256> t{};
    for (u16& n : t) n = 2;  // every unknown code reads as the smallest size
    for (int code = 0; code <= 7; ++code) t[code] = static_cast<u16>(2 << code);
    t[0x52] = 72;
    t[0x53] = 80;
    t[0x54] = 96;
    return t;
}
constexpr auto kRomBankCounts = MakeRomBankCounts();
static_assert(kRomBankCounts[0x00] == 2 && kRomBankCounts[0x07] == 256);
static_assert(kRomBankCounts[0x08] == 2 && kRomBankCounts[0x53] == 80);

constexpr std::size_t kTypeByte = 0x147;
constexpr std::size_t kSizeByte = 0x148;

}  // namespace

bool TGBSYSF::LoadCartridge(std::FILE* file, std::string* error) {
    auto fail = [&](const std::string& reason) {
        if (error) *error = rom_file_name + ": " + reason;
        return false;
    };
    std::vector<u8> image;
    if (std::fseek(file, 0, SEEK_SET) != 0 || !ReadStreamUpTo(file, kMaxRomBytes, &image)) {
        return fail(std::strerror(errno));
    }
    if (image.empty()) return fail("file is empty");
    LoadCartridgeImage(std::move(image));
    return true;
}

void TGBSYSF::LoadCartridgeImage(std::vector<u8> image) {
    if (image.size() > kMaxRomBytes) image.resize(kMaxRomBytes);
    image.shrink_to_fit();
    rom_image = std::move(image);

    // A file shorter than the window leaves 0xFF past its end (what an unconnected data bus
    // reads), never bytes of a cartridge opened before.
    std::memset(rom, 0xFF, sizeof rom);
    std::memcpy(rom, rom_image.data(), std::min(rom_image.size(), sizeof rom));
    rom_bank1 = rom + kRomBankSize;
    idle_loop = {};  // it may lie in the old cartridge's bank 0

    // The header is decoded from the file's own bytes. A file too short to hold the type byte is
    // no cartridge at all: it is reported as unknown rather than as the 0xFF fill's HuC1 board
    // with a battery (which would make its "cartridge RAM" be saved beside it).
    const CartType type =
        rom_image.size() > kTypeByte ? kCartTypes[rom_image[kTypeByte]] : CartType{};
    mbc_kind = type.kind;
    cart_ram = type.ram;
    cart_battery = type.battery;
    cart_timer = type.timer;
    rom_banks = rom_image.size() > kSizeByte ? kRomBankCounts[rom_image[kSizeByte]] : 2;
}

void TGBSYSF::SwitchRomBank() {
    // With no cartridge open there is nothing to read: the window keeps its bytes.
    const std::size_t size = rom_image.size();
    if (!rom_open || size == 0) return;
    // Bank_ROM1 may hold any value from a state file: the offset is taken in 64 bits, where
    // 2^32 banks of 16 KB cannot overflow.
    const std::uint64_t start = std::uint64_t{state.Bank_ROM1} * kRomBankSize;
    if (start + kRomBankSize <= size) {
        rom_bank1 = rom_image.data() + start;
        return;
    }
    // The bank starts past the end of the file: the previous bytes stay visible.
    if (start >= size) return;
    // The file ends inside the bank: its bytes overlay what was visible, the rest stays.
    u8* upper = rom + kRomBankSize;
    if (rom_bank1 != upper) std::memcpy(upper, rom_bank1, kRomBankSize);
    std::memcpy(upper, rom_image.data() + start, size - static_cast<std::size_t>(start));
    rom_bank1 = upper;
}

void TGBSYSF::MbcWrite(u16 address, u8 value) {
    // 0x0000-0x1FFF is RAM enable on every board; cartridge RAM is always on here, so it is
    // ignored. Writes to a range a board does not decode fall through every case below.
    if (address < 0x2000) return;
    switch (mbc_kind) {
        case MBC_MBC1:
            if (address < 0x4000) {
                state.Bank_ROM1 = (state.Bank_ROM1 & ~0x1Fu) | (value & 0x1Fu);
                SwitchRomBank();
            } else if (address < 0x6000) {
                // The two upper bits are either ROM bank bits 5-6 or the RAM bank, by mode;
                // changing the mode later moves nothing between them.
                if (state.Bank_ROM_RAM_MODE == 0) {
                    state.Bank_ROM1 = (state.Bank_ROM1 & ~0x60u) | ((value & 3u) << 5);
                    SwitchRomBank();
                } else {
                    state.Bank_XRAM = value & 3u;
                }
            } else {
                state.Bank_ROM_RAM_MODE = value & 1u;
            }
            break;
        case MBC_MBC2:
            if (address < 0x4000) {
                state.Bank_ROM1 = value & 0x0Fu;
                SwitchRomBank();
            } else if (address < 0x6000) {
                state.Bank_XRAM = value & 3u;
            }
            break;
        case MBC_MBC3:
            if (address < 0x4000) {
                state.Bank_ROM1 = value & 0x7Fu;
                SwitchRomBank();
            } else if (address < 0x6000) {
                // No clock chip: the clock register numbers 0x08-0x0C fall onto RAM banks, and
                // the latch at 0x6000-0x7FFF does nothing.
                state.Bank_XRAM = value & 3u;
            }
            break;
        case MBC_MBC5:
            if (address < 0x3000) {
                state.Bank_ROM1 = (state.Bank_ROM1 & 0x100u) | value;
                SwitchRomBank();
            } else if (address < 0x4000) {
                // Bank bit 8; this register is not an alias of the low byte.
                state.Bank_ROM1 =
                    (value & 1) ? (state.Bank_ROM1 | 0x100u) : (state.Bank_ROM1 & 0xFFu);
                SwitchRomBank();
            } else if (address < 0x6000) {
                state.Bank_XRAM = value & 0x0Fu;
            }
            break;
        default:
            // ROM-only boards have no registers; the other controllers are not emulated.
            break;
    }
}

}  // namespace kivo
