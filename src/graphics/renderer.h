// The drawing layer: primitives and text that write into the Framebuffer's
// back buffer. Every pixel outside the screen is skipped on its own, so
// shapes crossing an edge are cut, never shifted. Colours are 0xAARRGGBB;
// where a primitive blends, the stored alpha is 0xFF. Built once at start-up
// and used by the main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>
#include <string_view>

#include "graphics/backdrop.h"
#include "graphics/font.h"
#include "graphics/framebuffer.h"
#include "graphics/region.h"

namespace ze {

// Source-over with weight `a` (0..255) per colour channel, rounding down:
// (s * a + d * (255 - a)) / 255 for red, green and blue.
inline uint32_t blend(uint32_t dst, uint32_t src, uint32_t a) {
  // The three channels sit in 24-bit slots of one 64-bit word and are
  // worked out together. Each slot's sum x stays below 2^16, so no slot
  // carries into the next, and x / 255 == (x + 1 + (x >> 8)) >> 8 for every
  // such x.
  constexpr uint64_t kLowBytes = 0x00FF0000FF0000FFull;
  constexpr uint64_t kOnes = 0x0001000001000001ull;
  auto spread = [](uint32_t c) {
    return uint64_t{c & 0xFF} | (uint64_t{c & 0xFF00} << 16) | (uint64_t{c & 0xFF0000} << 32);
  };
  uint64_t x = spread(src) * a + spread(dst) * (255 - a);
  uint64_t q = ((x + kOnes + ((x >> 8) & kLowBytes)) >> 8) & kLowBytes;
  return 0xFF000000u | uint32_t(q & 0xFF) | uint32_t((q >> 16) & 0xFF00) |
         uint32_t((q >> 32) & 0xFF0000);
}

class Renderer {
 public:
  // Draws with the embedded font; aborts when it cannot be parsed.
  explicit Renderer(Framebuffer& framebuffer);
  // Draws with the font in `font_data`, which must outlive the Renderer.
  Renderer(Framebuffer& framebuffer, std::span<const uint8_t> font_data);

  int width() const { return static_cast<int>(fb_.width()); }
  int height() const { return static_cast<int>(fb_.height()); }
  Framebuffer& framebuffer() { return fb_; }

  void clear(uint32_t colour);
  // Opaque fill of columns x..x+w-1, rows y..y+h-1.
  void fill_rect(int x, int y, int w, int h, uint32_t colour);
  // Rectangle with corners of radius r; blended when alpha < 0xFF.
  void fill_rounded_rect(int x, int y, int w, int h, int r, uint32_t colour);
  // One-pixel Bresenham line, both end points included.
  void draw_line(int x0, int y0, int x1, int y1, uint32_t colour);
  void fill_circle(int cx, int cy, int r, uint32_t colour);
  // Animated bars standing on y + h (active), or a row of grey dots.
  void draw_level_bars(int x, int y, int w, int h, uint32_t phase, bool active);
  // The rectangle draw_level_bars (x, y, w, h, ...) can touch.
  static Rect level_bars_area(int x, int y, int w, int h);
  // Moves active level bars drawn at `from_phase` over `under` to
  // `to_phase`: only the rows between a bar's old and new top change,
  // darkened if `under` is. The rectangles written are added to `moved`.
  // No clip region may be set.
  void move_level_bars(const Backdrop& under, int x, int y, int w, int h, uint32_t from_phase,
                       uint32_t to_phase, std::vector<Rect>& moved);
  // Puts back the pixels of `under` along the line draw_line (x0, y0, x1,
  // y1) draws, where they lie in its area (darkened if `under` is).
  void restore_line(const Backdrop& under, int x0, int y0, int x1, int y1);
  // UTF-8 text with its line top at y and the pen starting at x.
  void draw_text(std::string_view text, int x, int y, uint32_t colour, float size);
  // Width of the text in whole pixels (sum of unrounded advances).
  uint32_t measure_text(std::string_view text, float size);
  // The unrounded advance of one character.
  float advance(char32_t character, float size);
  // Every pixel's red, green and blue divided by 3, except inside
  // `covered_next`, which the caller paints over opaquely right after.
  void dim_screen(const Rect& covered_next = {});

