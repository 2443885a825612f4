// The pieces of a frame that render_frame puts together, shared between the
// screen, panel and dialog drawing files. Internal to the graphics module.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "graphics/backdrop.h"
#include "graphics/frame_inputs.h"
#include "graphics/layout.h"
#include "graphics/region.h"
#include "graphics/renderer.h"

namespace ze {

// A one-pixel (or thicker) frame just inside the rectangle.
void draw_frame(Renderer& r, int x, int y, int w, int h, int thickness, uint32_t colour);
inline void draw_frame(Renderer& r, const Rect& box, int thickness, uint32_t colour) {
  draw_frame(r, box.x, box.y, box.w, box.h, thickness, colour);
}
inline void fill_box(Renderer& r, const Rect& box, uint32_t colour) {
  r.fill_rect(box.x, box.y, box.w, box.h, colour);
}
inline void draw_text_at(Renderer& r, std::string_view text, const TextSpot& at, uint32_t colour) {
  r.draw_text(text, at.x, at.y, colour, at.size);
}

// A text placed by its measured width (centred or right-aligned): its
// drawing and the description of its part both take it from here.
struct PlacedText {
  std::string text;
  TextSpot at;         // where its pen starts
  uint32_t width = 0;  // as measure_text gives it
};
// `text` ending at end.x.
PlacedText place_right_aligned(Renderer& r, std::string text, const TextSpot& end);
// `text` centred on the `width` columns from start.x.
PlacedText place_centred(Renderer& r, std::string text, const TextSpot& start, int width);
void draw_placed(Renderer& r, const PlacedText& text, uint32_t colour);
// Every pixel the placed text can touch.
Rect placed_area(const Renderer& r, const PlacedText& text);
// Every pixel a text at `spot` can touch, whatever the text.
Rect text_area_at(const Renderer& r, const TextSpot& spot);
// The same for a text on the row of `spot` that may start anywhere on it
// (one that is not cut to its place, or is placed by its width).
Rect text_row_area(const Renderer& r, const TextSpot& spot);
// "VOL: 80%", as the footer and the now-playing view show it.
std::string volume_text(int volume);

// List on the left, detail panel on the right.
void draw_main_body(Renderer& r, const FrameInputs& in);
void draw_detail_panel(Renderer& r, const FrameInputs& in, const ListGeometry& list);
void draw_now_playing_view(Renderer& r, const FrameInputs& in);
// An analogue meter in `box` (kMeterHeight high) showing `level` (0 to 1).
void draw_vu_meter(Renderer& r, const Rect& box, std::string_view label, float level);

void draw_update_dialog(Renderer& r, const FrameInputs& in);
void draw_exit_dialog(Renderer& r, const FrameInputs& in);
void draw_volume_notice(Renderer& r, const FrameInputs& in);

// Damage tracking. Each drawing function above has a describe_ twin that
// lists the parts of the screen it draws which can change while the screen
// stays the same: an id, a key of every input the part is drawn from, and
// the rectangle it can draw into. Parts that look the same on every frame
// of a screen (bands, cards, the scale, the help line) are left out: a
// change of screen redraws everything.
//
// Level bars and meter needles are also sprites (see graphics/backdrop.h):
// their part says where they are and what they show, so that a frame can
// move them over their kept backdrop instead of redrawing their tiles.
struct Sprite {
  enum class Kind : uint8_t { None, LevelBars, Needle };
  Kind kind = Kind::None;
  int x = 0, y = 0, w = 0, h = 0;  // the bars' rectangle; a meter's x, y and w
  uint32_t phase = 0;              // LevelBars: the frame counter
  bool active = false;             // LevelBars: bars rather than idle dots
  float level = 0.0f;              // Needle

