#include "ui/kivo_args.h"

#include "ui/hotkeys.h"

namespace kivo {

bool ParseKivoArgs(const std::vector<std::string>& words, KivoArgs* out, std::string* error) {
    KivoArgs args;
    bool options_ended = false;
    for (const std::string& word : words) {
        if (!options_ended && word.size() > 1 && word[0] == '-') {
            if (word == "--") {
                options_ended = true;
            } else if (word == "--help" || word == "-h") {
                args.help = true;
            } else if (word == "--version") {
                args.version = true;
            } else if (word == "--fullscreen") {
                args.fullscreen = true;
            } else {
                *error = "unknown option " + word;
                return false;
            }
        } else if (args.rom.empty()) {
            args.rom = word;
        } else {
            *error = "more than one ROM: " + word;
            return false;
        }
    }
    *out = args;
    return true;
}

std::string KivoHelpText() {
    return "usage: kivo [--fullscreen] [ROM]\n"
           "Plays a Game Boy or Game Boy Color cartridge in a window; ROM is opened at start.\n"
           "\n"
           "options:\n"
           "  --fullscreen  start in full screen\n"
           "  --help        print this help\n"
           "  --version     print the version\n"
           "\n"
           "hotkeys (a key bound to a console button plays the button instead):\n" +
           HotkeyHelp() +
           "\n"
           "The menus: F5 pause, F6 debugger, F7 options, F8 cartridge information.\n";
}

}  // namespace kivo
