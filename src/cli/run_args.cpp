#include "cli/run_args.h"

#include <cctype>
#include <limits>

namespace kivo::cli {

bool ParseCount(const std::string& text, std::uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > std::numeric_limits<std::uint32_t>::max()) return false;
    *value = static_cast<std::uint32_t>(v);
    return true;
}

bool ParseAddressRange(const std::string& text, AddressRange* range) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    std::string hex = text.substr(0, colon);
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
    if (hex.empty() || hex.size() > 4) return false;
    unsigned address = 0;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        address = address * 16 + static_cast<unsigned>(digit);
    }
    std::uint32_t count = 0;
    if (!ParseCount(text.substr(colon + 1), &count) || count > kMaxViewLines) return false;
    range->address = static_cast<std::uint16_t>(address);
    range->count = static_cast<int>(count);
    return true;
}

namespace {

bool Fail(std::string* error, const std::string& reason) {
    if (error) *error = reason;
    return false;
}

// The field of an option that takes no argument, or null.
bool* FlagOption(RunArgs& r, const std::string& arg) {
    if (arg == "--cart-info") return &r.cart_info;
    if (arg == "--regs") return &r.regs;
    if (arg == "--benchmark") return &r.benchmark;
    if (arg == "--demo") return &r.demo;
    if (arg == "--help" || arg == "-h") return &r.help;
    return nullptr;
}

// The field of an option that takes a file name, or null.
std::string* FileOption(RunArgs& r, const std::string& arg) {
    if (arg == "--ini") return &r.ini;
    if (arg == "--load-state") return &r.load_state;
    if (arg == "--save-state") return &r.save_state;
    if (arg == "--screenshot") return &r.screenshot;
    if (arg == "--wav") return &r.wav;
    if (arg == "--input") return &r.input;
    return nullptr;
}

bool TakesCount(const std::string& arg) {
    return arg == "--slices" || arg == "--frames" || arg == "--seed";
}

bool TakesRange(const std::string& arg) {
    return arg == "--disasm" || arg == "--mem";
}

// Stores the argument `value` of option `arg`, which takes one.
bool SetOptionValue(RunArgs& r, const std::string& arg, const std::string& value,
                    std::string* error) {
    if (std::string* file = FileOption(r, arg)) {
        if (value.empty()) return Fail(error, "option " + arg + " needs a file name");
        *file = value;
        return true;
    }
    if (TakesCount(arg)) {
        std::uint32_t n = 0;
        if (!ParseCount(value, &n)) {
            return Fail(error, "option " + arg +
                                   " takes a decimal number from 0 to 4294967295, not '" + value +
                                   "'");
        }
        if (arg == "--slices") r.slices = n;
        if (arg == "--frames") r.frames = n;
        if (arg == "--seed") r.seed = n;
        return true;
    }
    AddressRange range;
    if (!ParseAddressRange(value, &range)) {
        return Fail(error, "option " + arg + " takes ADDR:" +
                               (arg == "--disasm" ? std::string("COUNT") : std::string("LINES")) +
                               " (hexadecimal address, decimal count up to " +
                               std::to_string(kMaxViewLines) + "), not '" + value + "'");
    }
    (arg == "--disasm" ? r.disasm : r.mem) = range;
    return true;
}

// The options that exclude or need each other (not checked when --help is given).
bool CheckCombination(const RunArgs& r, std::string* error) {
    if (r.slices && r.frames) return Fail(error, "--slices and --frames exclude each other");
    if (r.demo && !r.rom.empty()) return Fail(error, "--demo and a ROM exclude each other");
    if (!r.demo && r.rom.empty()) {
        return Fail(error, "no ROM given (name a ROM file or use --demo)");
    }
    return true;
}

}  // namespace

bool ParseRunArgs(const std::vector<std::string>& args, RunArgs* out, std::string* error) {
    RunArgs r;
    std::vector<std::string> seen;
    bool only_positional = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (only_positional || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!r.rom.empty()) return Fail(error, "more than one ROM given: '" + arg + "'");
            r.rom = arg;
            continue;
        }
        if (arg == "--") {
            only_positional = true;
            continue;
        }
        for (const std::string& s : seen) {
            if (s == arg) return Fail(error, "option " + arg + " given twice");
        }
        seen.push_back(arg);

        if (bool* flag = FlagOption(r, arg)) {
            *flag = true;
            continue;
        }
        if (!FileOption(r, arg) && !TakesCount(arg) && !TakesRange(arg)) {
            return Fail(error, "unknown option " + arg);
        }
        if (i + 1 >= args.size()) return Fail(error, "option " + arg + " needs an argument");
        if (!SetOptionValue(r, arg, args[++i], error)) return false;
    }
    if (!r.help && !CheckCombination(r, error)) return false;
    *out = std::move(r);
    return true;
}

}  // namespace kivo::cli
