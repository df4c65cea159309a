// Scripted button presses for kivo-run --input: one event per line,
//
//     FRAME BUTTON down|up
//
// FRAME is decimal, BUTTON one of right left up down a b select start. Blank lines and lines
// starting with '#' are skipped. Events keep their file order within a frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo::cli {

struct InputEvent {
    std::uint32_t frame = 0;
    int button = 0;  // joypad key index, KEY_RIGHT .. KEY_START
    bool down = false;
};

// Parses a whole script into events sorted by frame (stable). On a malformed line returns false
// with "line N: reason" in *error (when error is not null).
bool ParseInputScript(const std::string& text, std::vector<InputEvent>* events, std::string* error);

}  // namespace kivo::cli
