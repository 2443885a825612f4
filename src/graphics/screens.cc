#include "graphics/screens.h"

#include <fmt/format.h>

#include "graphics/palette.h"
#include "graphics/screen_parts.h"

namespace ze {
namespace {

using namespace palette;

void draw_header(Renderer& r, const FrameInputs& in) {
  const int W = r.width();
  r.fill_rect(0, 0, W, 45, kPanel);
  r.fill_rect(0, 45, W, 1, kLine);
  r.fill_rounded_rect(16, 9, 102, 28, 6, kRed);
  r.draw_text("ZE-RADIO", 25, 14, kWhite, 15);

  if (in.category_index < in.categories.size()) {
    std::string switcher =
        fmt::format("◀ [L1]  {}  [R1] ▶", in.categories[in.category_index].name);
    int x = (W - static_cast<int>(r.measure_text(switcher, 15))) / 2;
    r.draw_text(switcher, x, 14, kAccent, 15);
  }

  int right = W - 16;
  if (in.sleep_option != 0) {
    std::string text = sleep_pill_text(in.sleep_option, in.sleep_active, in.sleep_remaining);
    int t = static_cast<int>(r.measure_text(text, 12));
    r.fill_rounded_rect(W - t - 32, 9, t + 16, 28, 6, kAmber);
    r.draw_text(text, W - t - 24, 14, kBlack, 12);
    right = W - t - 42;
  }

  Pill pill = update_pill(in.update);
  int t = static_cast<int>(r.measure_text(pill.text, 12)) + 16;
  r.fill_rounded_rect(right - t, 9, t, 28, 6, pill.colour);
  r.draw_text(pill.text, right - t + 8, 14, kWhite, 12);
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
  out.add(part_id(PartKind::Header), key.value(), [&] { return unite(Rect{0, 0, r.width(), 46}, r.text_area(0, 14, 15)); });
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

  int nx = needle_x(in.dial_position, W);
  r.fill_rect(nx, 54, 2, 29, kNeedle);
  r.fill_rounded_rect(nx - 3, 79, 7, 5, 2, kNeedle);
}

void describe_dial(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  if (r.width() <= 32) return;
  int nx = needle_x(in.dial_position, r.width());
  out.add(part_id(PartKind::Needle), PartKey().add(nx).value(), [&] { return Rect{nx - 3, 54, 7, 30}; });
}

bool is_favourite(const FrameInputs& in, const Channel& channel) {
  return in.favorites != nullptr && in.favorites->count(channel.id) != 0;
}

// Every pixel a row at `y` can touch: the row and its texts, which are not
// all cut to the row's width.
Rect row_area(Renderer& r, int lw, int y) {
  Rect area{16, y, lw, kRowHeight};
  area = unite(area, r.text_area(0, y + 12, 15));
  area = unite(area, r.text_area(0, y + 23, 13));
  area = unite(area, r.text_area(0, y + 24, 11));
  return unite(area, r.text_area(0, y + 35, 12));
}

void draw_row(Renderer& r, const FrameInputs& in, const ListGeometry& list, size_t index,
              int y) {
  const Channel& channel = in.channels[index];
  const int lw = list.width;
  // A row outside the redrawn region costs nothing, not even the cutting
  // of its name.
  if (!r.visible(row_area(r, lw, y))) return;
  if (index == in.selection) {
    r.fill_rounded_rect(16, y, lw, kRowHeight, 8, kRaised);
    r.fill_rect(16, y, lw, 2, kRed);
    r.fill_rect(16, y + 60, lw, 2, kRed);
    r.fill_rect(16, y, 2, kRowHeight, kRed);
    r.fill_rect(lw + 14, y, 2, kRowHeight, kRed);
  } else {
    r.fill_rounded_rect(16, y, lw, kRowHeight, 8, kPanel);
    draw_frame(r, 16, y, lw, kRowHeight, 1, kLine);
  }

  r.fill_rounded_rect(26, y + 10, 76, 42, 6, badge_colour(channel));
  std::string badge = badge_text(channel);
  float size = r.measure_text(badge, 13) < 71 ? 13.0f : 11.0f;
  int d = (76 - static_cast<int>(r.measure_text(badge, size))) / 2;
  r.draw_text(badge, d < 3 ? 28 : 26 + d, y + 23, kWhite, size);

  std::string name = shorten_to_width(channel.name, int64_t{lw} - 136,
                                      [&](char32_t c) { return r.advance(c, 15); });
  r.draw_text(name, 114, y + 12, kWhite, 15);
  if (is_favourite(in, channel)) {
    r.draw_text(channel.frequency + "  ⭐", 114, y + 35, kAmber, 12);
  } else {
    r.draw_text(channel.frequency, 114, y + 35, kMuted, 12);
  }

  if (channel.name == in.playback.text) {
    if (in.playback.is(PlaybackStatus::Kind::Playing)) {
      r.draw_level_bars(lw - 28, y + 20, 30, 22, in.frame_counter, true);
    } else if (in.playback.is(PlaybackStatus::Kind::Connecting)) {
      r.draw_text("TẢI...", lw - 34, y + 24, kAmber, 11);
    }
  }
}

void draw_channel_list(Renderer& r, const FrameInputs& in, const ListGeometry& list) {
  if (in.channels.empty()) {
    if (list.width >= 1 && list.height > 0) {
      r.fill_rounded_rect(16, kListTop, list.width, list.height, 8, kPanel);
    }
    r.draw_text("Không có kênh phát thanh nào.", 40, 132, kMuted, 16);
    return;
  }
  size_t first = first_visible_row(in.selection, list.visible_rows);
  for (int k = 0; k < list.visible_rows && first + size_t(k) < in.channels.size(); ++k) {
    draw_row(r, in, list, first + size_t(k), kListTop + kRowPitch * k);
  }
}

// What a row shows at its right end.
enum class RowMarker { None, Bars, Loading };

RowMarker row_marker(const FrameInputs& in, const Channel& channel) {
  if (channel.name != in.playback.text) return RowMarker::None;
  if (in.playback.is(PlaybackStatus::Kind::Playing)) return RowMarker::Bars;
  if (in.playback.is(PlaybackStatus::Kind::Connecting)) return RowMarker::Loading;
  return RowMarker::None;
}

void describe_channel_list(Renderer& r, const FrameInputs& in, const ListGeometry& list,
                           ScreenParts& out) {
  PartKey key;
  if (in.channels.empty()) {
    key.add(std::string_view("empty"));
    out.add(part_id(PartKind::List), key.value(), [&] { return unite(Rect{16, kListTop, list.width, list.height}, r.text_area(40, 132, 16)); });
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
      int y = kListTop + kRowPitch * k;
      out.add(part_id(PartKind::RowBars, uint32_t(k)), PartKey().add(y).add(in.frame_counter).value(), [&] { return Renderer::level_bars_area(list.width - 28, y + 20, 30, 22); },
              Sprite::level_bars(list.width - 28, y + 20, 30, 22, in.frame_counter, true));
    }
    ++shown;
  }
  out.add(part_id(PartKind::List), key.value(), [&] { return unite(row_area(r, list.width, kListTop), row_area(r, list.width, kListTop + kRowPitch * (shown - 1))); });
}

// The title the footer shows beside a playing station.
std::string_view footer_title(const FrameInputs& in) {
  if (!in.playback.is(PlaybackStatus::Kind::Playing) || in.stream == nullptr) return {};
  return in.stream->title;
}

void draw_footer(Renderer& r, const FrameInputs& in) {
  const int W = r.width(), H = r.height();
  const FooterGeometry g = footer_geometry(W, H);
  r.fill_rect(0, H - 66, W, 66, kPanel);
  r.fill_rect(0, H - 66, W, 1, kLine);

  const int y = g.status_y;
  // The station's name gets what the line leaves free; a long one is cut.
  auto fitted = [&](int64_t room) {
    return shorten_to_width(in.playback.text, room,
                            [&](char32_t c) { return r.advance(c, 14); });
  };
  switch (in.playback.kind) {
    case PlaybackStatus::Kind::Idle:
      r.fill_rounded_rect(16, y, 16, 16, 8, kMuted);
      r.draw_text("Chưa phát đài. Nhấn [A] để phát kênh đã chọn.", 38, y, kMuted, 14);
      break;
    case PlaybackStatus::Kind::Connecting: {
      r.fill_rounded_rect(16, y, 16, 16, 8, kAmber);
      std::string dots((in.frame_counter / 20) % 4, '.');
      std::string name =
          fitted(int64_t{W} - 54 - r.measure_text("Đang kết nối: ... (Đang tải đệm)", 14));
      r.draw_text(fmt::format("Đang kết nối: {}{} (Đang tải đệm)", name, dots), 38, y, kAmber,
                  14);
      break;
    }
    case PlaybackStatus::Kind::Playing: {
      r.fill_rounded_rect(16, y, 16, 16, 8, kGreen);
      r.draw_level_bars(g.bars.x, g.bars.y, g.bars.w, g.bars.h, in.frame_counter, true);
      std::string time = clock_minutes_seconds(in.listening_seconds);
      const int64_t room =
          int64_t{W} - 102 - r.measure_text(fmt::format("Đang phát:   [{}]", time), 14);
      // With a title: the station and what it plays, cut as one text.
      std::string name =
          footer_title(in).empty()
              ? fitted(room)
              : fit_with_ellipsis(in.playback.text + " – " + std::string(footer_title(in)), room,
                                  [&](char32_t c) { return r.advance(c, 14); });
      r.draw_text(fmt::format("Đang phát: {}  [{}]", name, time), 86, y, kWhite, 14);
      break;
    }
    case PlaybackStatus::Kind::Error: {
      r.fill_rounded_rect(16, y, 16, 16, 8, kRed);
      std::string text =
          fitted(int64_t{W} - 54 - r.measure_text("Lỗi luồng:  (Nhấn [A] thử lại)", 14));
      r.draw_text(fmt::format("Lỗi luồng: {} (Nhấn [A] thử lại)", text), 38, y, kRed, 14);
      break;
    }
  }

  r.draw_text(
      "[A] Nghe   [B] Dừng   [Y] Thích ⭐   [SELECT] Hẹn giờ ⏰   [X] OTA   [MENU] Thoát", 16,
      g.keys_y, kMuted, 12);
  std::string volume = fmt::format("VOL: {}%", in.volume);
  r.draw_text(volume, g.volume_right - static_cast<int>(r.measure_text(volume, 13)), g.keys_y,
              kAccent, 13);
}

void describe_footer(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  const FooterGeometry g = footer_geometry(r.width(), r.height());
  PartKey key;
  key.add(static_cast<int>(in.playback.kind)).add(in.playback.text);
  key.add(footer_title(in));
  if (in.playback.is(PlaybackStatus::Kind::Connecting)) key.add((in.frame_counter / 20) % 4);
  if (in.playback.is(PlaybackStatus::Kind::Playing)) {
    const Rect& bars = g.bars;
    out.add(part_id(PartKind::FooterBars), PartKey().add(in.frame_counter).value(),
            [&] { return Renderer::level_bars_area(bars.x, bars.y, bars.w, bars.h); },
            Sprite::level_bars(bars.x, bars.y, bars.w, bars.h, in.frame_counter, true));
    key.add(in.listening_seconds % 3600);
  }
  out.add(part_id(PartKind::FooterStatus), key.value(),
          [&] { return unite(g.band, r.text_area(0, g.status_y, 14)); });

  out.add(part_id(PartKind::FooterVolume), PartKey().add(in.volume).value(), [&] {
    std::string volume = fmt::format("VOL: {}%", in.volume);
    uint32_t width = r.measure_text(volume, 13);
    return r.text_area(g.volume_right - static_cast<int>(width), g.keys_y, 13, width);
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
