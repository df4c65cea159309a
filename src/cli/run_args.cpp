#include "cli/run_args.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "ui/hex_digit.h"

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

bool ParseHex(const std::string& text, int max_digits, unsigned* value) {
    std::string_view hex = text;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
    if (hex.empty() || hex.size() > static_cast<std::size_t>(max_digits)) return false;
    unsigned v = 0;
    for (char c : hex) {
        const int digit = HexDigitValue(c);
        if (digit < 0) return false;
        v = v * 16 + static_cast<unsigned>(digit);
    }
    *value = v;
    return true;
}

bool ParseAddressRange(const std::string& text, AddressRange* range) {
    const std::size_t colon = text.find(':');
    unsigned address = 0;
    if (colon == std::string::npos || !ParseHex(text.substr(0, colon), 4, &address)) return false;
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

}  // namespace

bool ParseStopCondition(const std::string& text, StopCondition* condition, std::string* error) {
    StopCondition c;
    unsigned address = 0, value = 0;
    if (text == "ld-b-b") {
        c.kind = StopCondition::kLdBB;
    } else if (text.rfind("pc=", 0) == 0 && ParseHex(text.substr(3), 4, &address)) {
        c.kind = StopCondition::kPc;
    } else if (const std::size_t equals = text.find('=');
               text.rfind("mem:", 0) == 0 && equals != std::string::npos &&
               ParseHex(text.substr(4, equals - 4), 4, &address) &&
               ParseHex(text.substr(equals + 1), 2, &value)) {
        c.kind = StopCondition::kMem;
    } else if (text == "serial") {
        return Fail(error,
                    "option --until serial: the serial port is not modelled; read a test "
                    "program's result with --verdict memory or --verdict registers");
    } else {
        return Fail(error,
                    "option --until takes ld-b-b, pc=ADDR or mem:ADDR=VAL (ADDR and VAL "
                    "hexadecimal), not '" +
                        text + "'");
    }
    c.address = static_cast<std::uint16_t>(address);
    c.value = static_cast<std::uint8_t>(value);
    *condition = c;
    return true;
}

std::string HelpText() {
    std::size_t width = 0;
    for (const OptionHelp& o : kOptionHelp) width = std::max(width, std::strlen(o.option));
    std::string text = std::string(kUsage) + "\n";
    for (const OptionHelp& o : kOptionHelp) {
        text.append("  ").append(o.option);
        text.append(width + 2 - std::strlen(o.option), ' ').append(o.meaning).append("\n");
    }
    return text;
}

namespace {

// The field of an option that takes no argument, or null.
bool* FlagOption(RunArgs& r, const std::string& arg) {
    if (arg == "--cart-info") return &r.cart_info;
    if (arg == "--regs") return &r.regs;
    if (arg == "--benchmark") return &r.benchmark;
    if (arg == "--demo") return &r.demo;
    if (arg == "--exact") return &r.exact;
    if (arg == "--help" || arg == "-h") return &r.help;
    if (arg == "--version") return &r.version;
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

bool TakesWord(const std::string& arg) {
    return arg == "--until" || arg == "--verdict";
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
    if (arg == "--until") {
        StopCondition condition;
        if (!ParseStopCondition(value, &condition, error)) return false;
        r.until.push_back(condition);
        return true;
    }
    if (arg == "--verdict") {
        if (value == "memory") {
            r.verdict = VerdictKind::kMemory;
        } else if (value == "registers") {
            r.verdict = VerdictKind::kRegisters;
        } else {
            return Fail(error, "option --verdict takes memory or registers, not '" + value + "'");
        }
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

// The options that exclude or need each other (not checked with --help or --version).
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
        // --until may be repeated: the run stops at the first of its conditions that holds.
        if (arg != "--until" && std::find(seen.begin(), seen.end(), arg) != seen.end()) {
            return Fail(error, "option " + arg + " given twice");
        }
        seen.push_back(arg);

        if (bool* flag = FlagOption(r, arg)) {
            *flag = true;
            continue;
        }
        if (!FileOption(r, arg) && !TakesCount(arg) && !TakesRange(arg) && !TakesWord(arg)) {
            return Fail(error, "unknown option " + arg);
        }
        if (i + 1 >= args.size()) return Fail(error, "option " + arg + " needs an argument");
        if (!SetOptionValue(r, arg, args[++i], error)) return false;
    }
    if (!r.help && !r.version && !CheckCombination(r, error)) return false;
    *out = std::move(r);
    return true;
}

}  // namespace kivo::cli
