// Reading and writing 8-bit PNG files of back-buffer pixels (0xAARRGGBB).
// Pictures without alpha read as opaque.
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
// The same with the pixels' alpha kept (RGBA), for pictures with
// transparent parts.
Status write_png_with_alpha(const std::string& path, const uint32_t* pixels, uint32_t width,
                            uint32_t height);
Result<Image> read_png(const std::string& path);

// Box-filtered reduction by an integer factor (README pictures).
Image downscale(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t factor);

}  // namespace ze
