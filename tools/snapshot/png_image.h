// Reading and writing 8-bit RGB PNG files of back-buffer pixels
// (0xAARRGGBB; alpha is dropped on writing and set to 0xFF on reading).
// Used by the developer tools and the picture tests, never by the player.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"

namespace ze {

struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint32_t> pixels;  // row-major, width * height
};

Status write_png(const std::string& path, const uint32_t* pixels, uint32_t width,
                 uint32_t height);
Result<Image> read_png(const std::string& path);

// Box-filtered reduction by an integer factor (README pictures).
Image downscale(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t factor);

}  // namespace ze
