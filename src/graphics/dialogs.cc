// The two modal dialogs (update and exit), which dim everything drawn before
// them, and the translucent volume notice.
#include <algorithm>

#include <fmt/format.h>

#include "graphics/palette.h"
#include "graphics/screen_parts.h"

namespace ze {
namespace {

using namespace palette;

constexpr int kDialogHeight = 240;
constexpr int kBoxRadius = 12;
static_assert(kDialogBox >> 24 == 0xFF, "the dialog box must be opaque to skip dimming under it");

// The box and every text line of a dialog whose box is bw wide: the texts
// start inside the box but are not cut, so they reach to the screen's edge.
Rect dialog_area(Renderer& r, int bw) {
  const int x0 = (r.width() - bw) / 2, y0 = (r.height() - kDialogHeight) / 2;
  Rect area{x0, y0, bw, kDialogHeight};
  area = unite(area, r.text_area(x0, y0 + 21, 16));
  return unite(area, r.text_area(x0, y0 + 185, 16));
}

struct DialogOrigin {
  int x0;
  int y0;
};

DialogOrigin draw_dialog_frame(Renderer& r, int bw, uint32_t frame_colour,
                               std::string_view title, uint32_t title_colour) {
  DialogOrigin o{(r.width() - bw) / 2, (r.height() - kDialogHeight) / 2};
  // The box covers whole rows between its rounded corners: no need to dim
  // what it paints over right away.
  r.dim_screen(Rect{o.x0, o.y0 + kBoxRadius, bw, kDialogHeight - 2 * kBoxRadius});
  r.fill_rounded_rect(o.x0, o.y0, bw, kDialogHeight, kBoxRadius, kDialogBox);
  draw_frame(r, o.x0, o.y0, bw, kDialogHeight, 2, frame_colour);
  r.fill_rounded_rect(o.x0 + 16, o.y0 + 16, 120, 26, 6, frame_colour);
  r.draw_text(title, o.x0 + 24, o.y0 + 21, title_colour, 12);
  return o;
}

void draw_button(Renderer& r, int x, int y, int w, uint32_t colour) {
  r.fill_rounded_rect(x, y, w, 36, 8, colour);
}

// The download's bar in the update dialog and the figures line under it,
// worked out once for drawing and for the damage description.
struct DownloadBar {
  Rect track;
  BarFill fill;
  int figures_y = 0;
};

DownloadBar download_bar(Renderer& r, const FrameInputs& in) {
  const int bw = std::min(r.width() - 40, 520);
  const int x0 = (r.width() - bw) / 2, y0 = (r.height() - kDialogHeight) / 2;
  DownloadBar bar;
  bar.track = {x0 + 20, y0 + 124, bw - 40, 12};
  bar.fill = download_bar_fill(in.update, bar.track.w, in.frame_counter);
  bar.figures_y = y0 + 146;
  return bar;
}

void draw_download_bar(Renderer& r, const DownloadBar& bar) {
  const Rect& t = bar.track;
  r.fill_rounded_rect(t.x, t.y, t.w, t.h, 6, kRaised);
  if (bar.fill.width > 0) {
    r.fill_rounded_rect(t.x + bar.fill.offset, t.y, bar.fill.width, t.h, 6, kAccent);
  }
}

// "1.3 / 3.6 MB" at the bar's left end, the percentage at its right end
// when the size is known.
void draw_download_figures(Renderer& r, const DownloadBar& bar, const UpdateStatus& update) {
  const std::string figures = download_figures(update);
  if (figures.empty()) return;
  r.draw_text(figures, bar.track.x, bar.figures_y, kMuted, 13);
  if (update.total == 0) return;
  const std::string percent = fmt::format("{}%", download_percent(update));
  const int right = bar.track.x + bar.track.w;
  r.draw_text(percent, right - static_cast<int>(r.measure_text(percent, 13)), bar.figures_y,
              kWhite, 13);
}

}  // namespace

void draw_update_dialog(Renderer& r, const FrameInputs& in) {
  const int bw = std::min(r.width() - 40, 520);
  auto [x0, y0] = draw_dialog_frame(r, bw, kAccent, "CẬP NHẬT OTA", kBlack);
  const int tx = x0 + 20;
  const UpdateStatus& update = in.update;
  switch (update.kind) {
    case UpdateStatus::Kind::UpdateAvailable:
      r.draw_text(fmt::format("Đã có bản cập nhật {} mới!", version_label(update.version)), tx, y0 + 60,
                  kWhite, 16);
      r.draw_text("Nhấn [A] để tải về và tự động cập nhật ngay.", tx, y0 + 90, kMuted, 14);
      draw_button(r, tx, y0 + 170, 160, kGreen);
      r.draw_text("[A] Cập nhật ngay", x0 + 36, y0 + 180, kWhite, 14);
      draw_button(r, x0 + 190, y0 + 170, 120, kRaised);
      r.draw_text("[B] Đóng", x0 + 224, y0 + 180, kWhite, 14);
      break;
    case UpdateStatus::Kind::ChannelsUpdated:
      r.draw_text(fmt::format("Đã làm mới {} kênh thành công!", update.count), tx, y0 + 60,
                  kGreen, 16);
      r.draw_text("Danh sách kênh đã được cập nhật luồng phát mới nhất.", tx, y0 + 90, kMuted,
                  14);
      draw_button(r, tx, y0 + 170, 120, kAccent);
      r.draw_text("[B] Đóng", x0 + 54, y0 + 180, kBlack, 14);
      break;
    case UpdateStatus::Kind::Downloading: {
      r.draw_text(update.step == UpdateStatus::Step::Download ? "Đang tải gói cập nhật..."
                                                             : "Đã tải xong gói cập nhật.",
                  tx, y0 + 60, kWhite, 16);
      r.draw_text(update.message, tx, y0 + 90, kMuted, 13);
      const DownloadBar bar = download_bar(r, in);
      draw_download_bar(r, bar);
      draw_download_figures(r, bar, update);
      break;
    }
    case UpdateStatus::Kind::Error:
      r.draw_text("Không thể kiểm tra hoặc tải OTA:", tx, y0 + 60, kRed, 15);
      r.draw_text(update.message, tx, y0 + 90, kMuted, 13);
      draw_button(r, tx, y0 + 170, 120, kRaised);
      r.draw_text("[B] Đóng", x0 + 54, y0 + 180, kWhite, 14);
      break;
    case UpdateStatus::Kind::Idle:
    case UpdateStatus::Kind::Checking:
      r.draw_text("Đang kết nối máy chủ OTA...", tx, y0 + 80, kMuted, 15);
      break;
  }
}

void describe_update_dialog(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  const int bw = std::min(r.width() - 40, 520);
  const UpdateStatus& update = in.update;
  PartKey key;
  key.add(static_cast<int>(update.kind)).add(update.version).add(update.count).add(update.message);
  const bool downloading = update.is(UpdateStatus::Kind::Downloading);
  if (downloading) key.add(static_cast<int>(update.step));
  out.add(part_id(PartKind::Dialog), key.value(), [&] { return dialog_area(r, bw); });
  if (!downloading) return;
  // While a download goes on only its bar and its figures change: they
  // are parts of their own, so that a moving bar redraws its own tiles.
  const DownloadBar bar = download_bar(r, in);
  out.add(part_id(PartKind::DialogBar),
          PartKey().add(bar.fill.offset).add(bar.fill.width).value(), [&] { return bar.track; });
  const uint32_t percent = update.total > 0 ? download_percent(update) : 0;
  out.add(part_id(PartKind::DialogFigures),
          PartKey().add(download_figures(update)).add(percent).value(),
          [&] { return r.text_area(bar.track.x, bar.figures_y, 13); });
}

void draw_exit_dialog(Renderer& r, const FrameInputs& in) {
  const int bw = std::min(r.width() - 40, 540);
  auto [x0, y0] = draw_dialog_frame(r, bw, kRed, "THOÁT ỨNG DỤNG", kWhite);
  auto measure = [&](char32_t c) { return r.advance(c, 16); };
  std::string question =
      in.playback.is(PlaybackStatus::Kind::Playing)
          ? fmt::format("Đài '{}' đang được phát thanh.",
                        shorten_to_width(in.playback.text,
                                         int64_t{bw} - 40 -
                                             static_cast<int64_t>(r.measure_text(
                                                 "Đài '' đang được phát thanh.", 16)),
                                         measure))
          : std::string("Bạn muốn thoát khỏi ZE-Radio?");
  r.draw_text(question, x0 + 20, y0 + 60, kWhite, 16);
  r.draw_text("Bạn có muốn tiếp tục nghe đài khi vào Game/MainUI không?", x0 + 20, y0 + 90,
              kMuted, 13);

  if (bw > 40) r.fill_rounded_rect(x0 + 20, y0 + 130, bw - 40, 36, 8, kGreen);
  r.draw_text("▶  [A] NGHE CHẠY NGẦM (Vào Game / MainUI)", x0 + 36, y0 + 140, kWhite, 14);

  const int hw = (bw - 50) / 2;
  r.fill_rounded_rect(x0 + 20, y0 + 176, hw, 34, 8, kRaised);
  r.draw_text("■  [B] TẮT ĐÀI & THOÁT", x0 + 30, y0 + 185, kWhite, 13);
  r.fill_rounded_rect(x0 + 30 + hw, y0 + 176, hw, 34, 8, kRaised);
  r.draw_text("✖  [X] HỦY BỎ / Ở LẠI", x0 + 54 + hw, y0 + 185, kWhite, 13);
}

void describe_exit_dialog(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  const int bw = std::min(r.width() - 40, 540);
  PartKey key;
  bool playing = in.playback.is(PlaybackStatus::Kind::Playing);
  key.add(playing);
  if (playing) key.add(in.playback.text);
  out.add(part_id(PartKind::Dialog), key.value(), [&] { return dialog_area(r, bw); });
}

void describe_volume_notice(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  out.add(part_id(PartKind::Notice), PartKey().add(in.volume).value(), [&] {
    const int nx = (r.width() - 200) / 2;
    std::string text = fmt::format("🔊 ÂM LƯỢNG {}%", in.volume);
    uint32_t width = r.measure_text(text, 12);
    return unite(Rect{nx, 12, 200, 36},
                 r.text_area(nx + (200 - static_cast<int>(width)) / 2, 20, 12, width));
  });
}

void draw_volume_notice(Renderer& r, const FrameInputs& in) {
  const int nx = (r.width() - 200) / 2;
  r.fill_rounded_rect(nx, 12, 200, 36, 8, kNoticeBox);
  draw_frame(r, nx, 12, 200, 36, 2, kAccent);
  std::string text = fmt::format("🔊 ÂM LƯỢNG {}%", in.volume);
  r.draw_text(text, nx + (200 - static_cast<int>(r.measure_text(text, 12))) / 2, 20, kWhite, 12);
  r.fill_rounded_rect(nx + 16, 36, 168, 4, 2, kRaised);
  int filled = in.volume * 168 / 100;
  if (filled > 0) r.fill_rounded_rect(nx + 16, 36, filled, 4, 2, kAccent);
}

}  // namespace ze
