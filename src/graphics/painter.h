// Draws each frame into the back buffer and presents it, redrawing only
// what changed. Every part of the screen is described by the inputs it is
// drawn from and the rectangle it can touch; the tiles under the parts that
// differ from the previous frame are redrawn, every primitive clipped to
// them, in full-redraw order, and only those tiles are copied to the device.
// Level bars and meter needles that are the last thing drawn over their
// area are moved over their kept backdrop instead (graphics/backdrop.h),
// and only the pixels they wrote are copied. The pixels are the same as a
// full redraw's. The first frame, a change of screen and any doubt redraw
// everything; the FullRedraw mode always does.
// Owned by the main loop; main thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/backdrop.h"
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
  // that were redrawn (none when nothing changed or only sprites moved).
  const TileRegion& draw(const FrameInputs& inputs);
  // The rectangles the last `draw` wrote outside those tiles by moving
  // sprites.
  const std::vector<Rect>& moved() const { return moved_; }
  // Copies what the last `draw` wrote to the device.
  void present();
  // The next frame redraws everything (the back buffer was written by
  // someone else).
  void invalidate() { have_previous_ = false; }

 private:
  // A sprite to move from one frame to the next.
  struct Move {
    Sprite from;
    Sprite to;
    Rect area;  // its backdrop's
  };

  bool work_out_damage(const FrameInputs& inputs);
  // Whether the part can be brought up to date by moving its sprite over
  // `backdrop`, the one kept for its area.
  static bool can_move(const ScreenPart& before, const ScreenPart& now, const Backdrop* backdrop);
  // Moves that meet redrawn tiles are redrawn with them instead.
  void redraw_moves_meeting_tiles();
  void move_sprites();
  // One drawing pass of the whole frame, limited to `clip` (null: none),
  // keeping the sprites' backdrops.
  void render(const FrameInputs& inputs, const TileRegion* clip);

  Renderer& renderer_;
  Mode mode_;
  TileRegion changed_;
  BackdropStore backdrops_;
  std::vector<Move> moves_;
  std::vector<Rect> moved_;
  ScreenParts previous_;
  ScreenParts current_;
  Screen previous_screen_ = Screen::ChannelList;
  bool have_previous_ = false;
};

}  // namespace ze
