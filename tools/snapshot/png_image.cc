#include "tools/snapshot/png_image.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <memory>

#include <png.h>

#include "base/errors.h"

namespace ze {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

Status write_any(const std::string& path, const uint32_t* pixels, uint32_t width,
                 uint32_t height, bool alpha) {
  File file(std::fopen(path.c_str(), "wbe"));
  if (!file) return Error{"cannot create " + path + ": " + errno_text(errno)};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return Error{"cannot set up PNG writing for " + path};
  }
  const size_t channels = alpha ? 4 : 3;
  std::vector<uint8_t> row(size_t(width) * channels);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return Error{"cannot write PNG " + path};
  }
  png_init_io(png, file.get());
  png_set_compression_level(png, 9);
  png_set_IHDR(png, info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t* src = pixels + size_t(y) * width;
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* out = row.data() + x * channels;
      out[0] = uint8_t(src[x] >> 16);
      out[1] = uint8_t(src[x] >> 8);
      out[2] = uint8_t(src[x]);
      if (alpha) out[3] = uint8_t(src[x] >> 24);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0) return Error{"cannot write " + path + ": " + errno_text(errno)};
  return ok_status();
}

}  // namespace

Status write_png(const std::string& path, const uint32_t* pixels, uint32_t width,
                 uint32_t height) {
  return write_any(path, pixels, width, height, false);
}

Status write_png_with_alpha(const std::string& path, const uint32_t* pixels, uint32_t width,
                            uint32_t height) {
  return write_any(path, pixels, width, height, true);
}

Result<Image> read_png(const std::string& path) {
  File file(std::fopen(path.c_str(), "rbe"));
  if (!file) return Error{"cannot open " + path + ": " + errno_text(errno)};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return Error{"cannot set up PNG reading for " + path};
  }
  Image image;
  std::vector<uint8_t> row;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return Error{"cannot read PNG " + path};
  }
  png_init_io(png, file.get());
  png_read_info(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);  // opaque when the file has no alpha
  png_read_update_info(png, info);
  image.width = png_get_image_width(png, info);
  image.height = png_get_image_height(png, info);
  image.pixels.resize(size_t(image.width) * image.height);
  row.resize(png_get_rowbytes(png, info));
  for (uint32_t y = 0; y < image.height; ++y) {
    png_read_row(png, row.data(), nullptr);
    uint32_t* dst = image.pixels.data() + size_t(y) * image.width;
    for (uint32_t x = 0; x < image.width; ++x) {
      const uint8_t* in = row.data() + size_t(x) * 4;
      dst[x] = (uint32_t(in[3]) << 24) | (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | in[2];
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return image;
}

Image downscale(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t factor) {
  Image out;
  if (factor == 0) factor = 1;
  out.width = width / factor;
  out.height = height / factor;
  out.pixels.resize(size_t(out.width) * out.height);
  const uint32_t area = factor * factor;
  for (uint32_t y = 0; y < out.height; ++y) {
    for (uint32_t x = 0; x < out.width; ++x) {
      uint32_t sum[3] = {0, 0, 0};
      for (uint32_t dy = 0; dy < factor; ++dy) {
        const uint32_t* src = pixels + size_t(y * factor + dy) * width + size_t(x) * factor;
        for (uint32_t dx = 0; dx < factor; ++dx) {
          sum[0] += (src[dx] >> 16) & 0xFF;
          sum[1] += (src[dx] >> 8) & 0xFF;
          sum[2] += src[dx] & 0xFF;
        }
      }
      out.pixels[size_t(y) * out.width + x] = 0xFF000000u | ((sum[0] / area) << 16) |
                                              ((sum[1] / area) << 8) | (sum[2] / area);
    }
  }
  return out;
}

}  // namespace ze
