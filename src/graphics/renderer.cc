#include "graphics/renderer.h"

#include <algorithm>
#include <cmath>

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

}  // namespace

Renderer::Renderer(Framebuffer& framebuffer) : Renderer(framebuffer, embedded_font()) {}

Renderer::Renderer(Framebuffer& framebuffer, std::span<const uint8_t> font_data)
    : fb_(framebuffer), font_(load_font(font_data)) {}

void Renderer::plot(int x, int y, uint32_t colour) {
  if (x < 0 || y < 0 || x >= width() || y >= height()) return;
  uint32_t alpha = colour >> 24;
  if (alpha == 0) return;
  uint32_t& pixel = fb_.pixels()[size_t(y) * fb_.width() + size_t(x)];
  pixel = alpha == 0xFF ? colour : blend(pixel, colour, alpha);
}

void Renderer::span(int64_t x0, int64_t x1, int64_t y, uint32_t colour) {
  if (y < 0 || y >= height()) return;
  x0 = std::max<int64_t>(x0, 0);
  x1 = std::min<int64_t>(x1, width());
  if (x0 >= x1) return;
  uint32_t* row = fb_.pixels() + size_t(y) * fb_.width();
  uint32_t alpha = colour >> 24;
  if (alpha == 0xFF) {
    std::fill(row + x0, row + x1, colour);
  } else if (alpha != 0) {
    for (int64_t x = x0; x < x1; ++x) row[x] = blend(row[x], colour, alpha);
  }
}

void Renderer::clear(uint32_t colour) {
  std::fill(fb_.pixels(), fb_.pixels() + size_t(fb_.width()) * fb_.height(), colour);
}

void Renderer::fill_rect(int x, int y, int w, int h, uint32_t colour) {
  int64_t top = std::max<int64_t>(y, 0);
  int64_t bottom = std::min<int64_t>(int64_t{y} + h, height());
  int64_t left = std::max<int64_t>(x, 0);
  int64_t right = std::min<int64_t>(int64_t{x} + w, width());
  if (left >= right) return;
  for (int64_t row = top; row < bottom; ++row) {
    uint32_t* line = fb_.pixels() + size_t(row) * fb_.width();
    std::fill(line + left, line + right, colour);
  }
}

void Renderer::fill_rounded_rect(int x, int y, int w, int h, int r, uint32_t colour) {
  if (w <= 0) return;
  const int64_t X = x, Y = y, W = w, H = h, R = r;
  int64_t first = std::max<int64_t>(Y, 0);
  int64_t last = std::min<int64_t>(Y + H, height());
  for (int64_t i = first; i < last; ++i) {
    int64_t dy = i < Y + R ? Y + R - i : (i < Y + H - R ? 0 : i - (Y + H - R) + 1);
    int64_t room = R * R - dy * dy;
    if (room < 0) continue;
    // Columns of the row whose corner distance dx satisfies dx <= m.
    int64_t m = isqrt(room);
    int64_t end = X + W;
    // Left corner region: j < X + R, dx = X + R - j.
    span(std::max(X, X + R - m), std::min(X + R, end), i, colour);
    // Middle: dx = 0.
    span(std::max(X, X + R), std::min(end, X + W - R), i, colour);
    // Right corner region: j >= max(X + R, X + W - R), dx = j - (X + W - R) + 1.
    span(std::max({X, X + R, X + W - R}), std::min(end, X + W - R + m), i, colour);
  }
}

