// The command line of kivo-run, the headless runner:
//
//   kivo-run [--ini FILE] [--slices N | --frames N] [--load-state FILE] [--save-state FILE]
//            [--screenshot FILE.png] [--wav FILE.wav] [--input FILE] [--cart-info]
//            [--disasm ADDR:COUNT] [--mem ADDR:LINES] [--regs] [--benchmark] [--seed N] [--demo]
//            [ROM]
//
// Other tools drive the runner through exactly this interface, so a mistake in it is reported
// (a usage error) rather than guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kivo::cli {

inline constexpr const char* kUsage =
    "usage: kivo-run [--ini FILE] [--slices N | --frames N] [--load-state FILE] "
    "[--save-state FILE] [--screenshot FILE.png] [--wav FILE.wav] [--input FILE] [--cart-info] "
    "[--disasm ADDR:COUNT] [--mem ADDR:LINES] [--regs] [--benchmark] [--seed N] [--demo] [ROM]";

// One sixteenth of a console second per slice: the default run is one console second.
inline constexpr std::uint32_t kDefaultSlices = 16;
// Upper bound of COUNT and LINES: more than enough to list the whole address space.
inline constexpr int kMaxViewLines = 65536;

struct AddressRange {
    std::uint16_t address = 0;
    int count = 0;
};

struct RunArgs {
    std::string ini;
    std::optional<std::uint32_t> slices;
    std::optional<std::uint32_t> frames;
    std::string load_state;
    std::string save_state;
    std::string screenshot;
    std::string wav;
    std::string input;
    bool cart_info = false;
    std::optional<AddressRange> disasm;
    std::optional<AddressRange> mem;
    bool regs = false;
    bool benchmark = false;
    std::uint32_t seed = 0;
    bool demo = false;
    bool help = false;
    std::string rom;
};

// Parses the arguments after the program name. Returns false with the reason in *error for a
// usage error: an unknown option, a missing or malformed argument, an option given twice, both
// --slices and --frames, no ROM and no --demo, or both. error may be null.
bool ParseRunArgs(const std::vector<std::string>& args, RunArgs* out, std::string* error);

// A non-negative decimal number that fits 32 bits ("0", "16", "4294967295").
bool ParseCount(const std::string& text, std::uint32_t* value);
// "ADDR:COUNT": ADDR is 1-4 hexadecimal digits, with or without a 0x prefix; COUNT is decimal,
// at most kMaxViewLines.
bool ParseAddressRange(const std::string& text, AddressRange* range);

}  // namespace kivo::cli
