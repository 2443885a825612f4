#include "graphics/renderer.h"

#include <cmath>
#include <random>

#include <ft2build.h>
#include FT_FREETYPE_H
#include <gtest/gtest.h>

#include "base/text.h"
#include "stream/title_text.h"

namespace ze {
namespace {

// Straightforward per-pixel versions of the shapes, written from the pixel
// rules, to hold the span-based primitives against.
struct Reference {
  std::vector<uint32_t> pixels;
  int width;
  int height;

  Reference(int w, int h, uint32_t fill) : pixels(size_t(w) * h, fill), width(w), height(h) {}

  void put(int x, int y, uint32_t colour, bool blended) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    uint32_t& p = pixels[size_t(y) * width + x];
    uint32_t a = colour >> 24;
    if (!blended || a == 0xFF) {
      p = colour;
    } else {
      p = blend(p, colour, a);
    }
  }

  void rounded_rect(int x, int y, int w, int h, int r, uint32_t colour) {
    if (w <= 0) return;
    for (int i = y; i < y + h; ++i) {
      if (i < 0) continue;
      int dy = i < y + r ? y + r - i : (i < y + h - r ? 0 : i - (y + h - r) + 1);
      for (int j = x; j < x + w; ++j) {
        int dx = j < x + r ? x + r - j : (j < x + w - r ? 0 : j - (x + w - r) + 1);
        if (dx * dx + dy * dy <= r * r) put(j, i, colour, true);
      }
    }
  }

  void circle(int cx, int cy, int r, uint32_t colour) {
    for (int row = cy - r; row <= cy + r; ++row) {
      for (int col = cx - r; col <= cx + r; ++col) {
        if ((col - cx) * (col - cx) + (row - cy) * (row - cy) <= r * r) put(col, row, colour, false);
      }
    }
  }
};

// An independent FreeType face for reference glyphs and advances.
class ReferenceFont {
 public:
  ReferenceFont() {
    FT_Init_FreeType(&library_);
    auto data = embedded_font();
    FT_New_Memory_Face(library_, data.data(), FT_Long(data.size()), 0, &face_);
  }
  ~ReferenceFont() {
    FT_Done_Face(face_);
    FT_Done_FreeType(library_);
  }
  FT_GlyphSlot load(char32_t c, float size, bool render) {
    FT_Set_Char_Size(face_, 0, FT_F26Dot6(std::lround(size * 64)), 72, 72);
    // The screens' symbols the font lacks are drawn with look-alikes.
    FT_UInt index = FT_Get_Char_Index(face_, c);
    if (index == 0 && c == U'⭐') index = FT_Get_Char_Index(face_, U'★');
    if (index == 0 && (c == U'⏰' || c == U'⏳')) index = FT_Get_Char_Index(face_, U'◷');
    FT_Load_Glyph(face_, index, FT_LOAD_NO_HINTING);
    if (render) FT_Render_Glyph(face_->glyph, FT_RENDER_MODE_NORMAL);
    return face_->glyph;
  }
  float advance(char32_t c, float size) {
    return float(load(c, size, false)->linearHoriAdvance) / 65536.0f;
  }
  void draw(Reference& ref, std::string_view text, int x, int y, uint32_t colour, float size) {
    float ascent = 1901.0f * size / 2048.0f;
    int pen = x;
    size_t pos = 0;
    while (pos < text.size()) {
      FT_GlyphSlot g = load(decode_utf8(text, pos), size, true);
      int top = y + int(std::round(ascent - float(g->bitmap_top)));
      for (int r = 0; r < int(g->bitmap.rows); ++r) {
        for (int c = 0; c < int(g->bitmap.width); ++c) {
          uint32_t k = g->bitmap.buffer[r * g->bitmap.pitch + c];
          int px = pen + g->bitmap_left + c, py = top + r;
          if (k == 0 || px < 0 || py < 0 || px >= ref.width || py >= ref.height) continue;
          uint32_t& p = ref.pixels[size_t(py) * ref.width + px];
          p = k == 255 ? colour : blend(p, colour, k);
        }
      }
      pen += int(float(g->linearHoriAdvance) / 65536.0f);
    }
  }

