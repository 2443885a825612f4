#include "graphics/framebuffer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include "base/errors.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"

namespace ze {
namespace {

constexpr uint32_t kInitialPixel = 0xFF0F0F0F;

std::optional<std::string> env_value(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool contains_brick(std::string_view text) {
  return to_lower(text).find("brick") != std::string::npos;
}

// Whole rows of `row_bytes` that fit into `length` bytes at a pitch of
// `stride`, at most `height`.
size_t rows_that_fit(size_t length, size_t row_bytes, size_t stride, size_t height) {
  if (row_bytes > length || stride == 0) return 0;
  size_t rows = (length - row_bytes) / stride + 1;
  return rows < height ? rows : height;
}

void log_simulator_notice(const std::string& reason) {
  logf("[Framebuffer] Notice: Could not open /dev/fb0 ({}). Initializing Desktop Simulator mode.",
       reason);
}

}  // namespace

FramebufferOptions default_framebuffer_options() {
  return {paths::kFramebufferDevice, paths::kDeviceModelFile, env_value(paths::kSimulatorEnv),
          env_value(paths::kDeviceEnv)};
}

bool simulator_forced(const char* value) {
  if (value == nullptr) return false;
  std::string_view text(value);
  if (!is_valid_utf8(text)) return false;
  return text == "1" || to_lower(text) == "true";
}

bool is_brick_model(const std::optional<std::string>& model_file,
                    const std::optional<std::string>& device_env) {
  // A model file that is not UTF-8 text counts as unreadable.
  if (model_file && is_valid_utf8(*model_file)) return contains_brick(trim_space(*model_file));
  if (device_env && is_valid_utf8(*device_env)) return contains_brick(*device_env);
  return false;
}

ScreenSize default_screen_size(bool brick) {
  return brick ? ScreenSize{1024, 768} : ScreenSize{1280, 720};
}

DeviceGeometry device_geometry(const fb_var_screeninfo& var, const fb_fix_screeninfo& fix,
                               ScreenSize defaults) {
  DeviceGeometry geometry;
  geometry.size = defaults;
  if (var.xres != 0 && var.yres != 0) {
    if (var.xres <= kMaxScreenSide && var.yres <= kMaxScreenSide) {
      geometry.size = {var.xres, var.yres};
    } else {
      geometry.size_rejected = true;
    }
  }
  geometry.stride = fix.line_length != 0 ? fix.line_length : geometry.size.width * 4;
  return geometry;
}

namespace {

constexpr size_t kLargePage = size_t{2} << 20;

}  // namespace

void* allocate_pixels(size_t bytes) {
  const size_t whole = (bytes + kLargePage - 1) / kLargePage * kLargePage;
  void* memory = std::aligned_alloc(kLargePage, whole);
  if (memory == nullptr) throw std::bad_alloc();
  // Only advice: without large pages the buffer works the same.
  (void)::madvise(memory, whole, MADV_HUGEPAGE);
  return memory;
}

void free_pixels(void* pixels) noexcept { std::free(pixels); }

Framebuffer::Framebuffer(uint32_t width, uint32_t height) : width_(width), height_(height) {
  size_t count = 0;
  size_t bytes = 0;
  if (__builtin_mul_overflow(size_t{width}, size_t{height}, &count) ||
      __builtin_mul_overflow(count, sizeof(uint32_t), &bytes)) {
    fatal(fmt::format("[Framebuffer] Back buffer size {}x{} overflows", width, height));
  }
  back_.assign(count, kInitialPixel);
  stride_ = width * 4;
}

Framebuffer::Framebuffer(Framebuffer&& other) noexcept
    : back_(std::move(other.back_)),
      width_(other.width_),
      height_(other.height_),
      mapping_(other.mapping_),
      mapping_length_(other.mapping_length_),
      owns_mapping_(other.owns_mapping_),
      stride_(other.stride_),
      rows_presented_(other.rows_presented_),
      fd_(std::move(other.fd_)),
      sink_(other.sink_) {
  other.mapping_ = nullptr;
  other.sink_ = nullptr;
  other.owns_mapping_ = false;
}

Framebuffer::~Framebuffer() {
  if (owns_mapping_ && mapping_ != nullptr) ::munmap(mapping_, mapping_length_);
}

Framebuffer Framebuffer::open() { return open(default_framebuffer_options()); }

Framebuffer Framebuffer::open(const FramebufferOptions& options) {
  auto model = read_file(options.model_file);
  std::optional<std::string> model_text;
  if (model) model_text = std::move(model.value());
  ScreenSize defaults = default_screen_size(is_brick_model(model_text, options.device_env));

  if (simulator_forced(options.simulator_env ? options.simulator_env->c_str() : nullptr)) {
    log_simulator_notice("Forced simulator mode");
    return Framebuffer(defaults.width, defaults.height);
  }

  UniqueFd fd(::open(options.device_path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC));
  if (!fd.valid()) {
    log_simulator_notice(errno_text(errno));
    return Framebuffer(defaults.width, defaults.height);
  }

  fb_var_screeninfo var;
  fb_fix_screeninfo fix;
  std::memset(&var, 0, sizeof var);
  std::memset(&fix, 0, sizeof fix);
  if (::ioctl(fd.get(), FBIOGET_VSCREENINFO, &var) != 0) std::memset(&var, 0, sizeof var);
  if (::ioctl(fd.get(), FBIOGET_FSCREENINFO, &fix) != 0) std::memset(&fix, 0, sizeof fix);
  if (var.xoffset != 0 || var.yoffset != 0) {
    // The visible area must start at the beginning of video memory, where
    // every frame is copied.
    var.xoffset = 0;
    var.yoffset = 0;
    ::ioctl(fd.get(), FBIOPAN_DISPLAY, &var);
  }

  DeviceGeometry geometry = device_geometry(var, fix, defaults);
  if (geometry.size_rejected) {
    logf("[Framebuffer] Warning: /dev/fb0 reports an impossible size {}x{}. Using {}x{}.",
         var.xres, var.yres, defaults.width, defaults.height);
  }
  Framebuffer fb(geometry.size.width, geometry.size.height);

  size_t length = fix.smem_len;
  void* mapping = length == 0 ? MAP_FAILED
                              : ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED,
                                       fd.get(), 0);
  if (mapping == MAP_FAILED || mapping == nullptr) {
    log_line("[Framebuffer] Warning: mmap /dev/fb0 failed. Running in emulator mode.");
    return fb;
  }
  fb.mapping_ = static_cast<uint8_t*>(mapping);
  fb.mapping_length_ = length;
  fb.owns_mapping_ = true;
  fb.stride_ = geometry.stride;
  fb.fd_ = std::move(fd);
  fb.rows_presented_ =
      rows_that_fit(length, size_t{fb.width_} * 4, fb.stride_, fb.height_);
  logf("[Framebuffer] Mapped /dev/fb0: {}x{} stride: {} bytes", fb.width_, fb.height_,
       fb.stride_);
  if (fb.rows_presented_ < fb.height_) {
    logf("[Framebuffer] Warning: video memory of {} bytes holds only {} of {} rows.", length,
         fb.rows_presented_, fb.height_);
  }
  return fb;
}

Framebuffer Framebuffer::simulated(uint32_t width, uint32_t height) {
  return Framebuffer(width, height);
}

Framebuffer Framebuffer::with_memory(uint32_t width, uint32_t height, uint32_t stride,
                                     std::span<uint8_t> memory) {
  Framebuffer fb(width, height);
  fb.mapping_ = memory.data();
  fb.mapping_length_ = memory.size();
  fb.stride_ = stride;
  fb.rows_presented_ = rows_that_fit(memory.size(), size_t{width} * 4, stride, height);
  return fb;
}

void Framebuffer::present() {
  if (sink_ != nullptr) {
    // Every pixel may have changed: the whole frame.
    const Rect whole{0, 0, int(width_), int(height_)};
    sink_->show(back_.data(), width_, height_, {&whole, 1});
  }
  if (mapping_ == nullptr) return;
  size_t row_bytes = size_t{width_} * 4;
  if (stride_ == row_bytes) {
    std::memcpy(mapping_, back_.data(), rows_presented_ * row_bytes);
    return;
  }
  const uint32_t* row = back_.data();
  for (size_t y = 0; y < rows_presented_; ++y, row += width_) {
    std::memcpy(mapping_ + y * stride_, row, row_bytes);
  }
}

namespace {

// The changed region as rectangles for the window: rows whose runs continue
// the rectangles of the row above extend them.
std::vector<Rect> changed_rects(const TileRegion& changed, uint32_t height) {
  std::vector<Rect> rects;
  std::vector<size_t> open;  // rectangles that reach the row above
  std::vector<size_t> next;
  for (uint32_t y = 0; y < height; ++y) {
    next.clear();
    for (const Run& run : changed.runs(y)) {
      const int width = run.x1 - run.x0;
      size_t index = rects.size();
      for (size_t o : open) {
        if (rects[o].x == run.x0 && rects[o].w == width) index = o;
      }
      if (index == rects.size()) {
        rects.push_back(Rect{run.x0, int(y), width, 1});
      } else {
        ++rects[index].h;
      }
      next.push_back(index);
    }
    open.swap(next);
  }
  return rects;
}

}  // namespace

void Framebuffer::present(const TileRegion& changed, std::span<const Rect> also) {
  if (changed.full() || changed.width() != width_ || changed.height() != height_) {
    present();
    return;
  }
  if (sink_ != nullptr) {
    std::vector<Rect> rects = changed_rects(changed, height_);
    rects.insert(rects.end(), also.begin(), also.end());
    // With nothing changed the window still redraws itself when it was
    // resized or uncovered.
    sink_->show(back_.data(), width_, height_, rects);
  }
  if (mapping_ == nullptr) return;
  auto copy = [&](size_t y, int64_t x0, int64_t x1) {
    std::memcpy(mapping_ + y * stride_ + size_t(x0) * 4, back_.data() + y * width_ + x0,
                size_t(x1 - x0) * 4);
  };
  if (!changed.empty()) {
    for (size_t y = 0; y < rows_presented_; ++y) {
      for (const Run& run : changed.runs(int64_t(y))) copy(y, run.x0, run.x1);
    }
  }
  for (const Rect& rect : also) {
    Rect shown = intersection(rect, Rect{0, 0, int(width_), int(rows_presented_)});
    for (int y = shown.y; y < shown.y + shown.h; ++y) {
      copy(size_t(y), shown.x, int64_t{shown.x} + shown.w);
    }
  }
}

}  // namespace ze
