#include "ui/ini_location.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "ui/options.h"

namespace kivo {

namespace fs = std::filesystem;

std::string ChooseIniPath(const std::string& exe_path, const char* xdg_config_home,
                          const char* home) {
    const std::string beside = IniPathForExecutable(exe_path);
    std::error_code ec;
    fs::path folder = fs::path(beside).parent_path();
    if (folder.empty()) folder = ".";
    if (fs::exists(beside, ec) || ::access(folder.c_str(), W_OK) == 0) return beside;

    fs::path config;
    if (xdg_config_home && *xdg_config_home && fs::path(xdg_config_home).is_absolute()) {
        config = xdg_config_home;
    } else if (home && *home) {
        config = fs::path(home) / ".config";
    } else {
        return beside;  // nowhere better: the write at exit will say why it failed
    }
    return (config / "kivo" / "kivo.INI").string();
}

std::string ChooseIniPath(const std::string& exe_path) {
    return ChooseIniPath(exe_path, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

bool EnsureIniFolder(const std::string& ini_path, std::string* error) {
    const fs::path folder = fs::path(ini_path).parent_path();
    if (folder.empty()) return true;
    std::error_code ec;
    if (fs::is_directory(folder, ec)) return true;
    if (fs::create_directories(folder, ec)) return true;
    if (error) *error = folder.string() + ": " + ec.message();
    return false;
}

}  // namespace kivo
