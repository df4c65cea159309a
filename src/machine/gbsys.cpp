// Construction, opening and closing a ROM, the hard reset and the power-on reset.
#include "machine/gbsys.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace kivo {

namespace {

// The I/O register values the power-on reset writes, in order, through the register write path
// so that every side effect (channel triggers, palette decoding) happens.
struct PowerOnWrite {
    u8 reg;
    u8 value;
};
constexpr PowerOnWrite kPowerOnWrites[] = {
    {reg::P1, 0xFF},   {reg::NR10, 0x80}, {reg::NR11, 0xBF}, {reg::NR12, 0xF3}, {reg::NR14, 0xBF},
    {reg::NR21, 0x3F}, {reg::NR24, 0xBF}, {reg::NR30, 0x7F}, {reg::NR31, 0xFF}, {reg::NR32, 0x9F},
    {reg::NR34, 0xBF}, {reg::NR41, 0xFF}, {reg::NR44, 0xBF}, {reg::NR50, 0x77}, {reg::NR51, 0xF3},
    {reg::NR52, 0xF1}, {reg::LCDC, 0x91}, {reg::BGP, 0xFC},  {reg::OBP0, 0xFF}, {reg::OBP1, 0xFF},
};

constexpr u8 kDefaultShades[16] = {0xFF, 0xFF, 0xFF, 0x00, 0xC0, 0xC0, 0xC0, 0x00,
                                   0x80, 0x80, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace

TGBSYSF::TGBSYSF() {
    // The window starts as zeroes so that cartridge information before any ROM reads all 00.
    std::memset(rom, 0, sizeof rom);
    std::memset(&memory, 0, sizeof memory);
    std::memset(&state, 0, sizeof state);
    noise_seed_source = [] { return static_cast<u32>(std::time(nullptr)); };
}

TGBSYSF::~TGBSYSF() {
    CloseRom();
}

bool TGBSYSF::OpenRom(std::string* error) {
    if (rom_open) return true;
    auto fail = [&](const std::string& reason) {
        if (error) *error = rom_file_name + ": " + reason;
        return false;
    };
    std::error_code ec;
    const auto status = std::filesystem::status(rom_file_name, ec);
    if (ec || !std::filesystem::exists(status)) return fail("file not found");
    if (std::filesystem::is_directory(status)) return fail("is a directory, not a ROM file");
    // Opening a FIFO would wait for a writer that may never come; a device never ends.
    if (std::filesystem::is_fifo(status)) return fail("is a FIFO, not a ROM file");
    if (!std::filesystem::is_regular_file(status)) return fail("is a device, not a ROM file");
    std::FILE* file = std::fopen(rom_file_name.c_str(), "rb");
    if (!file) return fail(std::strerror(errno));
    if (!LoadCartridge(file, error)) {
        std::fclose(file);
        return false;
    }
    rom_file = file;
    rom_open = true;
    HardReset();
    return true;
}

bool TGBSYSF::OpenRomImage(std::vector<u8> image, const std::string& name, std::string* error) {
    if (rom_open) return true;
    if (image.empty()) {
        if (error) *error = name + ": file is empty";
        return false;
    }
    rom_file_name = name;
    LoadCartridgeImage(std::move(image));
    rom_open = true;
    HardReset();
    return true;
}

void TGBSYSF::CloseRom() {
    if (!rom_open) return;
    rom_open = false;
    if (rom_file) std::fclose(rom_file);
    rom_file = nullptr;
}

void TGBSYSF::HardReset() {
    std::memset(&memory, 0, sizeof memory);
    memory.sample_write_ptr = 0;
    Reset();
}

void TGBSYSF::Reset() {
    // A power-on reset starts from a new noise seed, with no sound cycles left pending.
    noise_rng = noise_seed_source ? noise_seed_source() : 0;
    SoundDropPending();

    // The processor starts where the boot program leaves it; A tells a game which console it runs
    // on. F = 0xB0 in the processor's Z80-style flag layout.
    std::memset(&state, 0, sizeof state);
    state.AF = IsColourSystem() ? 0x11B0 : 0x01B0;
    state.BC = 0x0013;
    state.DE = 0x00D8;
    state.HL = 0x014D;
    state.PC = 0x0100;
    state.SP = 0xFFFE;

    // Every bank register at its first bank, and the ROM window showing bank 1.
    state.Bank_ROM0 = 0;
    state.Bank_ROM1 = 1;
    state.Bank_VRAM = 0;
    state.Bank_XRAM = 0;
    state.Bank_WRAM0 = 0;
    state.Bank_WRAM1 = 1;
    SwitchRomBank();

    // The colour background palettes start white; the monochrome palettes show four shades from
    // white to black.
    for (int i = 0; i < 32; ++i) {
        u8* entry = state.cgb_bg_colors + i * 4;
        entry[0] = entry[1] = entry[2] = 0xFF;
        entry[3] = 0x00;
    }
    std::memcpy(state.bgp_colors, kDefaultShades, 16);
    std::memcpy(state.obp0_colors, kDefaultShades, 16);
    std::memcpy(state.obp1_colors, kDefaultShades, 16);

    // No key held, and the bad-opcode notice may show again.
    state.joy_dir = 0x0F;
    state.joy_btn = 0x0F;
    state.bad_opcode_shown = 0;

    // The I/O registers' start values, written with their side effects so that the channels,
    // palettes and LCD decode them as if a program had written them.
    for (const PowerOnWrite& w : kPowerOnWrites) IoWrite(0xFF00 | w.reg, w.value);
    // KEY1 restarts at normal speed with no switch armed, matching CGB_double_speed = 0:
    // otherwise a game reset in double speed would read "already fast" and skip its switch.
    memory.io_page[reg::KEY1] = 0;

    // Colour mode is decided only on the colour console with a cartridge present.
    if (IsColourSystem() && rom_open) {
        switch (system_force_cgbmode) {
            case 0: state.CGB_MODE = (rom[0x143] == 0x80 || rom[0x143] == 0xC0) ? 1 : 0; break;
            case 1: state.CGB_MODE = 0; break;
            default: state.CGB_MODE = 1; break;
        }
    }

    // On the console the boot program leaves its own registers, with F in the console's layout:
    // Z, H and C (0xB0) on the monochrome console, Z (0x80) on the colour one. GbState keeps F in
    // the Z80 layout (Z 0x40, H 0x10, C 0x01).
    if (system_exact_hardware) {
        if (!IsColourSystem()) {
            state.AF = 0x0151;  // BC, DE and HL as above
        } else {
            state.AF = 0x1140;
            state.BC = 0x0000;
            state.DE = state.CGB_MODE ? 0xFF56 : 0x0008;
            state.HL = state.CGB_MODE ? 0x000D : 0x007C;
        }
    }

    // The mixer starts a fresh sample block.
    memory.sample_write_ptr = 0;
}

void TGBSYSF::UpdateFrameRatio() {
    frame_skip_period = static_cast<i32>(Screen_refresh_ratio_index);
    frame_skip_threshold = 1;
}

}  // namespace kivo
