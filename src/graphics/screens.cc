#include "graphics/screens.h"

#include <fmt/format.h>

#include "graphics/palette.h"
#include "graphics/screen_parts.h"

namespace ze {
namespace {

using namespace palette;

// A pill right-aligned to `right`: its text, 8 pixels of room either side.
// Returns the pill's left edge.
int draw_pill(Renderer& r, const HeaderGeometry& g, int right, std::string_view text,
              uint32_t colour, uint32_t ink) {
  const int w = static_cast<int>(r.measure_text(text, g.pill_text.size)) + 16;
  const int left = right - w;
  r.fill_rounded_rect(left, g.pill_y, w, g.pill_height, 6, colour);
  r.draw_text(text, left + 8, g.pill_text.y, ink, g.pill_text.size);
  return left;
}

void draw_header(Renderer& r, const FrameInputs& in) {
  const int W = r.width();
  const HeaderGeometry g = header_geometry(W);
  fill_box(r, g.band, kPanel);
  fill_box(r, g.rule, kLine);
  r.fill_rounded_rect(g.badge.x, g.badge.y, g.badge.w, g.badge.h, 6, kRed);
  draw_text_at(r, "ZE-RADIO", g.title, kWhite);

  if (in.category_index < in.categories.size()) {
    std::string switcher =
        fmt::format("◀ [L1]  {}  [R1] ▶", in.categories[in.category_index].name);
    draw_placed(r, place_centred(r, std::move(switcher), g.switcher, W), kAccent);
  }

  int right = g.pill_text.x;
  if (in.sleep_option != 0) {
    std::string text = sleep_pill_text(in.sleep_option, in.sleep_active, in.sleep_remaining);
    right = draw_pill(r, g, right, text, kAmber, kBlack) - 10;  // the gap between the pills
  }
  Pill pill = update_pill(in.update);
  draw_pill(r, g, right, pill.text, pill.colour, kWhite);
}

void describe_header(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  PartKey key;
  key.add(in.category_index < in.categories.size());
  if (in.category_index < in.categories.size()) key.add(in.categories[in.category_index].name);
  // The values the pills' texts are made from.
  key.add(uint32_t{in.sleep_option}).add(in.sleep_active);
  if (in.sleep_active) key.add(in.sleep_remaining);
  // The update pill by what it shows: a download's progress redraws the
  // header only when its figure changes.
  Pill pill = update_pill(in.update);
  key.add(pill.text).add(pill.colour);
  out.add(part_id(PartKind::Header), key.value(), [&] {
    const HeaderGeometry g = header_geometry(r.width());
    Rect area = unite(g.band, g.rule);
    for (const TextSpot& text : {g.title, g.switcher, g.pill_text}) {
      area = unite(area, text_row_area(r, text));
    }
    return area;
  });
}

void draw_dial(Renderer& r, const FrameInputs& in) {
  const int W = r.width();
  if (W <= 32) return;
  r.fill_rounded_rect(16, 52, W - 32, 32, 6, kDialFace);
  r.fill_rect(16, 52, W - 32, 1, kRaised);
  r.fill_rect(16, 83, W - 32, 1, kRaised);
  r.fill_rect(16, 52, 1, 32, kRaised);
  r.fill_rect(W - 17, 52, 1, 32, kRaised);

  for (int f = 87; f <= 108; ++f) {
    int x = dial_x(static_cast<float>(f), W);
    bool major = f % 2 == 0 || f == 87 || f == 99;
    r.draw_line(x, 56, x, major ? 64 : 60, kTick);
    if (major && f >= 88 && f <= 106) {
      std::string number = std::to_string(f);
      r.draw_text(number, x - static_cast<int>(r.measure_text(number, 10) / 2), 66, kMuted, 10);
    }
  }
  r.draw_text("FM", 26, 71, kAccent, 10);
  r.draw_text("MHz", W - 50, 71, kMuted, 10);

  const DialNeedle needle = dial_needle(needle_x(in.dial_position, W));
  fill_box(r, needle.line, kNeedle);
  r.fill_rounded_rect(needle.knob.x, needle.knob.y, needle.knob.w, needle.knob.h, 2, kNeedle);
}

void describe_dial(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  if (r.width() <= 32) return;
  int nx = needle_x(in.dial_position, r.width());
  out.add(part_id(PartKind::Needle), PartKey().add(nx).value(), [&] {
    const DialNeedle needle = dial_needle(nx);
    return unite(needle.line, needle.knob);
  });
}

bool is_favourite(const FrameInputs& in, const Channel& channel) {
  return in.favorites != nullptr && in.favorites->count(channel.id) != 0;
}

// Every pixel a row can touch: the row and its texts, which are not all cut
// to the row's width.
Rect row_area(const Renderer& r, const RowGeometry& row) {
  Rect area = row.box;
  for (const TextSpot& text : {row.name, row.badge_text, row.loading, row.frequency}) {
    area = unite(area, text_row_area(r, text));
  }
  return area;
}

// What a row shows at its right end.
enum class RowMarker { None, Bars, Loading };

RowMarker row_marker(const FrameInputs& in, const Channel& channel) {
  if (channel.name != in.playback.text) return RowMarker::None;
  if (in.playback.is(PlaybackStatus::Kind::Playing)) return RowMarker::Bars;
  if (in.playback.is(PlaybackStatus::Kind::Connecting)) return RowMarker::Loading;
  return RowMarker::None;
}

// The station's badge; its text is made smaller, and then cut, to fit.
void draw_row_badge(Renderer& r, const RowGeometry& g, const Channel& channel) {
  r.fill_rounded_rect(g.badge.x, g.badge.y, g.badge.w, g.badge.h, 6, badge_colour(channel));
  std::string badge = badge_text(channel);
  const bool fits = static_cast<int>(r.measure_text(badge, g.badge_text.size)) < g.badge.w - 5;
  const float size = fits ? g.badge_text.size : 11.0f;
  int d = (g.badge.w - static_cast<int>(r.measure_text(badge, size))) / 2;
  r.draw_text(badge, g.badge.x + (d < 3 ? 2 : d), g.badge_text.y, kWhite, size);
}

void draw_row(Renderer& r, const FrameInputs& in, const ListGeometry& list, size_t index,
              int k) {
  const Channel& channel = in.channels[index];
  const RowGeometry g = row_geometry(list, k);
  // A row outside the redrawn region costs nothing, not even the cutting
  // of its name.
  if (!r.visible(row_area(r, g))) return;
  const Rect& box = g.box;
  if (index == in.selection) {
    r.fill_rounded_rect(box.x, box.y, box.w, box.h, 8, kRaised);
    draw_frame(r, box, 2, kRed);
  } else {
    r.fill_rounded_rect(box.x, box.y, box.w, box.h, 8, kPanel);
    draw_frame(r, box, 1, kLine);
  }
  draw_row_badge(r, g, channel);

  std::string name = shorten_to_width(channel.name, int64_t{list.width} - 136,
                                      [&](char32_t c) { return r.advance(c, g.name.size); });
  draw_text_at(r, name, g.name, kWhite);
  if (is_favourite(in, channel)) {
    draw_text_at(r, channel.frequency + "  ⭐", g.frequency, kAmber);
  } else {
    draw_text_at(r, channel.frequency, g.frequency, kMuted);
  }

  switch (row_marker(in, channel)) {
    case RowMarker::Bars:
      r.draw_level_bars(g.bars.x, g.bars.y, g.bars.w, g.bars.h, in.frame_counter, true);
      break;
    case RowMarker::Loading:
      draw_text_at(r, "TẢI...", g.loading, kAmber);
      break;
    case RowMarker::None:
      break;
  }
}

void draw_channel_list(Renderer& r, const FrameInputs& in, const ListGeometry& list) {
  if (in.channels.empty()) {
    const Rect& column = list.column;
    if (column.w >= 1 && column.h > 0) {
      r.fill_rounded_rect(column.x, column.y, column.w, column.h, 8, kPanel);
    }
    draw_text_at(r, "Không có kênh phát thanh nào.", list.empty, kMuted);
    return;
  }
  size_t first = first_visible_row(in.selection, list.visible_rows);
  for (int k = 0; k < list.visible_rows && first + size_t(k) < in.channels.size(); ++k) {
    draw_row(r, in, list, first + size_t(k), k);
  }
}

void describe_channel_list(Renderer& r, const FrameInputs& in, const ListGeometry& list,
                           ScreenParts& out) {
  PartKey key;
  if (in.channels.empty()) {
    key.add(std::string_view("empty"));
    out.add(part_id(PartKind::List), key.value(),
            [&] { return unite(list.column, text_area_at(r, list.empty)); });
    return;
  }
  size_t first = first_visible_row(in.selection, list.visible_rows);
  key.add(uint64_t{first}).add(uint64_t{in.selection});
  int shown = 0;
  for (int k = 0; k < list.visible_rows && first + size_t(k) < in.channels.size(); ++k) {
    const Channel& channel = in.channels[first + size_t(k)];
    key.add(channel.name).add(channel.short_name).add(channel.color).add(channel.frequency);
    key.add(is_favourite(in, channel));
    RowMarker marker = row_marker(in, channel);
    key.add(static_cast<int>(marker));
    if (marker == RowMarker::Bars) {
      describe_level_bars(out, part_id(PartKind::RowBars, uint32_t(k)),
                          row_geometry(list, k).bars, in.frame_counter, true);
    }
    ++shown;
  }
  out.add(part_id(PartKind::List), key.value(), [&] {
    return unite(row_area(r, row_geometry(list, 0)), row_area(r, row_geometry(list, shown - 1)));
  });
}

// The title the footer shows beside a playing station.
std::string_view footer_title(const FrameInputs& in) {
  if (!in.playback.is(PlaybackStatus::Kind::Playing) || in.stream == nullptr) return {};
  return in.stream->title;
}

// The status line's light and text.
void draw_footer_status(Renderer& r, const FrameInputs& in, const FooterGeometry& g) {
  const Rect& light = g.light;
  const TextSpot& status = g.status;
  // The station's name gets what the line leaves free; a long one is cut.
  auto fitted = [&](int64_t room) {
    return shorten_to_width(in.playback.text, room,
                            [&](char32_t c) { return r.advance(c, status.size); });
  };
  // Room for the name between the text's start and the right end.
  auto room_after = [&](int x, std::string_view rest) {
    return int64_t{g.right} - x - r.measure_text(rest, status.size);
  };
  switch (in.playback.kind) {
    case PlaybackStatus::Kind::Idle:
      r.fill_rounded_rect(light.x, light.y, light.w, light.h, 8, kMuted);
      draw_text_at(r, "Chưa phát đài. Nhấn [A] để phát kênh đã chọn.", status, kMuted);
      break;
    case PlaybackStatus::Kind::Connecting: {
      r.fill_rounded_rect(light.x, light.y, light.w, light.h, 8, kAmber);
      std::string dots((in.frame_counter / 20) % 4, '.');
      std::string name = fitted(room_after(status.x, "Đang kết nối: ... (Đang tải đệm)"));
      draw_text_at(r, fmt::format("Đang kết nối: {}{} (Đang tải đệm)", name, dots), status,
                   kAmber);
      break;
    }
    case PlaybackStatus::Kind::Playing: {
      r.fill_rounded_rect(light.x, light.y, light.w, light.h, 8, kGreen);
      r.draw_level_bars(g.bars.x, g.bars.y, g.bars.w, g.bars.h, in.frame_counter, true);
      std::string time = clock_minutes_seconds(in.listening_seconds);
      const int64_t room = room_after(g.playing_x, fmt::format("Đang phát:   [{}]", time));
      // With a title: the station and what it plays, cut as one text.
      std::string name =
          footer_title(in).empty()
              ? fitted(room)
              : fit_with_ellipsis(in.playback.text + " – " + std::string(footer_title(in)), room,
                                  [&](char32_t c) { return r.advance(c, status.size); });
      draw_text_at(r, fmt::format("Đang phát: {}  [{}]", name, time),
                   {g.playing_x, status.y, status.size}, kWhite);
      break;
    }
    case PlaybackStatus::Kind::Error: {
      r.fill_rounded_rect(light.x, light.y, light.w, light.h, 8, kRed);
      std::string text = fitted(room_after(status.x, "Lỗi luồng:  (Nhấn [A] thử lại)"));
      draw_text_at(r, fmt::format("Lỗi luồng: {} (Nhấn [A] thử lại)", text), status, kRed);
      break;
    }
  }
}

void draw_footer(Renderer& r, const FrameInputs& in) {
  const FooterGeometry g = footer_geometry(r.width(), r.height());
  fill_box(r, g.panel, kPanel);
  fill_box(r, g.rule, kLine);
  draw_footer_status(r, in, g);
  draw_text_at(
      r, "[A] Nghe   [B] Dừng   [Y] Thích ⭐   [SELECT] Hẹn giờ ⏰   [X] OTA   [MENU] Thoát",
      g.keys, kMuted);
  draw_placed(r, place_right_aligned(r, volume_text(in.volume), g.volume), kAccent);
}

void describe_footer(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  const FooterGeometry g = footer_geometry(r.width(), r.height());
  PartKey key;
  key.add(static_cast<int>(in.playback.kind)).add(in.playback.text);
  key.add(footer_title(in));
  if (in.playback.is(PlaybackStatus::Kind::Connecting)) key.add((in.frame_counter / 20) % 4);
  if (in.playback.is(PlaybackStatus::Kind::Playing)) {
    describe_level_bars(out, part_id(PartKind::FooterBars), g.bars, in.frame_counter, true);
    key.add(in.listening_seconds % 3600);
  }
  out.add(part_id(PartKind::FooterStatus), key.value(),
          [&] { return unite(g.band, text_row_area(r, g.status)); });

  out.add(part_id(PartKind::FooterVolume), PartKey().add(in.volume).value(), [&] {
    return placed_area(r, place_right_aligned(r, volume_text(in.volume), g.volume));
  });
}

}  // namespace

void describe_main_body(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  ListGeometry list = list_geometry(r.width(), r.height());
  describe_channel_list(r, in, list, out);
  describe_detail_panel(r, in, list, out);
}

void describe_screen(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  describe_header(r, in, out);
  describe_dial(r, in, out);
  switch (in.screen) {
    case Screen::NowPlaying:
      describe_now_playing_view(r, in, out);
      break;
    case Screen::UpdateDialog:
      describe_main_body(r, in, out);
      describe_update_dialog(r, in, out);
      break;
    case Screen::ChannelList:
    case Screen::ExitDialog:
      describe_main_body(r, in, out);
      break;
  }
  if (in.screen != Screen::NowPlaying) describe_footer(r, in, out);
  if (in.volume_counter != 0) describe_volume_notice(r, in, out);
  if (in.screen == Screen::ExitDialog) describe_exit_dialog(r, in, out);
}

void draw_frame(Renderer& r, int x, int y, int w, int h, int thickness, uint32_t colour) {
  r.fill_rect(x, y, w, thickness, colour);
  r.fill_rect(x, y + h - thickness, w, thickness, colour);
  r.fill_rect(x, y, thickness, h, colour);
  r.fill_rect(x + w - thickness, y, thickness, h, colour);
}

PlacedText place_right_aligned(Renderer& r, std::string text, const TextSpot& end) {
  const uint32_t width = r.measure_text(text, end.size);
  const TextSpot at{end.x - static_cast<int>(width), end.y, end.size};
  return {std::move(text), at, width};
}

PlacedText place_centred(Renderer& r, std::string text, const TextSpot& start, int width) {
  const uint32_t measured = r.measure_text(text, start.size);
  const TextSpot at{start.x + (width - static_cast<int>(measured)) / 2, start.y, start.size};
  return {std::move(text), at, measured};
}

void draw_placed(Renderer& r, const PlacedText& text, uint32_t colour) {
  draw_text_at(r, text.text, text.at, colour);
}

Rect placed_area(const Renderer& r, const PlacedText& text) {
  return r.text_area(text.at.x, text.at.y, text.at.size, text.width);
}

Rect text_area_at(const Renderer& r, const TextSpot& spot) {
  return r.text_area(spot.x, spot.y, spot.size);
}

Rect text_row_area(const Renderer& r, const TextSpot& spot) {
  return r.text_area(0, spot.y, spot.size);
}

std::string volume_text(int volume) { return fmt::format("VOL: {}%", volume); }

void describe_level_bars(ScreenParts& out, uint32_t id, const Rect& bars, uint32_t phase,
                         bool active) {
  PartKey key;
  key.add(bars.x).add(bars.y).add(bars.w).add(bars.h).add(active).add(active ? phase : 0u);
  out.add(id, key.value(),
          [&] { return Renderer::level_bars_area(bars.x, bars.y, bars.w, bars.h); },
          Sprite::level_bars(bars.x, bars.y, bars.w, bars.h, phase, active));
}

void draw_main_body(Renderer& r, const FrameInputs& in) {
  ListGeometry list = list_geometry(r.width(), r.height());
  draw_channel_list(r, in, list);
  draw_detail_panel(r, in, list);
}

void render_frame(Renderer& renderer, const FrameInputs& inputs) {
  renderer.clear(kBackground);
  draw_header(renderer, inputs);
  draw_dial(renderer, inputs);
  switch (inputs.screen) {
    case Screen::NowPlaying:
      draw_now_playing_view(renderer, inputs);
      break;
    case Screen::UpdateDialog:
      draw_main_body(renderer, inputs);
      draw_update_dialog(renderer, inputs);
      break;
    case Screen::ChannelList:
    case Screen::ExitDialog:
      draw_main_body(renderer, inputs);
      break;
  }
  if (inputs.screen != Screen::NowPlaying) draw_footer(renderer, inputs);
  if (inputs.volume_counter != 0) draw_volume_notice(renderer, inputs);
  if (inputs.screen == Screen::ExitDialog) draw_exit_dialog(renderer, inputs);
}

}  // namespace ze
