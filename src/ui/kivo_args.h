// The command line of kivo, the desktop program: `kivo [--fullscreen] [ROM]`, `kivo --help`,
// `kivo --version`. Read before any window exists, so that the help and the version need no
// display.
#pragma once

#include <string>
#include <vector>

namespace kivo {

struct KivoArgs {
    bool help = false;
    bool version = false;
    bool fullscreen = false;
    std::string rom;  // empty: none
};

// False with a one-line reason for an unknown option or a second ROM. "--" ends the options,
// so that a ROM named "-x.gb" can be opened.
bool ParseKivoArgs(const std::vector<std::string>& words, KivoArgs* out, std::string* error);

// The text of `kivo --help`: usage, options and the hotkeys.
std::string KivoHelpText();

}  // namespace kivo
