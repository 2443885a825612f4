#include "graphics/renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/log.h"
#include "base/text.h"

namespace ze {
namespace {

// Largest m >= 0 with m * m <= value (value >= 0).
int64_t isqrt(int64_t value) {
  auto m = static_cast<int64_t>(std::sqrt(static_cast<double>(value)));
  while (m * m > value) --m;
  while ((m + 1) * (m + 1) <= value) ++m;
  return m;
}

std::unique_ptr<Font> load_font(std::span<const uint8_t> data) {
  auto font = Font::load(data);
  if (!font) fatal("Failed to load embedded font: " + font.error());
  return std::move(font.value());
}

Rect clamp_rect(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  auto fit = [](int64_t v) { return std::clamp<int64_t>(v, INT32_MIN / 2, INT32_MAX / 2); };
  x0 = fit(x0), y0 = fit(y0), x1 = fit(x1), y1 = fit(y1);
  return {int(x0), int(y0), int(std::max<int64_t>(x1 - x0, 0)), int(std::max<int64_t>(y1 - y0, 0))};
}

}  // namespace

Renderer::Renderer(Framebuffer& framebuffer) : Renderer(framebuffer, embedded_font()) {}

Renderer::Renderer(Framebuffer& framebuffer, std::span<const uint8_t> font_data)
    : fb_(framebuffer), font_(load_font(font_data)) {}

template <typename F>
void Renderer::for_each_run(int64_t y, int64_t x0, int64_t x1, F&& f) {
  if (y < 0 || y >= height()) return;
  x0 = std::max<int64_t>(x0, 0);
  x1 = std::min<int64_t>(x1, width());
  if (x0 >= x1) return;
  if (clip_ == nullptr) {
    f(x0, x1);
    return;
  }
  for (const Run& run : clip_->runs(y)) {
    int64_t a = std::max<int64_t>(x0, run.x0);
    int64_t b = std::min<int64_t>(x1, run.x1);
    if (a < b) f(a, b);
  }
}

bool Renderer::touches_clip(int64_t x, int64_t y, int64_t w, int64_t h) const {
  if (w <= 0 || h <= 0) return clip_ == nullptr;
  const Rect rect = clamp_rect(x, y, x + w, y + h);
  if (backdrops_ != nullptr && !in_sprite_) backdrops_->note_drawing(rect);
  return clip_ == nullptr || clip_->intersects(rect);
}

Rect Renderer::on_screen(const Rect& rect) const {
  return intersection(rect, Rect{0, 0, width(), height()});
}

Renderer::SpriteScope::SpriteScope(Renderer& renderer, const Rect& area) : renderer_(renderer) {
  if (renderer.backdrops_ == nullptr || renderer.in_sprite_) return;
  Rect shown = renderer.on_screen(area);
  renderer.in_sprite_ = true;
  open_ = true;
  if (shown.empty()) return;
  Backdrop& backdrop = renderer.backdrops_->entry(shown);
  backdrop_ = &backdrop;
  // A second sprite over the same area would draw over the first.
  const bool shared = renderer.backdrops_->sealed_in_this_pass(backdrop);
  const TileRegion* clip = renderer.clip_;
  const uint32_t* pixels = renderer.fb_.pixels();
  const size_t stride = renderer.fb_.width();
  for (int y = shown.y; y < shown.y + shown.h; ++y) {
    uint32_t* kept = backdrop.pixels.data() + size_t(y - shown.y) * size_t(shown.w);
    renderer.for_each_run(y, shown.x, int64_t{shown.x} + shown.w, [&](int64_t a, int64_t b) {
      std::memcpy(kept + (a - shown.x), pixels + size_t(y) * stride + size_t(a),
                  size_t(b - a) * 4);
    });
  }
  // Kept whole: from now on the backdrop is known, and so is whether
  // anything drawn later covers part of the sprite.
  if (clip == nullptr || clip->covers(shown)) {
    backdrop.complete = true;
    backdrop.overdrawn = false;
    backdrop.dimmed = false;
  }
  if (shared) backdrop.overdrawn = true;
}

Renderer::SpriteScope::~SpriteScope() {
  if (!open_) return;
  renderer_.in_sprite_ = false;
  if (backdrop_ != nullptr) renderer_.backdrops_->seal(*backdrop_);
}

bool Renderer::visible(const Rect& rect) const {
  if (clip_ != nullptr) return clip_->intersects(rect);
  return !rect.empty() && rect.x < width() && rect.y < height() &&
         int64_t{rect.x} + rect.w > 0 && int64_t{rect.y} + rect.h > 0;
}

class Renderer::ClipLift {
 public:
  ClipLift(Renderer& renderer, int64_t x, int64_t y, int64_t w, int64_t h)
      : renderer_(renderer), saved_(renderer.clip_) {
    if (saved_ != nullptr && w > 0 && h > 0 && saved_->covers(clamp_rect(x, y, x + w, y + h))) {
      renderer_.clip_ = nullptr;
    }
  }
  ~ClipLift() { renderer_.clip_ = saved_; }
  ClipLift(const ClipLift&) = delete;
  ClipLift& operator=(const ClipLift&) = delete;

