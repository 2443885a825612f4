// A second place that shows the screen beside the device: `present` hands it
// the back buffer and the rectangles that may have changed since the frame
// before. Called on the main thread only, once per `present`.
#pragma once

#include <cstdint>
#include <span>

namespace ze {

// A rectangle of back-buffer pixels, inside the screen.
struct PixelRect {
  uint32_t x = 0;
  uint32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const PixelRect&) const = default;
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // `pixels` is the back buffer (row-major, `width` pixels a row, no gaps);
  // only the pixels inside `changed` differ from the last call.
  virtual void show(const uint32_t* pixels, uint32_t width, uint32_t height,
                    std::span<const PixelRect> changed) = 0;
};

}  // namespace ze