 private:
  FT_Library library_ = nullptr;
  FT_Face face_ = nullptr;
};

class RendererTest : public ::testing::Test {
 protected:
  RendererTest() : fb_(Framebuffer::simulated(64, 48)), r_(fb_) {}
  std::vector<uint32_t> pixels() const {
    return {fb_.pixels(), fb_.pixels() + size_t(fb_.width()) * fb_.height()};
  }
  int count(uint32_t colour) const {
    auto p = pixels();
    return int(std::count(p.begin(), p.end(), colour));
  }
  Framebuffer fb_;
  Renderer r_;
};

TEST(Blend, EqualsThePerChannelDivisionForEveryWeightAndByte) {
  auto reference = [](uint32_t dst, uint32_t src, uint32_t a) {
    uint32_t out = 0xFF000000u;
    for (int shift = 0; shift <= 16; shift += 8) {
      uint32_t s = (src >> shift) & 0xFF, d = (dst >> shift) & 0xFF;
      out |= ((s * a + d * (255 - a)) / 255) << shift;
    }
    return out;
  };
  // Every weight, source byte and destination byte, with each channel
  // holding a different value so that a slot leaking into its neighbour
  // shows.
  for (uint32_t a = 0; a < 256; ++a) {
    for (uint32_t s = 0; s < 256; ++s) {
      uint32_t src = (s * 0x01000000u) | ((255 - s) << 16) | (((s * 7) & 0xFF) << 8) | s;
      for (uint32_t d = 0; d < 256; ++d) {
        uint32_t dst = (((d * 13) & 0xFF) << 16) | (d << 8) | (255 - d);
        ASSERT_EQ(blend(dst, src, a), reference(dst, src, a)) << a << " " << s << " " << d;
      }
    }
  }
}

TEST_F(RendererTest, BlendRoundsDownPerChannelAndStoresOpaqueAlpha) {
  EXPECT_EQ(blend(0xFFFFFFFF, 0xEE1E293B, 0xEE),
            0xFF000000u | ((0x1Eu * 238 + 255 * 17) / 255) << 16 |
                ((0x29u * 238 + 255 * 17) / 255) << 8 | ((0x3Bu * 238 + 255 * 17) / 255));
  r_.clear(0xFFFFFFFF);
  r_.fill_rounded_rect(0, 0, 10, 10, 3, 0xEE1E293B);
  EXPECT_EQ(fb_.pixel(5, 5), blend(0xFFFFFFFF, 0xEE1E293B, 0xEE));
  EXPECT_EQ(fb_.pixel(0, 0), 0xFFFFFFFFu);  // the corner is left out
  r_.fill_rounded_rect(0, 0, 10, 10, 3, 0x00123456);
  EXPECT_EQ(fb_.pixel(5, 5), blend(0xFFFFFFFF, 0xEE1E293B, 0xEE));
}

TEST_F(RendererTest, RoundedRectDegenerateSizes) {
  r_.clear(0);
  r_.fill_rounded_rect(5, 5, 10, 6, 0, 0xFFAABBCC);
  EXPECT_EQ(count(0xFFAABBCC), 60);
  EXPECT_EQ(fb_.pixel(5, 5), 0xFFAABBCCu);
  EXPECT_EQ(fb_.pixel(14, 10), 0xFFAABBCCu);
  r_.clear(0);
  r_.fill_rounded_rect(5, 5, 0, 6, 0, 0xFFAABBCC);
  r_.fill_rounded_rect(5, 5, -3, 6, 2, 0xFFAABBCC);
  r_.fill_rounded_rect(5, 5, 10, 0, 2, 0xFFAABBCC);
  r_.fill_rounded_rect(5, 5, 10, -4, 2, 0xFFAABBCC);
  EXPECT_EQ(count(0), 64 * 48);
}

TEST_F(RendererTest, SpanShapesMatchThePerPixelRulesOnRandomShapes) {
  std::mt19937 random(7);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  const uint32_t colours[] = {0xFF10B981, 0xEE1E293B, 0x80FFFFFF, 0x00FF0000, 0x01020304};
  for (int n = 0; n < 3000; ++n) {
    Reference ref(64, 48, 0xFF0F172A);
    r_.clear(0xFF0F172A);
    int x = pick(-30, 70), y = pick(-30, 60), w = pick(-3, 60), h = pick(-3, 50);
    int radius = pick(0, 30);
    uint32_t colour = colours[pick(0, 4)];
    if (n % 2 == 0) {
      ref.rounded_rect(x, y, w, h, radius, colour);
      r_.fill_rounded_rect(x, y, w, h, radius, colour);
    } else {
      ref.circle(x, y, radius, colour);
      r_.fill_circle(x, y, radius, colour);
    }
    ASSERT_EQ(pixels(), ref.pixels) << n << ": " << x << "," << y << " " << w << "x" << h
                                    << " r" << radius;
  }
}

TEST_F(RendererTest, TextMatchesPerGlyphRasterisationAndPlacement) {
  ReferenceFont font;
  const std::string_view texts[] = {"ZE-RADIO", "Đang phát: VOV1 - Thời sự", "⏰ 01:15 ⭐",
                                    "Ấ ẫ ự Ỵ ◀ ▶ ● ○ ✖ ■ •", "g|y", "🔊 ÂM LƯỢNG 55%"};
  std::mt19937 random(11);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  for (int n = 0; n < 200; ++n) {
    std::string_view text = texts[size_t(n) % std::size(texts)];
    int x = pick(-60, 60), y = pick(-20, 45);
    float size = float(pick(8, 22));
    uint32_t colour = n % 3 == 0 ? 0xFFFFFFFF : 0xFF06B6D4;
    Reference ref(64, 48, 0xFF1E293B);
    r_.clear(0xFF1E293B);
    font.draw(ref, text, x, y, colour, size);
    r_.draw_text(text, x, y, colour, size);
    ASSERT_EQ(pixels(), ref.pixels) << text << " at " << x << "," << y << " size " << size;
  }
}

TEST_F(RendererTest, MeasureSumsUnroundedAdvancesIncludingMissingGlyphs) {
  ReferenceFont font;
  EXPECT_EQ(r_.measure_text("", 15), 0u);
  for (float size : {9.0f, 12.0f, 13.0f, 15.0f, 20.0f}) {
    for (std::string_view text : {"ZE-RADIO", "VOL: 80%", "Tần số sóng:", "⭐⏳⏰", "a\nb"}) {
      float sum = 0;
      size_t pos = 0;
      while (pos < text.size()) sum += font.advance(decode_utf8(text, pos), size);
      EXPECT_EQ(r_.measure_text(text, size), uint32_t(sum)) << text << " " << size;
    }
  }
  EXPECT_EQ(r_.measure_text("abc", 0), 0u);
}

// The font has no ⭐, ⏰ or ⏳: they are drawn and measured as ★ and ◷;
// any other missing character is still the missing-glyph box.
TEST_F(RendererTest, MissingScreenSymbolsUseLookAlikesAndOthersTheMissingGlyph) {
  auto drawn = [&](std::string_view text) {
    r_.clear(0xFF1E293B);
    r_.draw_text(text, 4, 4, 0xFFFFFFFF, 30);
    return pixels();
  };
  const std::pair<std::string_view, std::string_view> same[] = {
      {"⭐", "★"}, {"⏰", "◷"}, {"⏳", "◷"}, {"\uE000", "\U0010FFFD"}};
  for (auto [text, look_alike] : same) {
    EXPECT_EQ(drawn(text), drawn(look_alike)) << text;
    EXPECT_EQ(r_.measure_text(text, 30), r_.measure_text(look_alike, 30)) << text;
  }
  EXPECT_NE(drawn("⭐"), drawn("\uE000"));
  EXPECT_NE(drawn("⏰"), drawn("\uE000"));
  EXPECT_NE(drawn("★"), drawn("◷"));
}

// Song titles come in every Vietnamese letter, precomposed or (from some
// taggers) as a base letter followed by combining marks: the font has a
// glyph for every one of them, never the missing-glyph box.
TEST_F(RendererTest, EveryVietnameseLetterAndToneMarkHasItsGlyph) {
  auto drawn = [&](std::string_view text) {
    r_.clear(0xFF1E293B);
    r_.draw_text(text, 16, 4, 0xFFFFFFFF, 30);
    return pixels();
  };
  const auto missing = drawn("\uE000");
  const std::string_view bases[] = {"a", "ă", "â", "e", "ê", "i", "o", "ô", "ơ", "u", "ư", "y",
                                    "A", "Ă", "Â", "E", "Ê", "I", "O", "Ô", "Ơ", "U", "Ư", "Y"};
  // No tone, grave, hook above, tilde, acute, dot below.
  const std::string_view tones[] = {"", "\u0300", "\u0309", "\u0303", "\u0301", "\u0323"};
  int letters = 0;
  for (std::string_view base : bases) {
    for (std::string_view tone : tones) {
      std::string decomposed = std::string(base) + std::string(tone);
      std::optional<std::string> precomposed = stream::normalize_title(decomposed);
      ASSERT_TRUE(precomposed);
      size_t pos = 0;
      decode_utf8(*precomposed, pos);
      EXPECT_EQ(pos, precomposed->size()) << decomposed << " is one character";
      EXPECT_NE(drawn(*precomposed), missing) << *precomposed;
      // The marks themselves have glyphs, drawn over the letter before them.
      EXPECT_NE(drawn(decomposed), missing) << decomposed;
      EXPECT_EQ(r_.measure_text(decomposed, 30), r_.measure_text(base, 30)) << decomposed;
      ++letters;
    }
  }
  for (std::string_view mark : {"\u0300", "\u0301", "\u0303", "\u0309", "\u0323", "\u0302",
                                "\u0306", "\u031B"}) {
    EXPECT_NE(drawn(mark), missing) << "combining mark";
    EXPECT_NE(drawn(mark), drawn("")) << "combining mark";
  }
  EXPECT_NE(drawn("đ"), missing);
  EXPECT_NE(drawn("Đ"), missing);
  EXPECT_EQ(letters, 144);
}

TEST_F(RendererTest, TextAtZeroSizeDrawsNothing) {
  r_.clear(0);
  r_.draw_text("abc", 10, 10, 0xFFFFFFFF, 0);
  r_.draw_text("", 10, 10, 0xFFFFFFFF, 20);
  EXPECT_EQ(count(0), 64 * 48);
}

TEST_F(RendererTest, LevelBarsCountAndIdleDots) {
  auto fb = Framebuffer::simulated(200, 40);
  Renderer r(fb);
  auto columns_with = [&](uint32_t colour_mask_any) {
    int columns = 0;
    for (uint32_t x = 0; x < fb.width(); ++x) {
      bool lit = false;
      for (uint32_t y = 0; y < fb.height(); ++y) lit |= fb.pixel(x, y) != colour_mask_any;
      columns += lit;
    }
    return columns;
  };
  r.clear(0);
  r.draw_level_bars(0, 0, 12, 30, 5, true);
  EXPECT_EQ(columns_with(0), 4 * 3);
  r.clear(0);
  r.draw_level_bars(0, 0, 100, 30, 5, true);
  EXPECT_EQ(columns_with(0), 20 * 3);
  // Phase 0, bar 0: g = 0, v = |0.3 + 0.35| = 0.65, so 19 of 30 pixels, green.
  r.clear(0);
  r.draw_level_bars(0, 0, 100, 30, 0, true);
  EXPECT_EQ(fb.pixel(1, 30 - 19), 0xFF10B981u);
  EXPECT_EQ(fb.pixel(1, 30 - 20), 0u);

  r.clear(0);
  r.draw_level_bars(10, 0, 12, 30, 0, false);
  std::vector<uint32_t> idle(fb.pixels(), fb.pixels() + 200 * 40);
  for (uint32_t phase : {1u, 77u, 0xFFFFFFFFu}) {
    r.clear(0);
    r.draw_level_bars(10, 0, 12, 30, phase, false);
    EXPECT_EQ(std::vector<uint32_t>(fb.pixels(), fb.pixels() + 200 * 40), idle);
  }
  // A plus-shaped dot at (10, 27): corners left out.
  EXPECT_EQ(fb.pixel(11, 27), 0xFF475569u);
  EXPECT_EQ(fb.pixel(10, 28), 0xFF475569u);
  EXPECT_EQ(fb.pixel(10, 27), 0u);
  EXPECT_EQ(fb.pixel(12, 29), 0u);
  EXPECT_EQ(fb.pixel(26, 28), 0xFF475569u);  // the fourth dot
  EXPECT_EQ(fb.pixel(31, 28), 0u);
}

TEST_F(RendererTest, LinesIncludeBothEndsInEveryDirection) {
  r_.clear(0);
  r_.draw_line(5, 5, 20, 9, 0xFFFFFFFF);
  r_.draw_line(40, 40, 38, 10, 0xFFFFFFFF);
  r_.draw_line(60, 2, 60, 2, 0xFFFFFFFF);
  EXPECT_EQ(fb_.pixel(5, 5), 0xFFFFFFFFu);
  EXPECT_EQ(fb_.pixel(20, 9), 0xFFFFFFFFu);
  EXPECT_EQ(fb_.pixel(40, 40), 0xFFFFFFFFu);
  EXPECT_EQ(fb_.pixel(38, 10), 0xFFFFFFFFu);
  EXPECT_EQ(count(0xFFFFFFFF), 16 + 31 + 1);
  r_.draw_line(-100, 20, 100, 20, 0xFF00FF00);  // cut at both edges
  EXPECT_EQ(fb_.pixel(0, 20), 0xFF00FF00u);
  EXPECT_EQ(fb_.pixel(63, 20), 0xFF00FF00u);
}

TEST_F(RendererTest, DimScreenDividesEachChannelByThree) {
  r_.clear(0xFF0F172A);
  r_.fill_rect(0, 0, 1, 1, 0xFFFFFFFF);
  r_.fill_rect(1, 0, 1, 1, 0x00020508);
  r_.dim_screen();
  EXPECT_EQ(fb_.pixel(0, 0), 0xFF555555u);
  EXPECT_EQ(fb_.pixel(1, 0), 0xFF000102u);
  EXPECT_EQ(fb_.pixel(5, 5), 0xFF05070Eu);
}

TEST_F(RendererTest, RectanglesAreClippedNotShifted) {
  r_.clear(0);
  r_.fill_rect(-5, -5, 10, 10, 0xFF123456);
  EXPECT_EQ(count(0xFF123456), 25);
  r_.fill_rect(60, 45, 100, 100, 0xFF654321);
  EXPECT_EQ(count(0xFF654321), 4 * 3);
  r_.fill_rect(2000000000, 0, 2000000000, 10, 0xFF111111);
  EXPECT_EQ(count(0xFF111111), 0);
}

}  // namespace
}  // namespace ze
