#include "graphics/layout.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "base/text.h"
#include "graphics/palette.h"

namespace ze {

HeaderGeometry header_geometry(int W) {
  return {.band = {0, 0, W, 45},
          .rule = {0, 45, W, 1},
          .badge = {16, 9, 102, 28},
          .title = {25, 14, 15},
          .switcher = {0, 14, 15},
          .pill_y = 9,
          .pill_height = 28,
          .pill_text = {W - 16, 14, 12}};
}

DialNeedle dial_needle(int nx) { return {.line = {nx, 54, 2, 29}, .knob = {nx - 3, 79, 7, 5}}; }

ListGeometry list_geometry(int screen_width, int screen_height) {
  ListGeometry g;
  g.width = (screen_width - 42) * 58 / 100;
  g.height = screen_height - 158;
  g.visible_rows = std::max((g.height + 6) / kRowPitch, 1);
  g.column = {16, kListTop, g.width, g.height};
  g.empty = {40, 132, 16};
  return g;
}

RowGeometry row_geometry(const ListGeometry& list, int index) {
  const int lw = list.width;
  const int y = kListTop + kRowPitch * index;
  return {.box = {16, y, lw, kRowHeight},
          .badge = {26, y + 10, 76, 42},
          .badge_text = {26, y + 23, 13},
          .name = {114, y + 12, 15},
          .frequency = {114, y + 35, 12},
          .bars = {lw - 28, y + 20, 30, 22},
          .loading = {lw - 34, y + 24, 11}};
}

namespace {

// Two meters of width w side by side from (x, y), `gap` apart.
void place_meters(Rect (&meters)[2], int x, int y, int w, int gap) {
  meters[0] = {x, y, w, kMeterHeight};
  meters[1] = {x + w + gap, y, w, kMeterHeight};
}

}  // namespace

DetailPanelGeometry detail_panel_geometry(int W, const ListGeometry& list) {
  const int lw = list.width, lh = list.height;
  DetailPanelGeometry g;
  g.card = {lw + 26, kListTop, W - lw - 42, lh};
  g.has_card = lw + 26 < W - 16;
  g.x = lw + 40;
  g.text_width = W - lw - 70;
  g.empty = {lw + 46, 122, 16};
  g.badge = {g.x, 106, 74, 30};
  g.badge_text = {g.x, 114, 13};
  g.status = {lw + 124, g.badge_text.y, 13};
  g.name = {g.x, 144, 16};
  g.description = {g.x, 168, 12};
  place_meters(g.meters, g.x, 192, (W - lw - 78) / 2, 8);
  g.value_right = W - 30;
  g.bars = {g.x, lh + 64, W - lw - 70, 20};
  return g;
}

NowPlayingGeometry now_playing_geometry(int W, int H, bool titled) {
  const int cw = std::min(W - 40, 460);
  const int cx = (W - cw) / 2;
  const int cy = (H - 320) / 2;
  const int x = cx + 24;
  NowPlayingGeometry g;
  g.top_band = {0, 0, W, 50};
  g.heading = {20, 16, 16};
  g.card = {cx, cy - 20, cw, 320};
  g.text_width = cw - 48;
  g.name = {x, cy + 4, 20};
  // The frequency and the status share the row under the name.
  g.frequency = {x, g.name.y + 30, 14};
  g.status = {x + g.text_width, g.frequency.y, 13};
  // The card keeps its size: the info line moves into its free bottom part.
  const int room = titled ? 44 : 0;
  g.title = {x, cy + 58, 16};
  g.artist = {x, cy + 82, 13};
  place_meters(g.meters, x, cy + 70 + room, (cw - 56) / 2, 8);
  g.bars = {x, cy + 160 + room, cw - 48, 44};
  g.info = {cx, cy + 220 + room, 13};
  g.bottom_band = {0, H - 50, W, 50};
  const int keys_y = H - 34;
  g.keys = {20, keys_y, 13};
  g.volume = {W - 20, keys_y, 13};
  return g;
}

FooterGeometry footer_geometry(int W, int H) {
  const int top = H - 66;
  const int status_y = H - 55;
  const int right = W - 16;
  const int keys_y = H - 28;
  return {.panel = {0, top, W, 66},
          .rule = {0, top, W, 1},
          .band = {0, top, W, 40},
          .light = {16, status_y, 16, 16},
          .status = {38, status_y, 14},
          .playing_x = 86,
          .bars = {38, H - 56, 40, 18},
          .right = right,
          .keys = {16, keys_y, 12},
          .volume = {right, keys_y, 13}};
}

DialogGeometry dialog_geometry(int W, int H, int max_width) {
  constexpr int kHeight = 240;
  const int bw = std::min(W - 40, max_width);
  const int x0 = (W - bw) / 2, y0 = (H - kHeight) / 2;
  return {.box = {x0, y0, bw, kHeight},
          .title_badge = {x0 + 16, y0 + 16, 120, 26},
          .title = {x0 + 24, y0 + 21, 12},
          .text_x = x0 + 20,
          .text_width = bw - 40};
}

NoticeGeometry notice_geometry(int W) {
  const int nx = (W - 200) / 2;
  return {.box = {nx, 12, 200, 36}, .text = {nx, 20, 12}, .bar = {nx + 16, 36, 168, 4}};
}

size_t first_visible_row(size_t selection, int visible_rows) {
  size_t n = static_cast<size_t>(std::max(visible_rows, 1));
  return selection < n ? 0 : selection - n + 1;
}

int dial_x(float mhz, int screen_width) {
  return 32 + static_cast<int>(((mhz - 87.0f) / 21.0f) * static_cast<float>(screen_width - 64));
}

int needle_x(float dial_position, int screen_width) {
  float n = std::isnan(dial_position) ? 87.0f : std::clamp(dial_position, 87.0f, 108.0f);
  return dial_x(n, screen_width);
}

std::optional<uint32_t> parse_colour_text(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = uint32_t(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = uint32_t(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = uint32_t(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = (value << 4) | digit;
  }
  return value;
}

uint32_t badge_colour(const Channel& channel) {
  auto value = parse_colour_text(channel.color);
  return value ? (0xFF000000u | *value) : palette::kRed;
}

std::string badge_text(const Channel& channel) {
  if (!channel.short_name.empty()) return channel.short_name;
  return channel.name.substr(0, channel.name.find('-'));
}

std::string shorten_to_width(std::string_view text, int64_t max_width,
                             const std::function<float(char32_t)>& advance) {
  // Cutting from the end drops the last whole character: the bytes back to
  // the nearest one that is not a UTF-8 continuation byte (or to the start).
  // The cut stops at the first length, from the longest down, that fits or
  // is 3 bytes or less: the longest such cut point. Every cut point is a
  // character boundary of the forward decoding, where the running width is
  // known.
  auto cut_point = [&](size_t pos) {
    return pos == 0 || pos == text.size() ||
           (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
  };
  size_t kept = 0;
  float total = 0.0f;
  for (size_t pos = 0;;) {
    if (cut_point(pos) && (int64_t{static_cast<uint32_t>(total)} <= max_width || pos <= 3)) {
      kept = pos;
    }
    if (pos >= text.size()) break;
    total += advance(decode_utf8(text, pos));
  }
  std::string shortened(text.substr(0, kept));
  if (kept < text.size()) shortened += "...";
  return shortened;
}

std::string fit_with_ellipsis(std::string_view text, int64_t max_width,
                              const std::function<float(char32_t)>& advance) {
  constexpr std::string_view kEllipsis = "…";
  const float ellipsis = advance(U'…');
  size_t kept = 0;  // the longest cut that fits with the ellipsis
  float total = 0.0f;
  for (size_t pos = 0; pos < text.size();) {
    if (static_cast<int64_t>(total + ellipsis) <= max_width) kept = pos;
    total += advance(decode_utf8(text, pos));
  }
  if (static_cast<int64_t>(total) <= max_width) return std::string(text);
  if (static_cast<int64_t>(ellipsis) > max_width) return {};
  return std::string(text.substr(0, kept)) + std::string(kEllipsis);
}

namespace {

// A text from the engine's document as far as a row can show it.
std::string capped(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return std::string(text);
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

std::string without_spaces_lower(std::string_view text) {
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    if (!is_unicode_space(decode_utf8(text, pos))) out.append(text, start, pos - start);
  }
  return to_lower(out);
}

// 44100 as "44.1", 48000 as "48", 22050 as "22.05".
std::string kilohertz(uint32_t hertz) {
  std::string text = fmt::format("{}.{:03}", hertz / 1000, hertz % 1000);
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

std::string channels_text(uint32_t channels) {
  if (channels == 1) return "Mono";
  if (channels == 2) return "Stereo";
  return fmt::format("{} kênh", channels);
}

}  // namespace

StreamReport stream_report(const NowPlaying& now, std::string_view station_name,
                           const std::function<std::string(uint64_t)>& clock) {
  // Longer texts than these cannot fit any row of the screen.
  constexpr size_t kTextBytes = 1024;
  constexpr size_t kFactBytes = 24;
  StreamReport report;
  const bool repeats_station =
      !station_name.empty() && without_spaces_lower(now.title) == without_spaces_lower(station_name);
  if (!repeats_station) {
    report.title = capped(now.title, kTextBytes);
    report.artist = capped(now.artist, kTextBytes);
  }
  if (!now.codec.empty()) {
    std::string codec = capped(now.codec, kFactBytes);
    if (!now.carrier.empty()) codec += " / " + capped(now.carrier, kFactBytes);
    report.format = now.bitrate > 0 ? fmt::format("{} kbps • {}", (now.bitrate + 500) / 1000, codec)
                                    : codec;
  }
  if (now.sample_rate > 0) {
    report.quality = kilohertz(now.sample_rate) + " kHz";
    if (now.channels > 0) report.quality += " " + channels_text(now.channels);
    if (!now.output.empty()) report.quality += " • " + capped(now.output, kFactBytes);
  }
  for (size_t i = 0; i < now.history.size() && i < kNowPlayingHistory; ++i) {
    const PlayedTitle& played = now.history[i];
    if (!station_name.empty() &&
        without_spaces_lower(played.title) == without_spaces_lower(station_name)) {
      continue;
    }
    std::string text = capped(played.title, kTextBytes);
    if (!played.artist.empty()) text = capped(played.artist, kTextBytes) + " – " + text;
    bool current = i == 0 && !report.title.empty() && played.title == now.title &&
                   played.artist == now.artist;
    report.history.push_back({clock(played.started_at), std::move(text), current});
  }
  return report;
}

std::string_view sleep_label(uint8_t option) {
  static constexpr std::string_view kLabels[] = {"Tắt", "15m", "30m", "45m", "60m"};
  return option < std::size(kLabels) ? kLabels[option] : kLabels[0];
}

std::string sleep_pill_text(uint8_t option, bool active, uint64_t remaining) {
  if (active) return fmt::format("⏰ {:02}:{:02}", remaining / 60, remaining % 60);
  return fmt::format("⏰ {}", sleep_label(option));
}

std::string version_label(std::string_view version) {
  while (!version.empty() && version.front() == 'v') version.remove_prefix(1);
  return "v" + std::string(version);
}

float download_share(uint64_t received, uint64_t total) {
  if (total == 0) return 0.0f;
  if (received >= total) return 1.0f;
  return static_cast<float>(static_cast<double>(received) / static_cast<double>(total));
}

uint32_t download_percent(const UpdateStatus& update) {
  if (update.total > 0) return percent_of(update.received, update.total);
  float percent = update.progress * 100.0f;
  if (percent >= 4294967295.0f) return UINT32_MAX;
  return percent > 0.0f ? static_cast<uint32_t>(percent) : 0;
}

std::string download_figures(const UpdateStatus& update) {
  if (update.total > 0) {
    return fmt::format("{} / {} MB", megabytes_text(update.received), megabytes_text(update.total));
  }
  return update.received > 0 ? megabytes_text(update.received) + " MB" : std::string();
}

BarFill download_bar_fill(const UpdateStatus& update, int track_width, uint32_t frame) {
  if (track_width <= 0) return {};
  if (update.size_unknown()) {
    const int width = std::max(track_width / 4, 1);
    const uint32_t phase = frame % (2 * kBarSweepFrames);
    const uint32_t along = phase < kBarSweepFrames ? phase : 2 * kBarSweepFrames - phase;
    return {static_cast<int>(int64_t{track_width - width} * along / kBarSweepFrames), width};
  }
  float p = std::isnan(update.progress) ? 0.0f : std::clamp(update.progress, 0.0f, 1.0f);
  return {0, static_cast<int>(p * static_cast<float>(track_width))};
}

Pill update_pill(const UpdateStatus& update) {
  using Kind = UpdateStatus::Kind;
  switch (update.kind) {
    case Kind::Idle:
      return {"OTA Sẵn sàng", palette::kRaised};
    case Kind::Checking:
      return {"Đang kiểm tra...", palette::kRaised};
    case Kind::UpdateAvailable:
      return {fmt::format("Bản {}!", version_label(update.version)), palette::kGreen};
    case Kind::ChannelsUpdated:
      return {fmt::format("+{} Kênh!", update.count), palette::kGreen};
    case Kind::Downloading:
      switch (update.step) {
        case UpdateStatus::Step::Verify:
          return {"Kiểm tra...", palette::kAccent};
        case UpdateStatus::Step::Install:
          return {"Cài đặt...", palette::kAccent};
        case UpdateStatus::Step::Download:
          break;
      }
      if (update.size_unknown()) {
        return {fmt::format("Tải {} MB", megabytes_text(update.received)), palette::kAccent};
      }
      return {fmt::format("Tải {}%", download_percent(update)), palette::kAccent};
    case Kind::Error:
      return {"Lỗi OTA", palette::kRed};
  }
  return {};
}

StatusLabel status_label(PlaybackStatus::Kind kind) {
  using Kind = PlaybackStatus::Kind;
  switch (kind) {
    case Kind::Idle:
      return {"○ CHỜ PHÁT", 0xFF94A3B8};
    case Kind::Connecting:
      return {"⏳ ĐANG KẾT NỐI...", 0xFFF59E0B};
    case Kind::Playing:
      return {"● ĐANG PHÁT (TRỰC TIẾP)", 0xFF10B981};
    case Kind::Error:
      return {"✖ LỖI KẾT NỐI", 0xFFE11D48};
  }
  return {};
}

std::string clock_minutes_seconds(uint64_t seconds) {
  return fmt::format("{:02}:{:02}", (seconds % 3600) / 60, seconds % 60);
}

std::string clock_hours_minutes_seconds(uint64_t seconds) {
  return fmt::format("{:02}:{:02}:{:02}", seconds / 3600, (seconds % 3600) / 60, seconds % 60);
}

std::pair<float, float> vu_levels(PlaybackStatus::Kind kind, uint32_t frame) {
  float t = static_cast<float>(frame);
  switch (kind) {
    case PlaybackStatus::Kind::Playing: {
      float a = 0.12f * t;
      float left = std::fabs((std::sin(a) * 0.45f + 0.5f) * 0.8f + std::cos(a * 2.3f) * 0.2f);
      float b = (t + 18.0f) * 0.14f;
      float right = std::fabs((std::sin(b) * 0.45f + 0.5f) * 0.8f + std::cos(b * 1.9f) * 0.2f);
      return {std::clamp(left, 0.05f, 0.95f), std::clamp(right, 0.05f, 0.95f)};
    }
    case PlaybackStatus::Kind::Connecting: {
      float left = std::fabs(std::sin(0.06f * t)) * 0.12f + 0.05f;
      float right = std::fabs(std::sin((t + 12.0f) * 0.06f)) * 0.12f + 0.05f;
      return {std::clamp(left, 0.05f, 0.18f), std::clamp(right, 0.05f, 0.18f)};
    }
    default:
      return {0.05f, 0.05f};
  }
}

}  // namespace ze
