// The detail panel beside the list, the full-screen now-playing view and the
// analogue VU meters both of them show. The meters and bars are animated
// from the frame counter and the playback state; the program has no access
// to the audio signal, which an external player produces.
#include <algorithm>
#include <array>
#include <cmath>

#include <fmt/format.h>

#include "graphics/palette.h"
#include "graphics/screen_parts.h"

namespace ze {
namespace {

using namespace palette;

constexpr float kPi = 3.1415927f;

float radians(float degrees) { return degrees * (kPi / 180.0f); }

const Channel* selected_channel(const FrameInputs& in) {
  return in.selection < in.channels.size() ? &in.channels[in.selection] : nullptr;
}

struct Fact {
  int y;
  int needed;  // H - 100 must exceed this
  std::string_view label;
};

constexpr Fact kFacts[] = {{282, 301, "Tần số sóng:"},
                           {301, 320, "Định dạng:"},
                           {320, 339, "Chất lượng:"},
                           {339, 358, "Thời gian nghe:"},
                           {358, 377, "Hẹn giờ tắt:"}};
constexpr size_t kListeningFact = 3;
constexpr float kFactSize = 12;  // the facts and the recent titles
constexpr std::string_view kFixedFormat = "128 kbps • AAC / HLS HD";
constexpr std::string_view kFixedQuality = "48 kHz Stereo • ALSA";
constexpr uint32_t kPlayedTitle = 0xFFCBD5E1;

// The panel lists the recent titles below its last fact row, down to the
// level bars: a heading, then one row of 19 pixels a title.
constexpr int kHistoryPitch = 19;
constexpr int kHistoryTextX = 48;  // after the start time
struct HistoryBox {
  int heading_y = 0;
  int first_y = 0;
  int rows = 0;
};

constexpr int kNeedleLength = 59;
// Below a meter's top: its needle's pivot, and the row the needle's lines
// start from, just inside the pivot.
constexpr int kPivotDrop = 70;
constexpr int kNeedleRootDrop = 68;
constexpr int kPivotRadius = 4;

// Offset of the needle's tip from the meter's pivot.
struct NeedleTip {
  int dx;
  int dy;
};

NeedleTip needle_tip(float level) {
  float v = std::isnan(level) ? 0.0f : std::clamp(level, 0.0f, 1.0f);
  float theta = radians(v * 85.0f - 45.0f - 90.0f);
  return {static_cast<int>(std::cos(theta) * float(kNeedleLength)),
          static_cast<int>(std::sin(theta) * float(kNeedleLength))};
}

struct Point {
  int x;
  int y;
};

// The pivot of the meter at (x, y), w wide: centred, near its bottom.
Point meter_pivot(int x, int y, int w) { return {x + w / 2, y + kPivotDrop}; }

struct Line {
  int x0, y0, x1, y1;
};

// The needle's two lines at `level`, from above the pivot to the tip, the
// second one column right of the first: what is drawn, what is restored
// when it moves and what its area holds.
std::array<Line, 2> needle_lines(int x, int y, int w, float level) {
  const Point pivot = meter_pivot(x, y, w);
  const NeedleTip tip = needle_tip(level);
  const int root = y + kNeedleRootDrop;
  return {{{pivot.x, root, pivot.x + tip.dx, pivot.y + tip.dy},
           {pivot.x + 1, root, pivot.x + tip.dx + 1, pivot.y + tip.dy}}};
}

Rect line_box(const Line& line) {
  const int x0 = std::min(line.x0, line.x1), y0 = std::min(line.y0, line.y1);
  return {x0, y0, std::max(line.x0, line.x1) - x0 + 1, std::max(line.y0, line.y1) - y0 + 1};
}

// The needle's lines and the pivot over them; darkened as a dialog darkens
// them when `dim` is set.
void draw_vu_needle(Renderer& r, int x, int y, int w, float level, bool dim = false) {
  static_assert(kMeterNeedle >> 24 == 0xFF, "darkening an opaque needle gives a needle");
  const uint32_t needle = dim ? dimmed(kMeterNeedle) : kMeterNeedle;
  for (const Line& line : needle_lines(x, y, w, level)) {
    r.draw_line(line.x0, line.y0, line.x1, line.y1, needle);
  }
  const Point pivot = meter_pivot(x, y, w);
  r.fill_circle(pivot.x, pivot.y, kPivotRadius, dim ? dimmed(kPivot) : kPivot);
}

Rect pivot_area(int x, int y, int w) {
  const Point pivot = meter_pivot(x, y, w);
  return {pivot.x - kPivotRadius, pivot.y - kPivotRadius, 2 * kPivotRadius + 1,
          2 * kPivotRadius + 1};
}

void draw_vu_meters(Renderer& r, const Rect (&meters)[2], std::string_view left_label,
                    std::string_view right_label, const FrameInputs& in) {
  auto [left, right] = vu_levels(in.playback.kind, in.frame_counter);
  draw_vu_meter(r, meters[0], left_label, left);
  draw_vu_meter(r, meters[1], right_label, right);
}

// How many fact rows fit: each needs the ones above it.
size_t facts_shown(int screen_height) {
  const int k = screen_height - 100;
  size_t n = 0;
  while (n < std::size(kFacts) && k > kFacts[n].needed) ++n;
  return n;
}

// Where the recent titles go, between the fact rows and the bars.
HistoryBox history_box(const Rect& bars, size_t facts);

// The texts of the format and quality rows: the stream's own once the
// engine knows them.
std::string_view format_value(const FrameInputs& in) {
  return in.stream != nullptr && !in.stream->format.empty() ? std::string_view(in.stream->format)
                                                            : kFixedFormat;
}

std::string_view quality_value(const FrameInputs& in) {
  return in.stream != nullptr && !in.stream->quality.empty() ? std::string_view(in.stream->quality)
                                                             : kFixedQuality;
}

size_t history_rows(const FrameInputs& in, const HistoryBox& box) {
  if (in.stream == nullptr || box.rows <= 0) return 0;
  return std::min(in.stream->history.size(), static_cast<size_t>(box.rows));
}

bool view_has_title(const FrameInputs& in) {
  return in.stream != nullptr && !in.stream->title.empty();
}

void describe_meter_needles(const FrameInputs& in, const Rect (&meters)[2], ScreenParts& out) {
  auto [left, right] = vu_levels(in.playback.kind, in.frame_counter);
  const float levels[] = {left, right};
  for (uint32_t i = 0; i < 2; ++i) {
    const Rect& m = meters[i];
    NeedleTip tip = needle_tip(levels[i]);
    out.add(part_id(PartKind::MeterNeedle, i),
            PartKey().add(m.x).add(m.y).add(m.w).add(tip.dx).add(tip.dy).value(),
            [&] { return vu_needle_area(m.x, m.y, m.w, levels[i]); },
            Sprite::needle(m.x, m.y, m.w, levels[i]));
  }
}

// Where the facts' labels start and their values end.
TextSpot fact_label(const DetailPanelGeometry& g, size_t i) {
  return {g.x, kFacts[i].y, kFactSize};
}

TextSpot fact_value_end(const DetailPanelGeometry& g, size_t i) {
  return {g.value_right, kFacts[i].y, kFactSize};
}

HistoryBox history_box(const Rect& bars, size_t facts) {
  HistoryBox box;
  if (facts < std::size(kFacts)) return box;
  box.heading_y = kFacts[facts - 1].y + 26;
  box.first_y = box.heading_y + 20;
  const int bottom = bars.y - 6;
  box.rows = bottom - box.first_y >= 16 ? (bottom - box.first_y - 16) / kHistoryPitch + 1 : 0;
  return box;
}

// Every pixel the recent titles can touch: their rows, to the screen's edge.
Rect history_area(const Renderer& r, int x, const HistoryBox& box, size_t rows) {
  return unite(r.text_area(x, box.heading_y, kFactSize),
               r.text_area(x, box.first_y + kHistoryPitch * static_cast<int>(rows - 1), kFactSize));
}

// The now-playing card's title and artist.
Rect title_area(const Renderer& r, const NowPlayingGeometry& g) {
  return unite(text_area_at(r, g.title), text_area_at(r, g.artist));
}

}  // namespace

Rect vu_needle_area(int x, int y, int w, float level) {
  const std::array<Line, 2> lines = needle_lines(x, y, w, level);
  return unite(line_box(lines[0]), line_box(lines[1]));
}

void draw_vu_meter(Renderer& r, const Rect& box, std::string_view label, float level) {
  const int x = box.x, y = box.y, w = box.w;
  r.fill_rounded_rect(x, y, w, box.h, 6, kCard);
  r.fill_rounded_rect(x + 2, y + 2, w - 4, box.h - 4, 4, kMeterFace);
  draw_frame(r, box, 1, kMeterFrame);
  r.draw_text(label, x + 8, y + 4, kLabelInk, 11);
  r.draw_text("VU dB", x + w - 38, y + 4, kLine, 9);

  const Point pivot = meter_pivot(x, y, w);
  struct Mark {
    float degrees;
    uint32_t colour;
  };
  static constexpr Mark kMarks[] = {
      {-40, 0xFF64748B}, {-20, 0xFF64748B}, {-5, 0xFF64748B}, {15, 0xFF1E293B}, {35, 0xFFDC2626}};
  for (const Mark& mark : kMarks) {
    float theta = radians(mark.degrees - 90.0f);
    float c = std::cos(theta), s = std::sin(theta);
    r.draw_line(pivot.x + static_cast<int>(c * 57.0f), pivot.y + static_cast<int>(s * 57.0f),
                pivot.x + static_cast<int>(c * 62.0f), pivot.y + static_cast<int>(s * 62.0f),
                mark.colour);
  }

  // The needle moves on every frame and nothing is drawn over it but its
  // pivot: a sprite.
  Renderer::SpriteScope sprite(r, vu_needle_sweep(x, y, w));
  draw_vu_needle(r, x, y, w, level);
}

Rect vu_needle_sweep(int x, int y, int w) {
  // The tips move left to right with the level, never further from the
  // pivot than the needle's length.
  const int cy = meter_pivot(x, y, w).y;
  Rect sweep = unite(vu_needle_area(x, y, w, 0.0f), vu_needle_area(x, y, w, 1.0f));
  sweep = unite(sweep, Rect{sweep.x, cy - kNeedleLength, sweep.w, kNeedleLength});
  return unite(sweep, pivot_area(x, y, w));
}

Rect sprite_area(const Renderer& r, const Sprite& sprite) {
  switch (sprite.kind) {
    case Sprite::Kind::LevelBars:
      return r.on_screen(Renderer::level_bars_area(sprite.x, sprite.y, sprite.w, sprite.h));
    case Sprite::Kind::Needle:
      return r.on_screen(vu_needle_sweep(sprite.x, sprite.y, sprite.w));
    case Sprite::Kind::None:
      break;
  }
  return {};
}

bool sprite_movable(const Sprite& from, const Sprite& to) {
  if (from.kind != to.kind || from.x != to.x || from.y != to.y || from.w != to.w ||
      from.h != to.h) {
    return false;
  }
  switch (to.kind) {
    case Sprite::Kind::LevelBars: return from.active && to.active;
    case Sprite::Kind::Needle: return true;
    case Sprite::Kind::None: break;
  }
  return false;
}

void move_sprite(Renderer& r, const Backdrop& under, const Sprite& from, const Sprite& to,
                 std::vector<Rect>& moved) {
  if (to.kind == Sprite::Kind::LevelBars) {
    r.move_level_bars(under, to.x, to.y, to.w, to.h, from.phase, to.phase, moved);
    return;
  }
  for (const Line& line : needle_lines(to.x, to.y, to.w, from.level)) {
    r.restore_line(under, line.x0, line.y0, line.x1, line.y1);
  }
  draw_vu_needle(r, to.x, to.y, to.w, to.level, under.dimmed);
  Rect written = unite(vu_needle_area(to.x, to.y, to.w, from.level),
                       vu_needle_area(to.x, to.y, to.w, to.level));
  moved.push_back(intersection(unite(written, pivot_area(to.x, to.y, to.w)), under.area));
}

void draw_detail_panel(Renderer& r, const FrameInputs& in, const ListGeometry& list) {
  const DetailPanelGeometry g = detail_panel_geometry(r.width(), list);
  const int px = g.x;
  if (g.has_card) {
    r.fill_rounded_rect(g.card.x, g.card.y, g.card.w, g.card.h, 8, kCard);
    draw_frame(r, g.card, 1, kLine);
  }
  const Channel* channel = selected_channel(in);
  if (channel == nullptr) {
    draw_text_at(r, "Không có kênh chọn.", g.empty, kMuted);
    return;
  }

  r.fill_rounded_rect(g.badge.x, g.badge.y, g.badge.w, g.badge.h, 6, badge_colour(*channel));
  draw_placed(r, place_centred(r, channel->short_name, g.badge_text, g.badge.w), kWhite);
  StatusLabel status = status_label(in.playback.kind);
  draw_text_at(r, status.text, g.status, status.colour);
  // The texts are cut to the panel only when they are to be drawn.
  if (r.visible(text_area_at(r, g.name))) {
    std::string name = shorten_to_width(channel->name, g.text_width,
                                        [&](char32_t c) { return r.advance(c, g.name.size); });
    draw_text_at(r, name, g.name, kWhite);
  }
  if (r.visible(text_area_at(r, g.description))) {
    std::string_view description = channel->description.empty()
                                       ? "Đài phát thanh truyền hình trực tuyến Việt Nam"
                                       : std::string_view(channel->description);
    std::string shown = shorten_to_width(
        description, g.text_width, [&](char32_t c) { return r.advance(c, g.description.size); });
    draw_text_at(r, shown, g.description, kMuted);
  }

  draw_vu_meters(r, g.meters, "CH-L", "CH-R", in);

  std::string values[] = {channel->frequency, std::string(format_value(in)),
                          std::string(quality_value(in)),
                          clock_hours_minutes_seconds(in.listening_seconds),
                          std::string(sleep_label(in.sleep_option))};
  const size_t facts = facts_shown(r.height());
  for (size_t i = 0; i < facts; ++i) {
    draw_text_at(r, kFacts[i].label, fact_label(g, i), kMuted);
    draw_placed(r, place_right_aligned(r, std::move(values[i]), fact_value_end(g, i)), kAccent);
  }

  const HistoryBox box = history_box(g.bars, facts);
  const size_t rows = history_rows(in, box);
  if (rows > 0 && r.visible(history_area(r, px, box, rows))) {
    r.draw_text("Vừa phát", px, box.heading_y, kMuted, kFactSize);
    const int64_t room = int64_t{g.value_right} - (px + kHistoryTextX);
    for (size_t i = 0; i < rows; ++i) {
      const StreamReport::Played& played = in.stream->history[i];
      const int y = box.first_y + kHistoryPitch * static_cast<int>(i);
      r.draw_text(played.time, px, y, kAccent, kFactSize);
      std::string text = fit_with_ellipsis(played.text, room,
                                           [&](char32_t c) { return r.advance(c, kFactSize); });
      r.draw_text(text, px + kHistoryTextX, y, played.current ? kWhite : kPlayedTitle, kFactSize);
    }
  }

  r.draw_level_bars(g.bars.x, g.bars.y, g.bars.w, g.bars.h, in.frame_counter,
                    in.playback.is(PlaybackStatus::Kind::Playing));
}

void describe_detail_panel(Renderer& r, const FrameInputs& in, const ListGeometry& list,
                           ScreenParts& out) {
  const DetailPanelGeometry g = detail_panel_geometry(r.width(), list);
  const Channel* channel = selected_channel(in);
  PartKey key;
  key.add(channel != nullptr);
  const size_t facts = channel != nullptr ? facts_shown(r.height()) : 0;
  // The card, and every text of the panel: some are centred or right-aligned
  // and not cut, so they can reach across the whole width.
  auto area = [&] {
    Rect a = unite(g.card, unite(g.meters[0], g.meters[1]));
    for (const TextSpot& text : {g.empty, g.badge_text, g.status, g.name, g.description}) {
      a = unite(a, text_row_area(r, text));
    }
    if (facts > 0) a = unite(a, text_row_area(r, fact_label(g, facts - 1)));
    return a;
  };
  if (channel == nullptr) {
    out.add(part_id(PartKind::Panel), key.value(), area);
    return;
  }
  key.add(channel->short_name).add(channel->color).add(channel->name).add(channel->description);
  key.add(static_cast<int>(in.playback.kind)).add(channel->frequency);
  key.add(sleep_label(in.sleep_option));
  key.add(format_value(in)).add(quality_value(in));
  out.add(part_id(PartKind::Panel), key.value(), area);

  const HistoryBox box = history_box(g.bars, facts);
  if (const size_t rows = history_rows(in, box)) {
    PartKey history;
    history.add(uint64_t{rows});
    for (size_t i = 0; i < rows; ++i) {
      const StreamReport::Played& played = in.stream->history[i];
      history.add(played.time).add(played.text).add(played.current);
    }
    out.add(part_id(PartKind::History), history.value(),
            [&] { return history_area(r, g.x, box, rows); });
  }

  describe_meter_needles(in, g.meters, out);
  if (facts > kListeningFact) {
    out.add(part_id(PartKind::ListeningFact), PartKey().add(in.listening_seconds).value(), [&] {
      std::string value = clock_hours_minutes_seconds(in.listening_seconds);
      return placed_area(
          r, place_right_aligned(r, std::move(value), fact_value_end(g, kListeningFact)));
    });
  }
  describe_level_bars(out, part_id(PartKind::PanelBars), g.bars, in.frame_counter,
                      in.playback.is(PlaybackStatus::Kind::Playing));
}

void describe_now_playing_view(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  const Channel* channel = selected_channel(in);
  if (channel == nullptr) return;
  const int W = r.width(), H = r.height();
  const bool titled = view_has_title(in);
  const NowPlayingGeometry g = now_playing_geometry(W, H, titled);

  // The view is drawn only while the selection names a channel: its coming
  // and going repaints the screen, and so does the room made for a title.
  out.add(part_id(PartKind::View), PartKey().add(titled).value(), [&] { return Rect{0, 0, W, H}; });
  PartKey texts;
  texts.add(channel->name).add(channel->frequency).add(static_cast<int>(in.playback.kind));
  out.add(part_id(PartKind::ViewTexts), texts.value(), [&] {
    return unite(text_row_area(r, g.name),
                 unite(text_row_area(r, g.frequency), text_row_area(r, g.status)));
  });
  if (titled) {
    PartKey title;
    title.add(in.stream->title).add(in.stream->artist);
    out.add(part_id(PartKind::ViewTitle), title.value(), [&] { return title_area(r, g); });
  }

  describe_meter_needles(in, g.meters, out);
  describe_level_bars(out, part_id(PartKind::ViewBars), g.bars, in.frame_counter,
                      in.playback.is(PlaybackStatus::Kind::Playing));

  PartKey info;
  info.add(in.listening_seconds).add(sleep_label(in.sleep_option));
  out.add(part_id(PartKind::ViewInfo), info.value(), [&] { return text_row_area(r, g.info); });

  out.add(part_id(PartKind::ViewVolume), PartKey().add(in.volume).value(), [&] {
    return placed_area(r, place_right_aligned(r, volume_text(in.volume), g.volume));
  });
}

void draw_now_playing_view(Renderer& r, const FrameInputs& in) {
  const Channel* channel = selected_channel(in);
  if (channel == nullptr) return;
  const bool titled = view_has_title(in);
  const NowPlayingGeometry g = now_playing_geometry(r.width(), r.height(), titled);

  fill_box(r, g.top_band, kPanel);
  draw_text_at(r, "ZE-RADIO STUDIO DECK", g.heading, kRed);

  const Rect& card = g.card;
  r.fill_rounded_rect(card.x, card.y, card.w, card.h, 16, kCard);
  draw_frame(r, card, 2, kLine);

  std::string name = shorten_to_width(channel->name, g.text_width,
                                      [&](char32_t c) { return r.advance(c, g.name.size); });
  draw_text_at(r, name, g.name, kWhite);
  draw_text_at(r, channel->frequency, g.frequency, kAccent);
  StatusLabel status = status_label(in.playback.kind);
  draw_placed(r, place_right_aligned(r, std::string(status.text), g.status), status.colour);
  if (titled && r.visible(title_area(r, g))) {
    auto fitted = [&](const std::string& text, const TextSpot& at) {
      return fit_with_ellipsis(text, g.text_width,
                               [&](char32_t c) { return r.advance(c, at.size); });
    };
    draw_text_at(r, fitted(in.stream->title, g.title), g.title, kWhite);
    draw_text_at(r, fitted(in.stream->artist, g.artist), g.artist, kMuted);
  }

  draw_vu_meters(r, g.meters, "LEFT", "RIGHT", in);
  r.draw_level_bars(g.bars.x, g.bars.y, g.bars.w, g.bars.h, in.frame_counter,
                    in.playback.is(PlaybackStatus::Kind::Playing));

  std::string info = fmt::format("Đã nghe: {}   •   Hẹn giờ: {}",
                                 clock_hours_minutes_seconds(in.listening_seconds),
                                 sleep_label(in.sleep_option));
  draw_placed(r, place_centred(r, std::move(info), g.info, card.w), kMuted);

  fill_box(r, g.bottom_band, kPanel);
  draw_text_at(r, "[START/B] Trở lại danh sách   [A] Phát lại   [L2/R2] Âm lượng", g.keys,
               kMuted);
  draw_placed(r, place_right_aligned(r, volume_text(in.volume), g.volume), kAccent);
}

}  // namespace ze
