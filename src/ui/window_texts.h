// The main window's texts: its title and its status bar line. Both are computed here, without a
// toolkit, so that the window only shows them.
#pragma once

#include <cstdint>
#include <string>

namespace kivo {

inline constexpr const char* kAppTitle = "KIVO";

// "KIVO - <file name>" (the last component of the path, extension kept) while a ROM is open,
// otherwise "KIVO".
std::string WindowTitle(bool rom_open, const std::string& rom_file_name);

// What the status bar reports: "Running... - Speed = 100% - Refresh Rate = 60 Hz " while the
// machine runs, "Stopped" otherwise, with " (Paused)" while the user has paused it.
struct StatusInputs {
    bool running;
    bool user_pause;
    std::uint32_t perf_speed;
    std::uint32_t perf_fps;
};
std::string StatusText(const StatusInputs& in);

}  // namespace kivo
