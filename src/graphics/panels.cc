// The detail panel beside the list, the full-screen now-playing view and the
// analogue VU meters both of them show. The meters and bars are animated
// from the frame counter and the playback state; the program has no access
// to the audio signal, which an external player produces.
#include <algorithm>
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

// The needle's two lines from the pivot to the tip for `level`, and the
// pivot over them; darkened as a dialog darkens them when `dim` is set.
void draw_vu_needle(Renderer& r, int x, int y, int w, float level, bool dim = false) {
  static_assert(kMeterNeedle >> 24 == 0xFF, "darkening an opaque needle gives a needle");
  const int cx = x + w / 2;
  const int cy = y + 70;
  const uint32_t needle = dim ? dimmed(kMeterNeedle) : kMeterNeedle;
  auto [ex, ey] = needle_tip(level);
  r.draw_line(cx, y + 68, cx + ex, cy + ey, needle);
  r.draw_line(cx + 1, y + 68, cx + ex + 1, cy + ey, needle);
  r.fill_circle(cx, cy, 4, dim ? dimmed(kPivot) : kPivot);
}

Rect pivot_area(int x, int y, int w) { return {x + w / 2 - 4, y + 70 - 4, 9, 9}; }

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

void describe_meter_needles(const FrameInputs& in, int x, int y, int w, int gap,
                            ScreenParts& out) {
  auto [left, right] = vu_levels(in.playback.kind, in.frame_counter);
  const float levels[] = {left, right};
  for (uint32_t i = 0; i < 2; ++i) {
    NeedleTip tip = needle_tip(levels[i]);
    const int mx = x + int(i) * (w + gap);
    out.add(part_id(PartKind::MeterNeedle, i),
            PartKey().add(x).add(y).add(tip.dx).add(tip.dy).value(), [&] { return vu_needle_area(mx, y, w, levels[i]); },
            Sprite::needle(mx, y, w, levels[i]));
  }
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
  return unite(r.text_area(x, box.heading_y, 12),
               r.text_area(x, box.first_y + kHistoryPitch * static_cast<int>(rows - 1), 12));
}

}  // namespace

