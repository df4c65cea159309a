#include "host/dest_rect.h"

#include <algorithm>

namespace kivo {

Rect ComputeDestRect(const Rect& client, std::int32_t status_bar_height,
                     std::uint32_t screen_size) {
    const std::int32_t bottom = client.bottom - status_bar_height;
    if (screen_size == 0) return {client.left, client.top, client.right, bottom};
    const std::int32_t k = static_cast<std::int32_t>(std::min<std::uint32_t>(screen_size, 4));
    const std::int32_t width = 160 * k;
    const std::int32_t height = 144 * k;
    const std::int32_t centre_x = (client.left + client.right) / 2;
    const std::int32_t centre_y = (client.top + bottom) / 2;
    const std::int32_t left = centre_x - width / 2;
    const std::int32_t top = centre_y - height / 2;
    return {left, top, left + width, top + height};
}

Rect ComputeFullScreenRect(const Rect& client) {
    const std::int32_t w = client.right - client.left;
    const std::int32_t h = client.bottom - client.top;
    // Whichever side limits: 160 / 144 = 10 / 9.
    const std::int32_t width = std::min(w, h * 10 / 9);
    const std::int32_t height = width * 9 / 10;
    const std::int32_t left = client.left + (w - width) / 2;
    const std::int32_t top = client.top + (h - height) / 2;
    return {left, top, left + width, top + height};
}

}  // namespace kivo
