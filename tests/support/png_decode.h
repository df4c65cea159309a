// Decoding PNG files, to check the screenshots the runner writes.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kivo::test {

// Decodes a PNG held in memory into 3-byte RGB pixels (any PNG libpng reads).
inline bool DecodePng(const std::vector<std::uint8_t>& png, int* width, int* height,
                      std::vector<std::uint8_t>* rgb, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
        if (error) *error = std::string("not a PNG: ") + image.message;
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    rgb->resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr)) {
        if (error) *error = std::string("PNG decoding failed: ") + image.message;
        png_image_free(&image);
        rgb->clear();
        return false;
    }
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return true;
}

}  // namespace kivo::test