Rect vu_needle_area(int x, int y, int w, float level) {
  const int cx = x + w / 2;
  const int cy = y + 70;
  NeedleTip tip = needle_tip(level);
  // Two lines from (cx, y + 68) and (cx + 1, y + 68) to the tip and one
  // column right of it.
  int x0 = std::min(cx, cx + tip.dx), x1 = std::max(cx, cx + tip.dx) + 1;
  int y0 = std::min(y + 68, cy + tip.dy), y1 = std::max(y + 68, cy + tip.dy);
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

void draw_vu_meter(Renderer& r, int x, int y, int w, std::string_view label, float level) {
  r.fill_rounded_rect(x, y, w, 76, 6, kCard);
  r.fill_rounded_rect(x + 2, y + 2, w - 4, 72, 4, kMeterFace);
  draw_frame(r, x, y, w, 76, 1, kMeterFrame);
  r.draw_text(label, x + 8, y + 4, kLabelInk, 11);
  r.draw_text("VU dB", x + w - 38, y + 4, kLine, 9);

  const int cx = x + w / 2;
  const int cy = y + 70;
  struct Mark {
    float degrees;
    uint32_t colour;
  };
  static constexpr Mark kMarks[] = {
      {-40, 0xFF64748B}, {-20, 0xFF64748B}, {-5, 0xFF64748B}, {15, 0xFF1E293B}, {35, 0xFFDC2626}};
  for (const Mark& mark : kMarks) {
    float theta = radians(mark.degrees - 90.0f);
    float c = std::cos(theta), s = std::sin(theta);
    r.draw_line(cx + static_cast<int>(c * 57.0f), cy + static_cast<int>(s * 57.0f),
                cx + static_cast<int>(c * 62.0f), cy + static_cast<int>(s * 62.0f), mark.colour);
  }

  // The needle moves on every frame and nothing is drawn over it but its
  // pivot: a sprite.
  Renderer::SpriteScope sprite(r, vu_needle_sweep(x, y, w));
  draw_vu_needle(r, x, y, w, level);
}

Rect vu_needle_sweep(int x, int y, int w) {
  // The tips move left to right with the level, never further from the
  // pivot than the needle's length.
  const int cy = y + 70;
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
  const int cx = to.x + to.w / 2, cy = to.y + 70;
  NeedleTip tip = needle_tip(from.level);
  r.restore_line(under, cx, to.y + 68, cx + tip.dx, cy + tip.dy);
  r.restore_line(under, cx + 1, to.y + 68, cx + tip.dx + 1, cy + tip.dy);
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
    draw_frame(r, g.card.x, g.card.y, g.card.w, g.card.h, 1, kLine);
  }
  const Channel* channel = selected_channel(in);
  if (channel == nullptr) {
    r.draw_text("Không có kênh chọn.", list.width + 46, 122, kMuted, 16);
    return;
  }

  r.fill_rounded_rect(g.badge.x, g.badge.y, g.badge.w, g.badge.h, 6, badge_colour(*channel));
  int badge_x =
      g.badge.x + (g.badge.w - static_cast<int>(r.measure_text(channel->short_name, 13))) / 2;
  r.draw_text(channel->short_name, badge_x, 114, kWhite, 13);
  StatusLabel status = status_label(in.playback.kind);
  r.draw_text(status.text, g.status_x, 114, status.colour, 13);
  // The texts are cut to the panel only when they are to be drawn.
  if (r.visible(r.text_area(px, 144, 16))) {
    std::string name = shorten_to_width(channel->name, g.text_width,
                                        [&](char32_t c) { return r.advance(c, 16); });
    r.draw_text(name, px, 144, kWhite, 16);
  }
  if (r.visible(r.text_area(px, 168, 12))) {
    std::string_view description = channel->description.empty()
                                       ? "Đài phát thanh truyền hình trực tuyến Việt Nam"
                                       : std::string_view(channel->description);
    std::string shown = shorten_to_width(description, g.text_width,
                                         [&](char32_t c) { return r.advance(c, 12); });
    r.draw_text(shown, px, 168, kMuted, 12);
  }

  const int mw = g.meter_width;
  auto [left, right] = vu_levels(in.playback.kind, in.frame_counter);
  draw_vu_meter(r, px, g.meter_y, mw, "CH-L", left);
  draw_vu_meter(r, px + mw + g.meter_gap, g.meter_y, mw, "CH-R", right);

  const std::string values[] = {channel->frequency, std::string(format_value(in)),
                                std::string(quality_value(in)),
                                clock_hours_minutes_seconds(in.listening_seconds),
                                std::string(sleep_label(in.sleep_option))};
  const size_t facts = facts_shown(r.height());
  for (size_t i = 0; i < facts; ++i) {
    r.draw_text(kFacts[i].label, px, kFacts[i].y, kMuted, 12);
    const std::string& value = values[i];
    r.draw_text(value, g.value_right - static_cast<int>(r.measure_text(value, 12)), kFacts[i].y,
                kAccent, 12);
  }

  const HistoryBox box = history_box(g.bars, facts);
  const size_t rows = history_rows(in, box);
  if (rows > 0 && r.visible(history_area(r, px, box, rows))) {
    r.draw_text("Vừa phát", px, box.heading_y, kMuted, 12);
    const int64_t room = int64_t{g.value_right} - (px + kHistoryTextX);
    for (size_t i = 0; i < rows; ++i) {
      const StreamReport::Played& played = in.stream->history[i];
      const int y = box.first_y + kHistoryPitch * static_cast<int>(i);
      r.draw_text(played.time, px, y, kAccent, 12);
      std::string text =
          fit_with_ellipsis(played.text, room, [&](char32_t c) { return r.advance(c, 12); });
      r.draw_text(text, px + kHistoryTextX, y, played.current ? kWhite : kPlayedTitle, 12);
    }
  }

  r.draw_level_bars(g.bars.x, g.bars.y, g.bars.w, g.bars.h, in.frame_counter,
                    in.playback.is(PlaybackStatus::Kind::Playing));
}