 private:
  Renderer& renderer_;
  const TileRegion* saved_;
};

void Renderer::plot(int x, int y, uint32_t colour) {
  uint32_t alpha = colour >> 24;
  if (alpha == 0) return;
  for_each_run(y, x, int64_t{x} + 1, [&](int64_t, int64_t) {
    uint32_t& pixel = fb_.pixels()[size_t(y) * fb_.width() + size_t(x)];
    pixel = alpha == 0xFF ? colour : blend(pixel, colour, alpha);
  });
}

void Renderer::span(int64_t x0, int64_t x1, int64_t y, uint32_t colour) {
  uint32_t alpha = colour >> 24;
  if (alpha == 0) return;
  uint32_t* row = fb_.pixels() + size_t(std::max<int64_t>(y, 0)) * fb_.width();
  for_each_run(y, x0, x1, [&](int64_t a, int64_t b) {
    if (alpha == 0xFF) {
      std::fill(row + a, row + b, colour);
    } else {
      for (int64_t x = a; x < b; ++x) row[x] = blend(row[x], colour, alpha);
    }
  });
}

void Renderer::clear(uint32_t colour) {
  if (backdrops_ != nullptr && !in_sprite_) backdrops_->note_drawing({0, 0, width(), height()});
  if (clip_ == nullptr) {
    std::fill(fb_.pixels(), fb_.pixels() + size_t(fb_.width()) * fb_.height(), colour);
    return;
  }
  for (int64_t row = 0; row < height(); ++row) {
    if (skip_row(row)) continue;
    uint32_t* line = fb_.pixels() + size_t(row) * fb_.width();
    for_each_run(row, 0, width(), [&](int64_t a, int64_t b) {
      std::fill(line + a, line + b, colour);
    });
  }
}

void Renderer::fill_rect(int x, int y, int w, int h, uint32_t colour) {
  int64_t top = std::max<int64_t>(y, 0);
  int64_t bottom = std::min<int64_t>(int64_t{y} + h, height());
  if (!touches_clip(x, y, w, h)) return;
  ClipLift lift(*this, x, y, w, h);
  for (int64_t row = top; row < bottom; ++row) {
    if (skip_row(row)) continue;
    uint32_t* line = fb_.pixels() + size_t(row) * fb_.width();
    for_each_run(row, x, int64_t{x} + w, [&](int64_t a, int64_t b) {
      std::fill(line + a, line + b, colour);
    });
  }
}

void Renderer::fill_rounded_rect(int x, int y, int w, int h, int r, uint32_t colour) {
  if (w <= 0) return;
  const int64_t X = x, Y = y, W = w, H = h, R = r;
  int64_t first = std::max<int64_t>(Y, 0);
  int64_t last = std::min<int64_t>(Y + H, height());
  if (!touches_clip(X, Y, W, H)) return;
  ClipLift lift(*this, X, Y, W, H);
  for (int64_t i = first; i < last; ++i) {
    if (skip_row(i)) continue;
    int64_t dy = i < Y + R ? Y + R - i : (i < Y + H - R ? 0 : i - (Y + H - R) + 1);
    int64_t room = R * R - dy * dy;
    if (room < 0) continue;
    // Columns of the row whose corner distance dx satisfies dx <= m: the
    // left corner (dx = X + R - j), the middle (dx = 0) and the right corner
    // (dx = j - (X + W - R) + 1), filled as one span where they meet.
    int64_t m = dy == 0 && R >= 0 ? R : isqrt(room);
    int64_t end = X + W;
    const int64_t parts[3][2] = {
        {std::max(X, X + R - m), std::min(X + R, end)},
        {std::max(X, X + R), std::min(end, X + W - R)},
        {std::max({X, X + R, X + W - R}), std::min(end, X + W - R + m)}};
    int64_t from = 0, to = 0;
    bool open = false;
    for (const auto& part : parts) {
      if (part[0] >= part[1]) continue;
      if (open && part[0] == to) {
        to = part[1];
        continue;
      }
      if (open) span(from, to, i, colour);
      from = part[0];
      to = part[1];
      open = true;
    }
    if (open) span(from, to, i, colour);
  }
}

namespace {

// Calls f(x, y) for every point of the Bresenham line, both ends included.
template <typename F>
void for_each_line_point(int x0, int y0, int x1, int y1, F&& f) {
  int64_t dx = std::abs(int64_t{x1} - x0);
  int64_t dy = -std::abs(int64_t{y1} - y0);
  int sx = x0 < x1 ? 1 : -1;
  int sy = y0 < y1 ? 1 : -1;
  int64_t err = dx + dy;
  int x = x0, y = y0;
  while (true) {
    f(x, y);
    if (x == x1 && y == y1) break;
    int64_t e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
}

}  // namespace

void Renderer::draw_line(int x0, int y0, int x1, int y1, uint32_t colour) {
  if (!touches_clip(std::min(x0, x1), std::min(y0, y1), std::abs(int64_t{x1} - x0) + 1,
                    std::abs(int64_t{y1} - y0) + 1)) {
    return;
  }
  ClipLift lift(*this, std::min(x0, x1), std::min(y0, y1), std::abs(int64_t{x1} - x0) + 1,
                std::abs(int64_t{y1} - y0) + 1);
  for_each_line_point(x0, y0, x1, y1, [&](int x, int y) { plot(x, y, colour); });
}

void Renderer::restore_line(const Backdrop& under, int x0, int y0, int x1, int y1) {
  const Rect& a = under.area;
  for_each_line_point(x0, y0, x1, y1, [&](int x, int y) {
    if (x >= a.x && x < a.x + a.w && y >= a.y && y < a.y + a.h) {
      uint32_t kept = under.at(x, y);
      fb_.pixels()[size_t(y) * fb_.width() + size_t(x)] = under.dimmed ? dimmed(kept) : kept;
    }
  });
}

void Renderer::fill_circle(int cx, int cy, int r, uint32_t colour) {
  const int64_t CX = cx, CY = cy, R = r;
  if (!touches_clip(CX - R, CY - R, 2 * R + 1, 2 * R + 1)) return;
  ClipLift lift(*this, CX - R, CY - R, 2 * R + 1, 2 * R + 1);
  for (int64_t row = CY - R; row <= CY + R; ++row) {
    int64_t dy = row - CY;
    int64_t room = R * R - dy * dy;
    if (room < 0 || row < 0 || row >= height()) continue;
    int64_t m = std::min(isqrt(room), R);
    // Opaque store whatever the alpha, as the disc never blends.
    uint32_t* line = fb_.pixels() + size_t(row) * fb_.width();
    for_each_run(row, CX - m, CX + m + 1, [&](int64_t a, int64_t b) {
      std::fill(line + a, line + b, colour);
    });
  }
}

namespace {

struct LevelBar {
  int height;
  uint32_t colour;
};

// The swing (0 to 1) of the i-th bar at `phase`: the same for every set of
// bars on the screen.
float bar_swing(int i, uint32_t phase) {
  float g = static_cast<float>(phase) * 0.15f + static_cast<float>(i) * 0.8f;
  return std::fabs(std::cos(g * 1.7f) * 0.3f + (std::sin(g) * 0.5f + 0.5f) * 0.7f);
}

// The i-th of `count` active bars swinging by `v`, from 3 to h pixels high.
LevelBar level_bar(int i, int count, float v, int h) {
  int bar = static_cast<int>(v * static_cast<float>(h));
  bar = std::min(std::max(bar, 3), h);
  float f = static_cast<float>(i) / static_cast<float>(count);
  return {bar, f < 0.4f ? 0xFF10B981 : (f < 0.75f ? 0xFF06B6D4 : 0xFFE11D48)};
}

int level_bar_count(int w) { return std::max(w / 5, 4); }

}  // namespace

void Renderer::draw_level_bars(int x, int y, int w, int h, uint32_t phase, bool active) {
  // The bars move on every frame and nothing is drawn over them: a sprite.
  const Rect area = level_bars_area(x, y, w, h);
  SpriteScope sprite(*this, area);
  if (!visible(area)) return;
  int count = level_bar_count(w);
  int bottom = y + h;
  // A 3-wide bar with corners of radius 1: one pixel on top and at the
  // bottom, three between; the pixels fill_rounded_rect gives, without its
  // per-row corner arithmetic.
  auto bar_at = [&](int i, int height, uint32_t colour) {
    if (height <= 0) return;
    const int bx = x + 5 * i, top = bottom - height;
    if (!touches_clip(bx, top, 3, height)) return;
    ClipLift lift(*this, bx, top, 3, height);
    fill_rect(bx + 1, top, 1, 1, colour);
    fill_rect(bx, top + 1, 3, height - 2, colour);
    fill_rect(bx + 1, bottom - 1, 1, 1, colour);
  };
  if (!active) {
    for (int i = 0; i < count; ++i) bar_at(i, 3, 0xFF475569);
    return;
  }
  const float* swing = bar_swings(phase, count);
  for (int i = 0; i < count; ++i) {
    LevelBar bar = level_bar(i, count, swing[i], h);
    bar_at(i, bar.height, bar.colour);
  }
}

const float* Renderer::bar_swings(uint32_t phase, int count) {
  // Two phases are kept, as a frame moves bars from the last one to the
  // next; the one used longer ago makes room for a new phase. Extending one
  // phase's swings leaves the other's where they are.
  SwingCache* cache = nullptr;
  for (SwingCache& kept : swings_) {
    if (kept.phase == phase && !kept.swing.empty()) cache = &kept;
  }
  if (cache == nullptr) {
    cache = &swings_[swings_[0].last_used <= swings_[1].last_used ? 0 : 1];
    cache->phase = phase;
    cache->swing.clear();
  }
  for (int i = int(cache->swing.size()); i < count; ++i) cache->swing.push_back(bar_swing(i, phase));
  cache->last_used = ++swing_uses_;
  return cache->swing.data();
}

void Renderer::move_level_bars(const Backdrop& under, int x, int y, int w, int h,
                               uint32_t from_phase, uint32_t to_phase, std::vector<Rect>& moved) {
  const int count = level_bar_count(w);
  const int bottom = y + h;
  uint32_t* pixels = fb_.pixels();
  const size_t stride = fb_.width();
  const float* from = bar_swings(from_phase, count);
  const float* to = bar_swings(to_phase, count);
  for (int i = 0; i < count; ++i) {
    LevelBar before = level_bar(i, count, from[i], h);
    LevelBar now = level_bar(i, count, to[i], h);
    if (under.dimmed) now.colour = dimmed(now.colour);
    if (before.height == now.height) continue;
    // Both bars are at least 3 high: below the lower of the two tops they
    // are the same pixels. Above a top lies the backdrop; on it, the bar's
    // middle column; below it, all three columns. Only pixels that change
    // are written, so a growing bar reads nothing of its backdrop.
    const int top = bottom - now.height, old_top = bottom - before.height;
    const int bx = x + 5 * i;
    Rect rows = intersection(
        Rect{bx, std::min(top, old_top), 3, std::abs(now.height - before.height) + 1}, under.area);
    if (rows.empty()) continue;
    for (int py = rows.y; py < rows.y + rows.h; ++py) {
      uint32_t* row = pixels + size_t(py) * stride;
      for (int px = rows.x; px < rows.x + rows.w; ++px) {
        bool bar = py > top || (py == top && px == bx + 1);
        bool was_bar = py > old_top || (py == old_top && px == bx + 1);
        if (bar == was_bar) continue;
        if (bar) {
          row[px] = now.colour;
        } else {
          uint32_t kept = under.at(px, py);
          row[px] = under.dimmed ? dimmed(kept) : kept;
        }
      }
    }
    moved.push_back(rows);
  }
}

Rect Renderer::level_bars_area(int x, int y, int w, int h) {
  int64_t count = level_bar_count(w);
  int64_t bottom = int64_t{y} + h;
  // Bars reach from y (at least 3 high) down to the bottom; idle dots sit
  // in the 3 rows above it.
  int64_t top = std::min<int64_t>(y, bottom - 3);
  return clamp_rect(x, top, int64_t{x} + 5 * (count - 1) + 3, bottom);
}

void Renderer::draw_text(std::string_view text, int x, int y, uint32_t colour, float size) {
  if (text.empty()) return;
  // With a clip region: nothing to do unless the text's rows meet it, and
  // nothing more once the pen has passed its right end in those rows (no
  // glyph reaches further left of the pen than the font's bounding box).
  int64_t last_pen = INT64_MAX;
  if (clip_ != nullptr) {
    Rect area = text_area(x, y, size);
    if (!clip_->intersects(area)) return;
    last_pen = clip_->right_edge(area.y, int64_t{area.y} + area.h) +
               static_cast<int64_t>(std::ceil(font_->reach(size).left)) + 2;
  }
  float ascent = font_->ascent(size);
  int64_t pen = x;
  const int H = height();
  size_t pos = 0;
  while (pos < text.size() && pen <= last_pen) {
    const Glyph& glyph = font_->glyph(decode_utf8(text, pos), size);
    int64_t top = y + static_cast<int64_t>(std::round(ascent - static_cast<float>(glyph.top)));
    int64_t left = pen + glyph.left;
    pen += static_cast<int64_t>(glyph.advance);
    if (!touches_clip(left, top, glyph.width, glyph.rows)) continue;
    ClipLift lift(*this, left, top, glyph.width, glyph.rows);
    for (int r = 0; r < glyph.rows; ++r) {
      int64_t py = top + r;
      if (py < 0) continue;
      if (py >= H) break;
      const uint8_t* coverage = glyph.coverage.data() + size_t(r) * size_t(glyph.width);
      uint32_t* row = fb_.pixels() + size_t(py) * fb_.width();
      for_each_run(py, left, left + glyph.width, [&](int64_t a, int64_t b) {
        for (int64_t px = a; px < b; ++px) {
          uint32_t k = coverage[px - left];
          if (k == 0) continue;
          uint32_t& pixel = row[px];
          pixel = k == 255 ? colour : blend(pixel, colour, k);
        }
      });
    }
  }
}

Rect Renderer::text_area(int x, int y, float size) const {
  if (!(size > 0.0f)) return {};
  Font::Reach reach = font_->reach(size);
  float ascent = font_->ascent(size);
  // Two pixels of slack for the rasteriser's rounding of bitmap edges.
  int64_t x0 = int64_t{x} - static_cast<int64_t>(std::ceil(reach.left)) - 2;
  int64_t y0 = int64_t{y} + static_cast<int64_t>(std::floor(ascent - reach.above)) - 2;
  int64_t y1 = int64_t{y} + static_cast<int64_t>(std::ceil(ascent + reach.below)) + 2;
  int64_t x1 = std::max<int64_t>(width(), x0 + 1);
  return clamp_rect(x0, y0, x1, y1);
}

Rect Renderer::text_area(int x, int y, float size, uint32_t measured) const {
  Rect area = text_area(x, y, size);
  if (area.empty()) return area;
  int64_t x1 = int64_t{x} + measured + static_cast<int64_t>(std::ceil(font_->reach(size).right)) + 2;
  return clamp_rect(area.x, area.y, std::max<int64_t>(x1, area.x + 1), int64_t{area.y} + area.h);
}

uint32_t Renderer::measure_text(std::string_view text, float size) {
  if (text.empty()) return 0;
  float total = 0.0f;
  size_t pos = 0;
  while (pos < text.size()) total += advance(decode_utf8(text, pos), size);
  return static_cast<uint32_t>(total);
}

float Renderer::advance(char32_t character, float size) {
  return font_->glyph(character, size).advance;
}

void dim_pixels(uint32_t* pixels, size_t count) {
  // x / 3 == (x * 171) >> 9 for every byte x, and x * 171 fits 16 bits: the
  // bytes are worked on in 16-bit lanes, the low byte of each lane masked
  // out and the high byte shifted down, four pixels at a time (SSE2 on x86,
  // NEON on aarch64). The alpha byte, the high byte of every odd lane,
  // becomes 0xFF.
  using Lanes = uint16_t __attribute__((vector_size(16)));
  const Lanes low_byte = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Lanes alpha = {0, 0xFF00, 0, 0xFF00, 0, 0xFF00, 0, 0xFF00};
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    Lanes v;
    std::memcpy(&v, pixels + i, sizeof v);
    Lanes low = ((v & low_byte) * 171) >> 9;
    Lanes high = ((v >> 8) * 171) >> 9;
    v = low | (high << 8) | alpha;
    std::memcpy(pixels + i, &v, sizeof v);
  }
  for (; i < count; ++i) pixels[i] = dimmed(pixels[i]);
}

void Renderer::dim_screen(const Rect& covered_next) {
  const int64_t cx0 = covered_next.x, cx1 = int64_t{covered_next.x} + covered_next.w;
  const int64_t cy0 = covered_next.y, cy1 = int64_t{covered_next.y} + covered_next.h;
  const bool skip = !covered_next.empty();
  if (backdrops_ != nullptr && !in_sprite_) backdrops_->note_dimming(covered_next);
  for (int64_t y = 0; y < height(); ++y) {
    if (skip_row(y)) continue;
    uint32_t* row = fb_.pixels() + size_t(y) * fb_.width();
    auto dim = [&](int64_t a, int64_t b) { dim_pixels(row + a, size_t(b - a)); };
    if (skip && y >= cy0 && y < cy1) {
      for_each_run(y, 0, cx0, dim);
      for_each_run(y, cx1, width(), dim);
    } else {
      for_each_run(y, 0, width(), dim);
    }
  }
}

}  // namespace ze
