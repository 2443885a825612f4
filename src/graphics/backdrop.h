// What lies under the sprites of the screen: the level bars and the meter
// needles, which move on every frame. While a BackdropStore is attached to
// the Renderer, each sprite keeps the pixels of its area as they are just
// before it draws, and the store notes whether anything drawn after the
// sprite touches that area. A sprite whose backdrop is whole and that is
// the last thing drawn over its area can then be moved from one frame to
// the next by putting back the backdrop where it was and drawing it where
// it is now: the same pixels as a redraw, at a fraction of the cost. Under
// a dialog's darkening, which works on each pixel alone, it moves the same
// way with darkened pixels.
// Owned by the FramePainter; main thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/region.h"

namespace ze {

struct Backdrop {
  Rect area;                     // on the screen
  std::vector<uint32_t> pixels;  // area.w x area.h, row-major
  bool complete = false;         // every pixel of the area was kept
  bool overdrawn = false;        // something drawn after the sprite touched it
  bool dimmed = false;           // a dialog darkens the sprite and its backdrop
  uint64_t sealed_pass = 0;      // the drawing pass whose sprite ended last

  uint32_t at(int x, int y) const {
    return pixels[size_t(y - area.y) * size_t(area.w) + size_t(x - area.x)];
  }
};

class BackdropStore {
 public:
  // A drawing pass starts (a full redraw or a clipped one).
  void begin_pass() { ++pass_; }
  // The entry of the sprite whose area is `area` (on the screen), made
  // empty and incomplete when new.
  Backdrop& entry(const Rect& area);
  // The entry for `area`, if any.
  const Backdrop* find(const Rect& area) const;
  // The sprite of `backdrop` has finished drawing in this pass: whatever is
  // drawn after it in the pass over its area makes it overdrawn.
  void seal(Backdrop& backdrop) { backdrop.sealed_pass = pass_; }
  bool sealed_in_this_pass(const Backdrop& backdrop) const { return backdrop.sealed_pass == pass_; }
  // Something outside every sprite draws into `rect`.
  void note_drawing(const Rect& rect);
  // The whole screen but `spared` is darkened, pixel by pixel: a sprite
  // outside `spared` can still move, drawing darkened pixels.
  void note_dimming(const Rect& spared);
  // Drops the entries whose area is not in `areas`.
  void keep_only(const std::vector<Rect>& areas);
  void clear() { entries_.clear(); }

 private:
  std::vector<Backdrop> entries_;
  uint64_t pass_ = 1;
};

}  // namespace ze
