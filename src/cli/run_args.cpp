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

bool ParseRunArgs(const std::vector<std::string>& args, RunArgs* out, std::string* error) {
    RunArgs r;
    std::vector<std::string> seen;
    auto fail = [&](const std::string& reason) {
        *error = reason;
        return false;
    };
    bool only_positional = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (only_positional || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!r.rom.empty()) return fail("more than one ROM given: '" + arg + "'");
            r.rom = arg;
            continue;
        }
        if (arg == "--") {
            only_positional = true;
            continue;
        }
        for (const std::string& s : seen) {
            if (s == arg) return fail("option " + arg + " given twice");
        }
        seen.push_back(arg);

        // Options without an argument.
        if (arg == "--cart-info") {
            r.cart_info = true;
            continue;
        }
        if (arg == "--regs") {
            r.regs = true;
            continue;
        }
        if (arg == "--benchmark") {
            r.benchmark = true;
            continue;
        }
        if (arg == "--demo") {
            r.demo = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            r.help = true;
            continue;
        }

        // Options with one argument.
        std::string* text_target = nullptr;
        if (arg == "--ini") text_target = &r.ini;
        if (arg == "--load-state") text_target = &r.load_state;
        if (arg == "--save-state") text_target = &r.save_state;
        if (arg == "--screenshot") text_target = &r.screenshot;
        if (arg == "--wav") text_target = &r.wav;
        if (arg == "--input") text_target = &r.input;
        const bool takes_value = text_target || arg == "--slices" || arg == "--frames" ||
                                 arg == "--seed" || arg == "--disasm" || arg == "--mem";
        if (!takes_value) return fail("unknown option " + arg);
        if (i + 1 >= args.size()) return fail("option " + arg + " needs an argument");
        const std::string& value = args[++i];
        if (text_target) {
            if (value.empty()) return fail("option " + arg + " needs a file name");
            *text_target = value;
            continue;
        }
        if (arg == "--slices" || arg == "--frames" || arg == "--seed") {
            std::uint32_t n = 0;
            if (!ParseCount(value, &n)) {
                return fail("option " + arg +
                            " takes a decimal number from 0 to 4294967295, not '" + value + "'");
            }
            if (arg == "--slices") r.slices = n;
            if (arg == "--frames") r.frames = n;
            if (arg == "--seed") r.seed = n;
            continue;
        }
        AddressRange range;
        if (!ParseAddressRange(value, &range)) {
            return fail("option " + arg + " takes ADDR:" +
                        (arg == "--disasm" ? std::string("COUNT") : std::string("LINES")) +
                        " (hexadecimal address, decimal count up to " +
                        std::to_string(kMaxViewLines) + "), not '" + value + "'");
        }
        (arg == "--disasm" ? r.disasm : r.mem) = range;
    }
    if (r.help) {
        *out = std::move(r);
        return true;
    }
    if (r.slices && r.frames) return fail("--slices and --frames exclude each other");
    if (r.demo && !r.rom.empty()) return fail("--demo and a ROM exclude each other");
    if (!r.demo && r.rom.empty()) return fail("no ROM given (name a ROM file or use --demo)");
    *out = std::move(r);
    return true;
}

}  // namespace kivo::cli
