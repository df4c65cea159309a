// Where the picture goes in the main window's client area.
#pragma once

#include <cstdint>

namespace kivo {

// Left, top, right, bottom; right and bottom exclusive.
struct Rect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
    bool operator==(const Rect&) const = default;
};

// Screen size 0 fills the client area above the status bar; 1 to 4 give a picture of 160k x 144k
// pixels centred there, clipped by the window when it is smaller. A size from a hand-edited INI
// beyond 4 is taken as 4. Integer arithmetic, division truncating towards zero.
Rect ComputeDestRect(const Rect& client, std::int32_t status_bar_height, std::uint32_t screen_size);

// Full screen: the largest 160:144 picture the client area holds, centred in it.
Rect ComputeFullScreenRect(const Rect& client);

}  // namespace kivo
