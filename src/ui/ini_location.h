// Where the options are kept between runs. The INI file lies beside the executable, with the
// executable's name and the extension ".INI", when that file exists or its folder is writable (a
// build folder, a portable copy). An installed program's folder (/usr/bin) is not the user's to
// write, so there the file is $XDG_CONFIG_HOME/kivo/kivo.INI, by default ~/.config/kivo/kivo.INI,
// with the same format and keys.
#pragma once

#include <string>

namespace kivo {

// xdg_config_home and home are the environment's values, null when unset.
std::string ChooseIniPath(const std::string& exe_path, const char* xdg_config_home,
                          const char* home);

// The same, from this process's environment.
std::string ChooseIniPath(const std::string& exe_path);

// Creates the folder that will hold ini_path when it is missing (the XDG folder on a first run).
// False with the reason when it cannot be created.
bool EnsureIniFolder(const std::string& ini_path, std::string* error);

}  // namespace kivo
