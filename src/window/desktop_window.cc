#include "window/desktop_window.h"

#include <algorithm>
#include <string_view>

namespace ze {
namespace {

bool set(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

bool wants_desktop_window(bool simulator, const char* wayland_display, const char* display,
                          const char* window_env) {
  if (!simulator) return false;
  if (window_env != nullptr && std::string_view(window_env) == "0") return false;
  return set(wayland_display) || set(display);
}

ViewRect fit_screen(uint32_t width, uint32_t height, int area_width, int area_height) {
  if (width == 0 || height == 0 || area_width <= 0 || area_height <= 0) return {};
  const int64_t w = width, h = height, aw = area_width, ah = area_height;
  int64_t scale = std::min(aw / w, ah / h);
  int64_t out_w = w * scale, out_h = h * scale;
  if (scale == 0) {
    // Smaller than the screen: shrink to the aspect-keeping fit.
    if (aw * h <= ah * w) {
      out_w = aw;
      out_h = std::max<int64_t>(1, aw * h / w);
    } else {
      out_h = ah;
      out_w = std::max<int64_t>(1, ah * w / h);
    }
  }
  return {static_cast<int>((aw - out_w) / 2), static_cast<int>((ah - out_h) / 2),
          static_cast<int>(out_w), static_cast<int>(out_h)};
}

void KeyRepeat::press(int32_t key, Instant now) {
  held_ = key;
  next_ = now + kDelay;
}

void KeyRepeat::release(int32_t key) {
  if (held_ == key) held_.reset();
}

std::optional<int32_t> KeyRepeat::due(Instant now) {
  if (!held_ || now < next_) return std::nullopt;
  next_ += kPeriod;
  if (next_ <= now) next_ = now + kPeriod;  // the frame was late: no burst
  return held_;
}

}  // namespace ze
