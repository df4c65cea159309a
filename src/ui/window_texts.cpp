#include "ui/window_texts.h"

#include <filesystem>

namespace kivo {

std::string WindowTitle(bool rom_open, const std::string& rom_file_name) {
    if (!rom_open) return kAppTitle;
    return std::string(kAppTitle) + " - " +
           std::filesystem::path(rom_file_name).filename().string();
}

std::string StatusText(const StatusInputs& in) {
    if (in.running) {
        return "Running... - Speed = " + std::to_string(in.perf_speed) +
               "% - Refresh Rate = " + std::to_string(in.perf_fps) + " Hz ";
    }
    return in.user_pause ? "Stopped (Paused)" : "Stopped";
}

}  // namespace kivo
