#include "graphics/font.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <fmt/format.h>

extern "C" const uint8_t ze_font_dejavu_sans_bold[];
extern "C" const uint8_t ze_font_dejavu_sans_bold_end[];

namespace ze {

std::span<const uint8_t> embedded_font() {
  return {ze_font_dejavu_sans_bold,
          static_cast<size_t>(ze_font_dejavu_sans_bold_end - ze_font_dejavu_sans_bold)};
}

struct Font::Face {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  float current_size = -1.0f;
  ~Face() {
    if (face != nullptr) FT_Done_Face(face);
    if (library != nullptr) FT_Done_FreeType(library);
  }
};

namespace {

std::string freetype_error(const char* what, FT_Error error) {
  const char* text = FT_Error_String(error);
  return text != nullptr ? fmt::format("{}: {}", what, text)
                         : fmt::format("{}: FreeType error {}", what, error);
}

uint64_t key(float size, uint32_t value) {
  return (uint64_t{std::bit_cast<uint32_t>(size)} << 32) | value;
}

// A look-alike for the symbols the screens use that the embedded font lacks:
// ★ for ⭐, ◷ for ⏰ and ⏳. Zero for every other character.
char32_t stand_in(char32_t character) {
  switch (character) {
    case U'\u2B50': return U'\u2605';
    case U'\u23F0':
    case U'\u23F3': return U'\u25F7';
    default: return 0;
  }
}

}  // namespace

Font::Font(std::unique_ptr<Face> face) : face_(std::move(face)) {}
Font::~Font() = default;

Result<std::unique_ptr<Font>> Font::load(std::span<const uint8_t> data) {
  auto face = std::make_unique<Face>();
  if (FT_Error e = FT_Init_FreeType(&face->library)) return Error{freetype_error("init", e)};
  if (FT_Error e = FT_New_Memory_Face(face->library, data.data(),
                                      static_cast<FT_Long>(data.size()), 0, &face->face)) {
    return Error{freetype_error("parse", e)};
  }
  if (!FT_IS_SCALABLE(face->face) || face->face->units_per_EM == 0) {
    return Error{"parse: not a scalable font"};
  }
  return std::unique_ptr<Font>(new Font(std::move(face)));
}

float Font::ascent(float size) const {
  FT_Face f = face_->face;
  if (f->ascender != 0) {
    return static_cast<float>(f->ascender) * size / static_cast<float>(f->units_per_EM);
  }
  return size * 0.8f;
}

Font::Reach Font::reach(float size) const {
  FT_Face f = face_->face;
  float scale = size / static_cast<float>(f->units_per_EM);
  return {std::max(0.0f, -static_cast<float>(f->bbox.xMin) * scale),
          std::max(0.0f, static_cast<float>(f->bbox.xMax) * scale),
          std::max(0.0f, static_cast<float>(f->bbox.yMax) * scale),
          std::max(0.0f, -static_cast<float>(f->bbox.yMin) * scale)};
}

const Glyph& Font::glyph(char32_t character, float size) {
  if (!(size > 0.0f)) return empty_;
  const uint64_t recent_key = key(size, character);
  Recent& slot = recent_[(recent_key * 0x9E3779B97F4A7C15ull) >> 54];
  if (slot.key == recent_key) return *slot.glyph;
  const Glyph& found_glyph = look_up(character, size);
  slot = {recent_key, &found_glyph};
  return found_glyph;
}

const Glyph& Font::look_up(char32_t character, float size) {
  uint64_t index_key = key(0.0f, character);
  auto found = indices_.find(index_key);
  uint32_t index;
  if (found != indices_.end()) {
    index = found->second;
  } else {
    index = FT_Get_Char_Index(face_->face, character);
    if (index == 0 && stand_in(character) != 0) {
      index = FT_Get_Char_Index(face_->face, stand_in(character));
    }
    indices_.emplace(index_key, index);
  }
  auto cached = glyphs_.find(key(size, index));
  if (cached != glyphs_.end()) return cached->second;
  return rasterise(index, size);
}

const Glyph& Font::rasterise(uint32_t glyph_index, float size) {
  FT_Face f = face_->face;
  Glyph glyph;
  if (face_->current_size != size) {
    auto char_size = static_cast<FT_F26Dot6>(std::lround(size * 64.0f));
    FT_Set_Char_Size(f, 0, char_size, 72, 72);
    face_->current_size = size;
  }
  if (FT_Load_Glyph(f, glyph_index, FT_LOAD_NO_HINTING) == 0) {
    glyph.advance = static_cast<float>(f->glyph->linearHoriAdvance) / 65536.0f;
    if (FT_Render_Glyph(f->glyph, FT_RENDER_MODE_NORMAL) == 0) {
      const FT_Bitmap& bitmap = f->glyph->bitmap;
      glyph.width = static_cast<int>(bitmap.width);
      glyph.rows = static_cast<int>(bitmap.rows);
      glyph.left = f->glyph->bitmap_left;
      glyph.top = f->glyph->bitmap_top;
      glyph.coverage.resize(size_t(glyph.width) * size_t(glyph.rows));
      for (int r = 0; r < glyph.rows; ++r) {
        const uint8_t* src = bitmap.buffer + static_cast<ptrdiff_t>(r) * bitmap.pitch;
        std::memcpy(glyph.coverage.data() + size_t(r) * size_t(glyph.width), src,
                    size_t(glyph.width));
      }
    }
  }
  return glyphs_.emplace(key(size, glyph_index), std::move(glyph)).first->second;
}

}  // namespace ze
