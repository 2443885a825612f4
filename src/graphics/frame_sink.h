// A second place that shows the screen beside the device: `present` hands it
// the back buffer and the rectangles that may have changed since the frame
// before. Called on the main thread only, once per `present`.
#pragma once

#include <cstdint>
#include <span>

#include "graphics/region.h"

namespace ze {

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // `pixels` is the back buffer (row-major, `width` pixels a row, no gaps);
  // only the pixels inside `changed` differ from the last call.
  virtual void show(const uint32_t* pixels, uint32_t width, uint32_t height,
                    std::span<const Rect> changed) = 0;
};

}  // namespace ze
