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

}  // namespace kivo
