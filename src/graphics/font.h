// A TrueType face rasterised with FreeType: unhinted outlines at an exact
// pixel size, 8-bit coverage bitmaps and unrounded advances. Rasterised
// glyphs are kept per size, so a text drawn every frame costs a lookup.
// Owned by the Renderer; main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/result.h"

namespace ze {

// The DejaVu Sans Bold file linked into the program.
std::span<const uint8_t> embedded_font();

// One rasterised glyph: a coverage bitmap `width` x `rows` (row 0 on top),
// its left edge relative to the pen and its top edge above the baseline, and
// the advance in pixels.
struct Glyph {
  std::vector<uint8_t> coverage;
  int width = 0;
  int rows = 0;
  int left = 0;
  int top = 0;
  float advance = 0.0f;
};

class Font {
 public:
  // Parses the font in `data`, which must outlive the Font.
  static Result<std::unique_ptr<Font>> load(std::span<const uint8_t> data);
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

  // The glyph for a character. When the font lacks it: the look-alike for
  // ⭐ (★) and for ⏰ and ⏳ (◷), glyph 0 (the missing-glyph shape) for any
  // other. A size of 0 or less gives an empty glyph.
  const Glyph& glyph(char32_t character, float size);
  // Line top to baseline at `size`.
  float ascent(float size) const;
  // The reach of every glyph of the face at `size` in pixels, from the
  // face's bounding box: left of the pen, above and below the baseline.
  struct Reach {
    float left = 0.0f;
    float right = 0.0f;  // right of the pen
    float above = 0.0f;
    float below = 0.0f;
  };
  Reach reach(float size) const;

 private:
  struct Face;
  explicit Font(std::unique_ptr<Face> face);
  const Glyph& look_up(char32_t character, float size);
  const Glyph& rasterise(uint32_t glyph_index, float size);

  // Found glyphs by size and character, direct-mapped: a text drawn every
  // frame costs one probe per character. Entries point into glyphs_, whose
  // elements never move.
  struct Recent {
    uint64_t key = ~uint64_t{0};
    const Glyph* glyph = nullptr;
  };
  static constexpr size_t kRecentSlots = 1024;

  std::unique_ptr<Face> face_;
  std::unique_ptr<Recent[]> recent_ = std::make_unique<Recent[]>(kRecentSlots);
  // Keyed by the size's bits and the glyph index.
  std::unordered_map<uint64_t, Glyph> glyphs_;
  std::unordered_map<uint64_t, uint32_t> indices_;  // size bits, character -> glyph index
  Glyph empty_;
};

}  // namespace ze