  // Limits every primitive to the tiles of `region` (null: the whole
  // screen). Pixels inside come out exactly as without the limit, so a
  // region redrawn in full-redraw order matches a full redraw.
  void set_clip(const TileRegion* region) { clip_ = region; }
  // Keeps the backdrops of sprites in `store` while drawing (null: none).
  void set_backdrops(BackdropStore* store) { backdrops_ = store; }
  // The part of the rectangle on the screen.
  Rect on_screen(const Rect& rect) const;

  // Marks what is drawn while it lives as a sprite over `area`: the pixels
  // of the area inside the clip are kept as its backdrop first, and
  // whatever is drawn after it over the area is noted.
  class SpriteScope {
   public:
    SpriteScope(Renderer& renderer, const Rect& area);
    ~SpriteScope();
    SpriteScope(const SpriteScope&) = delete;
    SpriteScope& operator=(const SpriteScope&) = delete;

   private:
    Renderer& renderer_;
    Backdrop* backdrop_ = nullptr;
    bool open_ = false;  // this scope started the sprite (scopes do not nest)
  };
  // Whether drawing into the rectangle can change a pixel (it meets the
  // screen and the clip region). Lets callers skip preparing what would
  // not be drawn.
  bool visible(const Rect& rect) const;
  // The rectangle that `draw_text` (text, x, y, size) can touch, whatever
  // the text: from the pen's left reach to the screen's right edge, over
  // the rows the font's tallest and deepest glyphs reach.
  Rect text_area(int x, int y, float size) const;
  // The same for a text whose pen starts at `x` and that measures `width`.
  Rect text_area(int x, int y, float size, uint32_t width) const;

 private:
  void plot(int x, int y, uint32_t colour);
  // Fills columns [x0, x1) of row y, clipped, storing or blending.
  void span(int64_t x0, int64_t x1, int64_t y, uint32_t colour);
  // Calls f(a, b) for each part [a, b) of columns [x0, x1) of row y that
  // lies on the screen and inside the clip region.
  template <typename F>
  void for_each_run(int64_t y, int64_t x0, int64_t x1, F&& f);
  // Whether drawing into the rectangle can change a pixel inside the clip.
  // Notes the drawing for the sprites' backdrops on the way.
  bool touches_clip(int64_t x, int64_t y, int64_t w, int64_t h) const;
  // Lifts the clip while one primitive draws into a rectangle that the
  // clip covers whole: the same pixels, without looking up the region's
  // runs for every row.
  class ClipLift;
  // For a row loop: true when row `y` holds nothing of the clip region,
  // with `y` moved to the last row of its band of tiles.
  bool skip_row(int64_t& y) const {
    if (clip_ == nullptr || y < 0 || !clip_->runs(y).empty()) return false;
    y = TileRegion::band_end(y) - 1;
    return true;
  }

  // The swings of the first `count` bars at `phase`, shared by every set
  // of bars drawn at that phase.
  const float* bar_swings(uint32_t phase, int count);

  Framebuffer& fb_;
  std::unique_ptr<Font> font_;
  struct SwingCache {
    uint32_t phase = 0;
    std::vector<float> swing;
    uint64_t last_used = 0;
  };
  SwingCache swings_[2];
  uint64_t swing_uses_ = 0;
  const TileRegion* clip_ = nullptr;
  BackdropStore* backdrops_ = nullptr;
  bool in_sprite_ = false;
};

// Divides red, green and blue of each pixel by 3 and makes it opaque.
void dim_pixels(uint32_t* pixels, size_t count);
// The same for one colour.
inline uint32_t dimmed(uint32_t c) {
  uint32_t r = (((c >> 16) & 0xFF) * 171) >> 9;
  uint32_t g = (((c >> 8) & 0xFF) * 171) >> 9;
  uint32_t b = ((c & 0xFF) * 171) >> 9;
  return 0xFF000000u | (r << 16) | (g << 8) | b;
}

}  // namespace ze
