// The command line of kivo-run, the headless runner:
//
//   kivo-run [--ini FILE] [--slices N | --frames N] [--load-state FILE] [--save-state FILE]
//            [--screenshot FILE.png] [--wav FILE.wav] [--input FILE] [--until COND]...
//            [--verdict memory|registers] [--cart-info] [--disasm ADDR:COUNT] [--mem ADDR:LINES]
//            [--regs] [--benchmark] [--seed N] [--exact] [--demo] [--help] [--version] [ROM]
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
    "[--save-state FILE] [--screenshot FILE.png] [--wav FILE.wav] [--input FILE] "
    "[--until COND]... [--verdict memory|registers] [--cart-info] [--disasm ADDR:COUNT] "
    "[--mem ADDR:LINES] [--regs] [--benchmark] [--seed N] [--exact] [--demo] [--help] [--version] "
    "[ROM]";

// One line per option for --help, in the words of the README's option table (a test holds the
// two together).
struct OptionHelp {
    const char* option;
    const char* meaning;
};
inline constexpr OptionHelp kOptionHelp[] = {
    {"--ini FILE", "read the options from FILE (the window's INI format), else the defaults"},
    {"--slices N", "run N slices of 1/16 console second (default 16)"},
    {"--frames N", "run whole slices until N more frames were handed over"},
    {"--load-state FILE", "load a state after opening the ROM"},
    {"--save-state FILE", "save the state where the run ends"},
    {"--screenshot FILE.png", "write the last picture as PNG"},
    {"--wav FILE.wav", "record the run's sound (22050 Hz, 16-bit stereo)"},
    {"--input FILE", "press buttons by script: lines FRAME BUTTON down (or up)"},
    {"--until COND", "stop once COND holds: ld-b-b, pc=ADDR or mem:ADDR=VAL; repeatable"},
    {"--verdict KIND",
     "memory or registers: print the test program's verdict; exit 0 on pass, 3 if not"},
    {"--cart-info", "print the cartridge information"},
    {"--disasm ADDR:COUNT", "print COUNT code lines from ADDR"},
    {"--mem ADDR:LINES", "print LINES memory lines from ADDR"},
    {"--regs", "print the registers"},
    {"--benchmark", "print frames, seconds, frame rate and speed"},
    {"--seed N", "seed the noise channel (default 0)"},
    {"--exact",
     "run as the console does (flag byte, HALT bug, object limit); for test ROMs and CI"},
    {"--demo", "run the built-in demo cartridge instead of a ROM"},
    {"--help", "print this help"},
    {"--version", "print the version"},
};

// The --help text: the usage line, then one line per option.
std::string HelpText();

// One sixteenth of a console second per slice: the default run is one console second.
inline constexpr std::uint32_t kDefaultSlices = 16;
// Upper bound of COUNT and LINES: more than enough to list the whole address space.
inline constexpr int kMaxViewLines = 65536;

struct AddressRange {
    std::uint16_t address = 0;
    int count = 0;
};

// A condition of --until, checked after every step.
struct StopCondition {
    enum Kind { kLdBB, kPc, kMem };
    Kind kind = kLdBB;
    std::uint16_t address = 0;  // kPc, kMem
    std::uint8_t value = 0;     // kMem
};

// The convention --verdict reads a test program's result by.
enum class VerdictKind { kMemory, kRegisters };

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
    bool exact = false;  // system_exact_hardware on, whatever --ini says
    std::vector<StopCondition> until;
    std::optional<VerdictKind> verdict;
    bool demo = false;
    bool help = false;
    bool version = false;
    std::string rom;
};

// Parses the arguments after the program name. Returns false with the reason in *error for a
// usage error: an unknown option, a missing or malformed argument, an option other than --until
// given twice, both --slices and --frames, no ROM and no --demo, or both (the last three are not
// checked with --help or --version). error may be null.
bool ParseRunArgs(const std::vector<std::string>& args, RunArgs* out, std::string* error);

// A non-negative decimal number that fits 32 bits ("0", "16", "4294967295").
bool ParseCount(const std::string& text, std::uint32_t* value);
// "ADDR:COUNT": ADDR is 1-4 hexadecimal digits, with or without a 0x prefix; COUNT is decimal,
// at most kMaxViewLines.
bool ParseAddressRange(const std::string& text, AddressRange* range);
// A hexadecimal number of 1 to max_digits digits, with or without a 0x prefix.
bool ParseHex(const std::string& text, int max_digits, unsigned* value);
// "ld-b-b", "pc=ADDR" or "mem:ADDR=VAL", ADDR and VAL hexadecimal. Returns false with the reason
// in *error (which names the text) for anything else, "serial" included: the serial port is not
// modelled.
bool ParseStopCondition(const std::string& text, StopCondition* condition, std::string* error);

}  // namespace kivo::cli