  static Sprite level_bars(int x, int y, int w, int h, uint32_t phase, bool active) {
    return {Kind::LevelBars, x, y, w, h, phase, active, 0.0f};
  }
  static Sprite needle(int x, int y, int w, float level) {
    return {Kind::Needle, x, y, w, 0, 0, false, level};
  }
};

struct ScreenPart {
  uint32_t id = 0;
  uint64_t key = 0;
  Rect area;
  Sprite sprite;
};

// The area whose backdrop a sprite keeps (on the screen).
Rect sprite_area(const Renderer& r, const Sprite& sprite);
// Whether the sprite drawn as `from` can be moved to `to` over one
// backdrop (the same kind and place, bars that are active in both).
bool sprite_movable(const Sprite& from, const Sprite& to);
// Moves a sprite drawn as `from` over `under` to `to`; adds the rectangles
// it wrote to `moved`. No clip region may be set.
void move_sprite(Renderer& r, const Backdrop& under, const Sprite& from, const Sprite& to,
                 std::vector<Rect>& moved);

// The parts of one frame. A part's area is worked out only when the part is
// new or its key changed since the previous frame: every area is a function
// of its part's key, the screen and the screen size.
class ScreenParts {
 public:
  // Starts a frame; `previous` (the last frame's parts on the same screen,
  // or null) lends the areas of unchanged parts.
  void start(const ScreenParts* previous) {
    parts_.clear();
    previous_ = previous;
  }
  template <typename AreaFn>
  void add(uint32_t id, uint64_t key, AreaFn&& area, const Sprite& sprite = {}) {
    const ScreenPart* before =
        previous_ != nullptr ? previous_->find(id, parts_.size()) : nullptr;
    parts_.push_back(
        {id, key, before != nullptr && before->key == key ? before->area : area(), sprite});
  }
  // The part with this id, looked for first at index `hint`.
  const ScreenPart* find(uint32_t id, size_t hint) const {
    if (hint < parts_.size() && parts_[hint].id == id) return &parts_[hint];
    for (const ScreenPart& part : parts_) {
      if (part.id == id) return &part;
    }
    return nullptr;
  }
  const std::vector<ScreenPart>& parts() const { return parts_; }

 private:
  std::vector<ScreenPart> parts_;
  const ScreenParts* previous_ = nullptr;
};

enum class PartKind : uint32_t {
  Header = 1,     // switcher, sleep pill, update pill
  Needle,         // the dial's needle
  List,           // every visible row but its activity bars
  RowBars,        // the playing row's bars
  Panel,          // the detail panel's texts and badge
  MeterNeedle,    // index 0 left, 1 right
  ListeningFact,  // the panel's listening time
  PanelBars,
  FooterStatus,
  FooterBars,
  FooterVolume,
  Notice,         // the volume notice
  Dialog,         // the box of the update or exit dialog
  View,           // the now-playing view as a whole
  ViewTexts,      // the now-playing card's name, frequency and status
  ViewBars,
  ViewInfo,       // listening time and sleep label
  ViewVolume,
  History,        // the panel's recent titles
  ViewTitle,      // the now-playing card's title and artist
  DialogBar,      // the update dialog's download bar
  DialogFigures,  // the sizes and percentage under it
};

inline uint32_t part_id(PartKind kind, uint32_t index = 0) {
  return (static_cast<uint32_t>(kind) << 8) | index;
}

// A 64-bit hash of the inputs of a part, taken eight bytes at a time.
class PartKey {
 public:
  PartKey& add(std::string_view text) {
    add(uint64_t{text.size()});
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      add(word);
    }
    uint64_t tail = 0;
    if (i < text.size()) std::memcpy(&tail, text.data() + i, text.size() - i);
    return add(tail);
  }
  PartKey& add(uint64_t value) {
    hash_ = (hash_ ^ value) * 0x9E3779B97F4A7C15ull;
    hash_ ^= hash_ >> 29;
    return *this;
  }
  PartKey& add(int64_t value) { return add(static_cast<uint64_t>(value)); }
  PartKey& add(int value) { return add(static_cast<uint64_t>(int64_t{value})); }
  PartKey& add(uint32_t value) { return add(uint64_t{value}); }
  PartKey& add(bool value) { return add(uint64_t{value}); }
  uint64_t value() const { return hash_; }

 private:
  uint64_t hash_ = 1469598103934665603ull;
};

// Level bars drawn with draw_level_bars at `bars` as a part of their own,
// and a sprite.
void describe_level_bars(ScreenParts& out, uint32_t id, const Rect& bars, uint32_t phase,
                         bool active);

// Every part of the frame `render_frame` would draw from `in`, in drawing
// order.
void describe_screen(Renderer& r, const FrameInputs& in, ScreenParts& out);
void describe_main_body(Renderer& r, const FrameInputs& in, ScreenParts& out);
void describe_detail_panel(Renderer& r, const FrameInputs& in, const ListGeometry& list,
                           ScreenParts& out);
void describe_now_playing_view(Renderer& r, const FrameInputs& in, ScreenParts& out);
void describe_update_dialog(Renderer& r, const FrameInputs& in, ScreenParts& out);
void describe_exit_dialog(Renderer& r, const FrameInputs& in, ScreenParts& out);
void describe_volume_notice(Renderer& r, const FrameInputs& in, ScreenParts& out);
// The rectangle the two needle lines of a meter at (x, y), w wide, cover.
Rect vu_needle_area(int x, int y, int w, float level);
// The rectangle the needle covers at any level, with the pivot over it.
Rect vu_needle_sweep(int x, int y, int w);

}  // namespace ze
