// The screen: a back buffer of 32-bit pixels (0xAARRGGBB, little-endian in
// memory) that all drawing writes into, and the memory-mapped Linux
// framebuffer device that `present` copies it to once per frame. When the
// device is not to be used, cannot be opened or cannot be mapped, the
// Framebuffer runs in simulator mode: drawing is the same, `present` copies
// nothing. Owned and used by the main thread only; lives for the whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <linux/fb.h>

#include "base/files.h"
#include "graphics/frame_sink.h"
#include "graphics/region.h"

namespace ze {

// Memory for the back buffer: whole 2 MB pages where the kernel can give
// them, so that drawing a few pixels in each of many rows does not miss
// the address cache once a row.
void* allocate_pixels(size_t bytes);
void free_pixels(void* pixels) noexcept;

template <typename T>
struct PixelAllocator {
  using value_type = T;
  PixelAllocator() = default;
  template <typename U>
  PixelAllocator(const PixelAllocator<U>&) {}
  T* allocate(size_t count) {
    if (count > SIZE_MAX / sizeof(T) / 2) throw std::bad_alloc();
    return static_cast<T*>(allocate_pixels(count * sizeof(T)));
  }
  void deallocate(T* pixels, size_t) noexcept { free_pixels(pixels); }
  template <typename U>
  bool operator==(const PixelAllocator<U>&) const { return true; }
};

// Where `Framebuffer::open` looks. The defaults are the console's fixed
// paths; the environment values are taken by the caller (null = unset).
struct FramebufferOptions {
  std::string device_path;
  std::string model_file;
  std::optional<std::string> simulator_env;  // value of TRIMUI_SIMULATOR
  std::optional<std::string> device_env;     // value of TRIMUI_DEVICE
};

// The real options: fixed paths and the process environment.
FramebufferOptions default_framebuffer_options();

// Whether a TRIMUI_SIMULATOR value forces simulator mode: "1", or "true" in
// any letter case. Null (unset) and invalid UTF-8 do not.
bool simulator_forced(const char* value);

// Whether the device model is the brick model: decided by the model file's
// content when `model_file` holds it (read succeeded) as UTF-8 text, else by
// `device_env`.
bool is_brick_model(const std::optional<std::string>& model_file,
                    const std::optional<std::string>& device_env);

struct ScreenSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const ScreenSize&) const = default;
};

// 1024 x 768 on the brick model, 1280 x 720 on every other.
ScreenSize default_screen_size(bool brick);

// Size and row length to use for a device, from its reported screen
// information and the model's default size.
struct DeviceGeometry {
  ScreenSize size;
  uint32_t stride = 0;          // bytes per device row
  bool size_rejected = false;   // the reported size was unusable
};
DeviceGeometry device_geometry(const fb_var_screeninfo& var, const fb_fix_screeninfo& fix,
                               ScreenSize defaults);

// The largest width and height taken from a device; anything larger is
// treated as a bogus report.
inline constexpr uint32_t kMaxScreenSide = 16384;

class Framebuffer {
 public:
  // Opens the console's framebuffer as configured by the environment.
  static Framebuffer open();
  static Framebuffer open(const FramebufferOptions& options);
  // A simulator-mode framebuffer of the given size (tools and tests).
  static Framebuffer simulated(uint32_t width, uint32_t height);
  // A framebuffer that presents into caller-owned memory standing in for
  // the device mapping (tests and benchmarks). The memory must outlive it.
  static Framebuffer with_memory(uint32_t width, uint32_t height, uint32_t stride,
                                 std::span<uint8_t> memory);

  Framebuffer(Framebuffer&&) noexcept;
  Framebuffer& operator=(Framebuffer&&) = delete;
  Framebuffer(const Framebuffer&) = delete;
  ~Framebuffer();

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t stride() const { return stride_; }
  bool simulator() const { return mapping_ == nullptr; }

  // The back buffer, row-major without gaps: pixel (x, y) is
  // pixels()[y * width() + x].
  uint32_t* pixels() { return back_.data(); }
  const uint32_t* pixels() const { return back_.data(); }
  uint32_t pixel(uint32_t x, uint32_t y) const { return back_[size_t{y} * width_ + x]; }

  // Copies the back buffer to the device; only whole rows that lie inside
  // the mapping are copied. Does nothing in simulator mode. An attached
  // sink is handed the back buffer first.
  void present();
  // Copies only the tiles of `changed` (a region of this screen's size)
  // and the rectangles `also`; the rest keeps what the device shows.
  void present(const TileRegion& changed, std::span<const Rect> also = {});

  // Attaches a second display (the desktop window) that every `present`
  // shows the frame in; null detaches. The sink must outlive its attachment.
  void attach_sink(FrameSink* sink) { sink_ = sink; }

 private:
  Framebuffer(uint32_t width, uint32_t height);

  std::vector<uint32_t, PixelAllocator<uint32_t>> back_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint8_t* mapping_ = nullptr;
  size_t mapping_length_ = 0;
  bool owns_mapping_ = false;
  uint32_t stride_ = 0;
  size_t rows_presented_ = 0;  // rows of the back buffer that fit the mapping
  UniqueFd fd_;
  FrameSink* sink_ = nullptr;
};

}  // namespace ze
