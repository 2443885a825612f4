// The two modal dialogs (update and exit), which dim everything drawn before
// them, and the translucent volume notice.
#include <algorithm>

#include <fmt/format.h>

#include "graphics/palette.h"
#include "graphics/screen_parts.h"

namespace ze {
namespace {

using namespace palette;

constexpr int kUpdateDialogWidth = 520;
constexpr int kExitDialogWidth = 540;
constexpr int kBoxRadius = 12;
static_assert(kDialogBox >> 24 == 0xFF, "the dialog box must be opaque to skip dimming under it");

// Every pixel a dialog can touch: its box, and the rows of the box from its
// left edge to the screen's right edge, since its texts start in the box's
// column but are not cut to it.
Rect dialog_area(const Renderer& r, const DialogGeometry& g) {
  const Rect& box = g.box;
  return unite(box, Rect{box.x, box.y, r.width() - box.x, box.h});
}

void draw_dialog_frame(Renderer& r, const DialogGeometry& g, uint32_t frame_colour,
                       std::string_view title, uint32_t title_colour) {
  const Rect& box = g.box;
  // The box covers whole rows between its rounded corners: no need to dim
  // what it paints over right away.
  r.dim_screen(Rect{box.x, box.y + kBoxRadius, box.w, box.h - 2 * kBoxRadius});
  r.fill_rounded_rect(box.x, box.y, box.w, box.h, kBoxRadius, kDialogBox);
  draw_frame(r, box, 2, frame_colour);
  const Rect& badge = g.title_badge;
  r.fill_rounded_rect(badge.x, badge.y, badge.w, badge.h, 6, frame_colour);
  draw_text_at(r, title, g.title, title_colour);
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

DownloadBar download_bar(const DialogGeometry& g, const FrameInputs& in) {
  DownloadBar bar;
  bar.track = {g.text_x, g.box.y + 124, g.text_width, 12};
  bar.fill = download_bar_fill(in.update, bar.track.w, in.frame_counter);
  bar.figures_y = g.box.y + 146;
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

// The volume notice's text, centred on its box.
PlacedText notice_text(Renderer& r, const NoticeGeometry& g, int volume) {
  return place_centred(r, fmt::format("🔊 ÂM LƯỢNG {}%", volume), g.text, g.box.w);
}

}  // namespace

void draw_update_dialog(Renderer& r, const FrameInputs& in) {
  const DialogGeometry g = dialog_geometry(r.width(), r.height(), kUpdateDialogWidth);
  draw_dialog_frame(r, g, kAccent, "CẬP NHẬT OTA", kBlack);
  const int x0 = g.box.x, y0 = g.box.y;
  const int tx = g.text_x;
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
      const DownloadBar bar = download_bar(g, in);
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
  const DialogGeometry g = dialog_geometry(r.width(), r.height(), kUpdateDialogWidth);
  const UpdateStatus& update = in.update;
  PartKey key;
  key.add(static_cast<int>(update.kind)).add(update.version).add(update.count).add(update.message);
  const bool downloading = update.is(UpdateStatus::Kind::Downloading);
  if (downloading) key.add(static_cast<int>(update.step));
  out.add(part_id(PartKind::Dialog), key.value(), [&] { return dialog_area(r, g); });
  if (!downloading) return;
  // While a download goes on only its bar and its figures change: they
  // are parts of their own, so that a moving bar redraws its own tiles.
  const DownloadBar bar = download_bar(g, in);
  out.add(part_id(PartKind::DialogBar),
          PartKey().add(bar.fill.offset).add(bar.fill.width).value(), [&] { return bar.track; });
  const uint32_t percent = update.total > 0 ? download_percent(update) : 0;
  out.add(part_id(PartKind::DialogFigures),
          PartKey().add(download_figures(update)).add(percent).value(),
          [&] { return r.text_area(bar.track.x, bar.figures_y, 13); });
}

void draw_exit_dialog(Renderer& r, const FrameInputs& in) {
  const DialogGeometry g = dialog_geometry(r.width(), r.height(), kExitDialogWidth);
  draw_dialog_frame(r, g, kRed, "THOÁT ỨNG DỤNG", kWhite);
  const int x0 = g.box.x, y0 = g.box.y;
  auto measure = [&](char32_t c) { return r.advance(c, 16); };
  std::string question =
      in.playback.is(PlaybackStatus::Kind::Playing)
          ? fmt::format("Đài '{}' đang được phát thanh.",
                        shorten_to_width(in.playback.text,
                                         int64_t{g.text_width} -
                                             static_cast<int64_t>(r.measure_text(
                                                 "Đài '' đang được phát thanh.", 16)),
                                         measure))
          : std::string("Bạn muốn thoát khỏi ZE-Radio?");
  r.draw_text(question, g.text_x, y0 + 60, kWhite, 16);
  r.draw_text("Bạn có muốn tiếp tục nghe đài khi vào Game/MainUI không?", g.text_x, y0 + 90,
              kMuted, 13);

  if (g.text_width > 0) r.fill_rounded_rect(g.text_x, y0 + 130, g.text_width, 36, 8, kGreen);
  r.draw_text("▶  [A] NGHE CHẠY NGẦM (Vào Game / MainUI)", x0 + 36, y0 + 140, kWhite, 14);

  const int hw = (g.box.w - 50) / 2;
  r.fill_rounded_rect(g.text_x, y0 + 176, hw, 34, 8, kRaised);
  r.draw_text("■  [B] TẮT ĐÀI & THOÁT", x0 + 30, y0 + 185, kWhite, 13);
  r.fill_rounded_rect(x0 + 30 + hw, y0 + 176, hw, 34, 8, kRaised);
  r.draw_text("✖  [X] HỦY BỎ / Ở LẠI", x0 + 54 + hw, y0 + 185, kWhite, 13);
}

void describe_exit_dialog(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  const DialogGeometry g = dialog_geometry(r.width(), r.height(), kExitDialogWidth);
  PartKey key;
  bool playing = in.playback.is(PlaybackStatus::Kind::Playing);
  key.add(playing);
  if (playing) key.add(in.playback.text);
  out.add(part_id(PartKind::Dialog), key.value(), [&] { return dialog_area(r, g); });
}

void describe_volume_notice(Renderer& r, const FrameInputs& in, ScreenParts& out) {
  out.add(part_id(PartKind::Notice), PartKey().add(in.volume).value(), [&] {
    const NoticeGeometry g = notice_geometry(r.width());
    return unite(g.box, placed_area(r, notice_text(r, g, in.volume)));
  });
}

void draw_volume_notice(Renderer& r, const FrameInputs& in) {
  const NoticeGeometry g = notice_geometry(r.width());
  const Rect& box = g.box;
  r.fill_rounded_rect(box.x, box.y, box.w, box.h, 8, kNoticeBox);
  draw_frame(r, box, 2, kAccent);
  draw_placed(r, notice_text(r, g, in.volume), kWhite);
  const Rect& bar = g.bar;
  r.fill_rounded_rect(bar.x, bar.y, bar.w, bar.h, 2, kRaised);
  int filled = in.volume * bar.w / 100;
  if (filled > 0) r.fill_rounded_rect(bar.x, bar.y, filled, bar.h, 2, kAccent);
}

}  // namespace ze
