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

}  // namespace

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

  float v = std::isnan(level) ? 0.0f : std::clamp(level, 0.0f, 1.0f);
  float theta = radians(v * 85.0f - 45.0f - 90.0f);
  int ex = static_cast<int>(std::cos(theta) * 59.0f);
  int ey = static_cast<int>(std::sin(theta) * 59.0f);
  r.draw_line(cx, y + 68, cx + ex, cy + ey, kMeterNeedle);
  r.draw_line(cx + 1, y + 68, cx + ex + 1, cy + ey, kMeterNeedle);
  r.fill_circle(cx, cy, 4, kPivot);
}

void draw_detail_panel(Renderer& r, const FrameInputs& in, const ListGeometry& list) {
  const int W = r.width(), H = r.height();
  const int lw = list.width, lh = list.height;
  const int px = lw + 40;
  if (lw + 26 < W - 16) {
    r.fill_rounded_rect(lw + 26, kListTop, W - lw - 42, lh, 8, kCard);
    draw_frame(r, lw + 26, kListTop, W - lw - 42, lh, 1, kLine);
  }
  const Channel* channel = selected_channel(in);
  if (channel == nullptr) {
    r.draw_text("Không có kênh chọn.", lw + 46, 122, kMuted, 16);
    return;
  }

  r.fill_rounded_rect(px, 106, 74, 30, 6, badge_colour(*channel));
  int badge_x = px + (74 - static_cast<int>(r.measure_text(channel->short_name, 13))) / 2;
  r.draw_text(channel->short_name, badge_x, 114, kWhite, 13);
  StatusLabel status = status_label(in.playback.kind);
  r.draw_text(status.text, lw + 124, 114, status.colour, 13);
  std::string name = shorten_to_width(channel->name, int64_t{W} - lw - 70,
                                      [&](char32_t c) { return r.advance(c, 16); });
  r.draw_text(name, px, 144, kWhite, 16);

  std::string_view description = channel->description.empty()
                                     ? "Đài phát thanh truyền hình trực tuyến Việt Nam"
                                     : std::string_view(channel->description);
  std::string shown = shorten_to_width(description, int64_t{W} - lw - 70,
                                       [&](char32_t c) { return r.advance(c, 12); });
  r.draw_text(shown, px, 168, kMuted, 12);

  const int mw = (W - lw - 78) / 2;
  auto [left, right] = vu_levels(in.playback.kind, in.frame_counter);
  draw_vu_meter(r, px, 192, mw, "CH-L", left);
  draw_vu_meter(r, px + mw + 8, 192, mw, "CH-R", right);

  static constexpr Fact kFacts[] = {{282, 301, "Tần số sóng:"},
                                    {301, 320, "Định dạng:"},
                                    {320, 339, "Chất lượng:"},
                                    {339, 358, "Thời gian nghe:"},
                                    {358, 377, "Hẹn giờ tắt:"}};
  const std::string values[] = {channel->frequency, "128 kbps • AAC / HLS HD",
                                "48 kHz Stereo • ALSA",
                                clock_hours_minutes_seconds(in.listening_seconds),
                                std::string(sleep_label(in.sleep_option))};
  const int k = H - 100;
  for (size_t i = 0; i < std::size(kFacts) && k > kFacts[i].needed; ++i) {
    r.draw_text(kFacts[i].label, px, kFacts[i].y, kMuted, 12);
    const std::string& value = values[i];
    r.draw_text(value, W - 30 - static_cast<int>(r.measure_text(value, 12)), kFacts[i].y,
                kAccent, 12);
  }

  r.draw_level_bars(px, lh + 64, W - lw - 70, 20, in.frame_counter,
                    in.playback.is(PlaybackStatus::Kind::Playing));
}

void draw_now_playing_view(Renderer& r, const FrameInputs& in) {
  const Channel* channel = selected_channel(in);
  if (channel == nullptr) return;
  const int W = r.width(), H = r.height();

  r.fill_rect(0, 0, W, 50, kPanel);
  r.draw_text("ZE-RADIO STUDIO DECK", 20, 16, kRed, 16);

  const int cw = std::min(W - 40, 460);
  const int cx = (W - cw) / 2;
  const int cy = (H - 320) / 2;
  r.fill_rounded_rect(cx, cy - 20, cw, 320, 16, kCard);
  draw_frame(r, cx, cy - 20, cw, 320, 2, kLine);

  std::string name = shorten_to_width(channel->name, int64_t{cw} - 48,
                                      [&](char32_t c) { return r.advance(c, 20); });
  r.draw_text(name, cx + 24, cy + 4, kWhite, 20);
  r.draw_text(channel->frequency, cx + 24, cy + 34, kAccent, 14);
  StatusLabel status = status_label(in.playback.kind);
  r.draw_text(status.text, cx + cw - static_cast<int>(r.measure_text(status.text, 13)) - 24,
              cy + 34, status.colour, 13);

  const int mw = (cw - 56) / 2;
  auto [left, right] = vu_levels(in.playback.kind, in.frame_counter);
  draw_vu_meter(r, cx + 24, cy + 70, mw, "LEFT", left);
  draw_vu_meter(r, cx + mw + 32, cy + 70, mw, "RIGHT", right);

  r.draw_level_bars(cx + 24, cy + 160, cw - 48, 44, in.frame_counter,
                    in.playback.is(PlaybackStatus::Kind::Playing));

  std::string info = fmt::format("Đã nghe: {}   •   Hẹn giờ: {}",
                                 clock_hours_minutes_seconds(in.listening_seconds),
                                 sleep_label(in.sleep_option));
  r.draw_text(info, cx + (cw - static_cast<int>(r.measure_text(info, 13))) / 2, cy + 220,
              kMuted, 13);

  r.fill_rect(0, H - 50, W, 50, kPanel);
  r.draw_text("[START/B] Trở lại danh sách   [A] Phát lại   [L2/R2] Âm lượng", 20, H - 34,
              kMuted, 13);
  std::string volume = fmt::format("VOL: {}%", in.volume);
  r.draw_text(volume, W - 20 - static_cast<int>(r.measure_text(volume, 13)), H - 34, kAccent, 13);
}

}  // namespace ze
