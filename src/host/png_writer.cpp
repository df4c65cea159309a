#include "host/png_writer.h"

#include <png.h>

#include <cstring>

#include "common/safe_file.h"

namespace kivo {

bool EncodePng(const std::uint8_t* bgrx, int width, int height, std::vector<std::uint8_t>* png,
               std::string* error) {
    if (width <= 0 || height <= 0) {
        if (error) *error = "empty picture";
        return false;
    }
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<std::uint8_t> rgb(pixels * 3);
    for (std::size_t i = 0; i < pixels; ++i) {
        rgb[i * 3 + 0] = bgrx[i * 4 + 2];
        rgb[i * 3 + 1] = bgrx[i * 4 + 1];
        rgb[i * 3 + 2] = bgrx[i * 4 + 0];
    }

    // libpng's simplified interface: no setjmp, errors come back as a message in the image.
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr)) {
        if (error) *error = std::string("PNG encoding failed: ") + image.message;
        png_image_free(&image);
        return false;
    }
    png->resize(size);
    if (!png_image_write_to_memory(&image, png->data(), &size, 0, rgb.data(), 0, nullptr)) {
        if (error) *error = std::string("PNG encoding failed: ") + image.message;
        png_image_free(&image);
        png->clear();
        return false;
    }
    png->resize(size);
    return true;
}

bool WritePngFile(const std::string& path, const std::uint8_t* bgrx, int width, int height,
                  std::string* error) {
    std::vector<std::uint8_t> png;
    if (!EncodePng(bgrx, width, height, &png, error)) {
        if (error) *error = path + ": " + *error;
        return false;
    }
    return WriteFileSafely(path, png.data(), png.size(), error);
}

}  // namespace kivo