void describe_detail_panel(Renderer& r, const FrameInputs& in, const ListGeometry& list,
                           ScreenParts& out) {
  const int W = r.width();
  const DetailPanelGeometry g = detail_panel_geometry(W, list);
  const int px = g.x;
  const Channel* channel = selected_channel(in);
  PartKey key;
  key.add(channel != nullptr);
  const size_t facts = channel != nullptr ? facts_shown(r.height()) : 0;
  // The card, and every text of the panel: some are centred or right-aligned
  // and not cut, so they can reach across the whole width.
  auto area = [&] {
    Rect a = g.card;
    a = unite(a, r.text_area(0, 114, 16));
    a = unite(a, r.text_area(0, 122, 16));
    a = unite(a, r.text_area(0, 144, 16));
    a = unite(a, r.text_area(0, 168, 12));
    a = unite(a, Rect{px, g.meter_y, W - px, 76});  // the meters
    if (facts > 0) a = unite(a, r.text_area(0, kFacts[facts - 1].y, 12));
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
            [&] { return history_area(r, px, box, rows); });
  }

  describe_meter_needles(in, px, g.meter_y, g.meter_width, g.meter_gap, out);
  if (facts > kListeningFact) {
    out.add(part_id(PartKind::ListeningFact), PartKey().add(in.listening_seconds).value(), [&] {
      std::string value = clock_hours_minutes_seconds(in.listening_seconds);
      uint32_t width = r.measure_text(value, 12);
      return r.text_area(g.value_right - static_cast<int>(width), kFacts[kListeningFact].y, 12,
                         width);
    });
  }
  bool playing = in.playback.is(PlaybackStatus::Kind::Playing);
  const Rect& bars = g.bars;
  out.add(part_id(PartKind::PanelBars),
          PartKey().add(playing).add(playing ? in.frame_counter : 0u).value(),
          [&] { return Renderer::level_bars_area(bars.x, bars.y, bars.w, bars.h); },
          Sprite::level_bars(bars.x, bars.y, bars.w, bars.h, in.frame_counter, playing));
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
  out.add(part_id(PartKind::ViewTexts), texts.value(),
          [&] { return unite(r.text_area(0, g.y, 20), r.text_area(0, g.y + 30, 14)); });
  if (titled) {
    PartKey title;
    title.add(in.stream->title).add(in.stream->artist);
    out.add(part_id(PartKind::ViewTitle), title.value(), [&] {
      return unite(r.text_area(g.x, g.title_y, 16), r.text_area(g.x, g.artist_y, 13));
    });
  }

  describe_meter_needles(in, g.meter_x, g.meter_y, g.meter_width, g.meter_gap, out);

  bool playing = in.playback.is(PlaybackStatus::Kind::Playing);
  const Rect& bars = g.bars;
  out.add(part_id(PartKind::ViewBars),
          PartKey().add(playing).add(playing ? in.frame_counter : 0u).value(),
          [&] { return Renderer::level_bars_area(bars.x, bars.y, bars.w, bars.h); },
          Sprite::level_bars(bars.x, bars.y, bars.w, bars.h, in.frame_counter, playing));

  PartKey info;
  info.add(in.listening_seconds).add(sleep_label(in.sleep_option));
  out.add(part_id(PartKind::ViewInfo), info.value(), [&] { return r.text_area(0, g.info_y, 13); });

  out.add(part_id(PartKind::ViewVolume), PartKey().add(in.volume).value(), [&] {
    std::string volume = fmt::format("VOL: {}%", in.volume);
    uint32_t width = r.measure_text(volume, 13);
    return r.text_area(W - 20 - static_cast<int>(width), H - 34, 13, width);
  });
}

void draw_now_playing_view(Renderer& r, const FrameInputs& in) {
  const Channel* channel = selected_channel(in);
  if (channel == nullptr) return;
  const int W = r.width(), H = r.height();

  r.fill_rect(0, 0, W, 50, kPanel);
  r.draw_text("ZE-RADIO STUDIO DECK", 20, 16, kRed, 16);

  const bool titled = view_has_title(in);
  const NowPlayingGeometry g = now_playing_geometry(W, H, titled);
  const Rect& card = g.card;
  r.fill_rounded_rect(card.x, card.y, card.w, card.h, 16, kCard);
  draw_frame(r, card.x, card.y, card.w, card.h, 2, kLine);

  std::string name = shorten_to_width(channel->name, g.text_width,
                                      [&](char32_t c) { return r.advance(c, 20); });
  r.draw_text(name, g.x, g.y, kWhite, 20);
  r.draw_text(channel->frequency, g.x, g.y + 30, kAccent, 14);
  StatusLabel status = status_label(in.playback.kind);
  r.draw_text(status.text, g.x + g.text_width - static_cast<int>(r.measure_text(status.text, 13)),
              g.y + 30, status.colour, 13);
  if (titled && r.visible(unite(r.text_area(g.x, g.title_y, 16), r.text_area(g.x, g.artist_y, 13)))) {
    r.draw_text(fit_with_ellipsis(in.stream->title, g.text_width,
                                  [&](char32_t c) { return r.advance(c, 16); }),
                g.x, g.title_y, kWhite, 16);
    r.draw_text(fit_with_ellipsis(in.stream->artist, g.text_width,
                                  [&](char32_t c) { return r.advance(c, 13); }),
                g.x, g.artist_y, kMuted, 13);
  }

  const int mw = g.meter_width;
  auto [left, right] = vu_levels(in.playback.kind, in.frame_counter);
  draw_vu_meter(r, g.meter_x, g.meter_y, mw, "LEFT", left);
  draw_vu_meter(r, g.meter_x + mw + g.meter_gap, g.meter_y, mw, "RIGHT", right);

  r.draw_level_bars(g.bars.x, g.bars.y, g.bars.w, g.bars.h, in.frame_counter,
                    in.playback.is(PlaybackStatus::Kind::Playing));

  std::string info = fmt::format("Đã nghe: {}   •   Hẹn giờ: {}",
                                 clock_hours_minutes_seconds(in.listening_seconds),
                                 sleep_label(in.sleep_option));
  r.draw_text(info, card.x + (card.w - static_cast<int>(r.measure_text(info, 13))) / 2, g.info_y,
              kMuted, 13);

  r.fill_rect(0, H - 50, W, 50, kPanel);
  r.draw_text("[START/B] Trở lại danh sách   [A] Phát lại   [L2/R2] Âm lượng", 20, H - 34,
              kMuted, 13);
  std::string volume = fmt::format("VOL: {}%", in.volume);
  r.draw_text(volume, W - 20 - static_cast<int>(r.measure_text(volume, 13)), H - 34, kAccent, 13);
}

}  // namespace ze