void Renderer::draw_line(int x0, int y0, int x1, int y1, uint32_t colour) {
  int64_t dx = std::abs(int64_t{x1} - x0);
  int64_t dy = -std::abs(int64_t{y1} - y0);
  int sx = x0 < x1 ? 1 : -1;
  int sy = y0 < y1 ? 1 : -1;
  int64_t err = dx + dy;
  int x = x0, y = y0;
  while (true) {
    plot(x, y, colour);
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

void Renderer::fill_circle(int cx, int cy, int r, uint32_t colour) {
  const int64_t CX = cx, CY = cy, R = r;
  for (int64_t row = CY - R; row <= CY + R; ++row) {
    int64_t dy = row - CY;
    int64_t room = R * R - dy * dy;
    if (room < 0 || row < 0 || row >= height()) continue;
    int64_t m = std::min(isqrt(room), R);
    // Opaque store whatever the alpha, as the disc never blends.
    int64_t left = std::max<int64_t>(CX - m, 0);
    int64_t right = std::min<int64_t>(CX + m + 1, width());
    uint32_t* line = fb_.pixels() + size_t(row) * fb_.width();
    for (int64_t col = left; col < right; ++col) line[col] = colour;
  }
}

void Renderer::draw_level_bars(int x, int y, int w, int h, uint32_t phase, bool active) {
  int count = std::max(w / 5, 4);
  int bottom = y + h;
  if (!active) {
    for (int i = 0; i < count; ++i) fill_rounded_rect(x + 5 * i, bottom - 3, 3, 3, 1, 0xFF475569);
    return;
  }
  float p = static_cast<float>(phase);
  for (int i = 0; i < count; ++i) {
    float g = p * 0.15f + static_cast<float>(i) * 0.8f;
    float v = std::fabs(std::cos(g * 1.7f) * 0.3f + (std::sin(g) * 0.5f + 0.5f) * 0.7f);
    int bar = static_cast<int>(v * static_cast<float>(h));
    bar = std::min(std::max(bar, 3), h);
    float f = static_cast<float>(i) / static_cast<float>(count);
    uint32_t colour = f < 0.4f ? 0xFF10B981 : (f < 0.75f ? 0xFF06B6D4 : 0xFFE11D48);
    fill_rounded_rect(x + 5 * i, bottom - bar, 3, bar, 1, colour);
  }
}

void Renderer::draw_text(std::string_view text, int x, int y, uint32_t colour, float size) {
  if (text.empty()) return;
  float ascent = font_->ascent(size);
  int64_t pen = x;
  const int W = width(), H = height();
  size_t pos = 0;
  while (pos < text.size()) {
    const Glyph& glyph = font_->glyph(decode_utf8(text, pos), size);
    int64_t top = y + static_cast<int64_t>(std::round(ascent - static_cast<float>(glyph.top)));
    int64_t left = pen + glyph.left;
    int64_t c0 = std::max<int64_t>(0, -left);
    int64_t c1 = std::min<int64_t>(glyph.width, W - left);
    for (int r = 0; r < glyph.rows && c0 < c1; ++r) {
      int64_t py = top + r;
      if (py < 0) continue;
      if (py >= H) break;
      const uint8_t* coverage = glyph.coverage.data() + size_t(r) * size_t(glyph.width);
      uint32_t* row = fb_.pixels() + size_t(py) * fb_.width();
      for (int64_t c = c0; c < c1; ++c) {
        uint32_t k = coverage[c];
        if (k == 0) continue;
        uint32_t& pixel = row[left + c];
        pixel = k == 255 ? colour : blend(pixel, colour, k);
      }
    }
    pen += static_cast<int64_t>(glyph.advance);
  }
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

void Renderer::dim_screen() {
  // x / 3 == (x * 171) >> 9 for every byte x; the multiply form lets the
  // loop run on vector registers.
  uint32_t* p = fb_.pixels();
  size_t count = size_t(fb_.width()) * fb_.height();
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = p[i];
    uint32_t r = (((c >> 16) & 0xFF) * 171) >> 9;
    uint32_t g = (((c >> 8) & 0xFF) * 171) >> 9;
    uint32_t b = ((c & 0xFF) * 171) >> 9;
    p[i] = 0xFF000000u | (r << 16) | (g << 8) | b;
  }
}

}  // namespace ze
