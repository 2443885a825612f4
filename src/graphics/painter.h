// Draws each frame into the back buffer and presents it, redrawing only
// what changed. Every part of the screen is described by the inputs it is
// drawn from and the rectangle it can touch; the tiles under the parts that
// differ from the previous frame are redrawn, every primitive clipped to
// them, in full-redraw order, and only those tiles are copied to the device.
// The pixels are the same as a full redraw's. The first frame, a change of
// screen and any doubt redraw everything; the FullRedraw mode always does.
// Owned by the main loop; main thread only.
#pragma once

#include <cstdint>

#include "graphics/frame_inputs.h"
#include "graphics/region.h"
#include "graphics/renderer.h"
#include "graphics/screen_parts.h"

namespace ze {

class FramePainter {
 public:
  enum class Mode {
    Incremental,  // redraw the changed tiles only
    FullRedraw,   // redraw and present the whole screen every frame
  };

  explicit FramePainter(Renderer& renderer, Mode mode = Mode::Incremental);

  // Brings the back buffer up to date with `inputs`; returns the tiles
  // that were redrawn (none when nothing changed).
  const TileRegion& draw(const FrameInputs& inputs);
  // Copies the tiles redrawn by the last `draw` to the device.
  void present();
  // The next frame redraws everything (the back buffer was written by
  // someone else).
  void invalidate() { have_previous_ = false; }

 private:
  bool work_out_damage(const FrameInputs& inputs);

  Renderer& renderer_;
  Mode mode_;
  TileRegion changed_;
  ScreenParts previous_;
  ScreenParts current_;
  Screen previous_screen_ = Screen::ChannelList;
  bool have_previous_ = false;
};

}  // namespace ze
