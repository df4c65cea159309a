// Screenshots as PNG files (8-bit RGB) through libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo {

// Encodes a width x height picture of 4-byte pixels (blue, green, red, unused) as an RGB PNG.
bool EncodePng(const std::uint8_t* bgrx, int width, int height, std::vector<std::uint8_t>* png,
               std::string* error);

// Encodes and writes the picture to path safely (temporary file, then rename).
bool WritePngFile(const std::string& path, const std::uint8_t* bgrx, int width, int height,
                  std::string* error);

}  // namespace kivo
