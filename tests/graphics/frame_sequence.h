// Shared by the painter test and its fuzz target: a world of frame inputs
// that changes at random from frame to frame (screens, selection and
// scrolling, tabs, playing states, meters, dialogs, the volume notice, the
// sleep pill, long texts), and a pair of painters, one redrawing only what
// changed and one redrawing everything, whose back buffers and device
// copies are compared after every frame.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "graphics/framebuffer.h"
#include "graphics/painter.h"
#include "graphics/renderer.h"

namespace ze::testing {

// Where the random choices come from: a fuzzer's bytes or a seeded engine.
class Choices {
 public:
  virtual ~Choices() = default;
  // A value below `bound` (bound > 0).
  virtual uint32_t below(uint32_t bound) = 0;
  bool chance(uint32_t percent) { return below(100) < percent; }
};

class FrameWorld {
 public:
  FrameWorld() {
    categories_ = {{"all", "Tất Cả", "All"}, {"vov", "VOV", "VOV"}, {"fav", "Yêu Thích ⭐", "Fav"}};
    for (int i = 0; i < 24; ++i) {
      Channel c;
      c.id = fmt::format("c{}", i);
      c.name = i % 7 == 3 ? fmt::format("Kênh rất dài {} ", i) + std::string(180, 'W')
                          : fmt::format("VOV{} - Thời sự {}", i, i);
      c.short_name = i % 5 == 0 ? "" : fmt::format("V{}", i);
      c.frequency = i % 9 == 4 ? std::string(90, '8') : fmt::format("FM {}.{} MHz", 88 + i, i % 10);
      c.color = i % 4 == 0 ? "#bad" : "10B981";
      c.description = i % 6 == 1 ? std::string(300, 'x') : "";
      catalog_.push_back(c);
    }
    in_.categories = categories_;
    in_.favorites = &favorites_;
    refilter();
    // What the engine may report: nothing, the format alone, titles short
    // and long, a history growing title by title.
    reports_.resize(6);
    reports_[1].format = "128 kbps • MP3 / ICY";
    reports_[1].quality = "44.1 kHz Stereo • ALSA";
    for (size_t i = 2; i < reports_.size(); ++i) {
      StreamReport& report = reports_[i];
      report.format = "64 kbps • HE-AAC v2 / HLS";
      report.quality = "48 kHz Stereo • WAV";
      report.title = i % 2 ? "Lạc Trôi" : "Những bài hát " + std::string(150, 'W');
      report.artist = i == 3 ? "" : "Sơn Tùng M-TP";
      for (size_t n = 0; n < 2 * i; ++n) {
        report.history.push_back({fmt::format("{:02}:{:02}", 20 - n, 5 * i), n == 0 ? report.title
                                  : fmt::format("Bài {} ", n) + std::string(n * 20, 'x'), n == 0});
      }
    }
  }

  const FrameInputs& inputs() const { return in_; }

  // One frame later: the counter moves, the listening time now and then,
  // and now and then something the user or the player does.
  void step(Choices& c) {
    ++in_.frame_counter;
    if (in_.frame_counter % 60 == 0) ++in_.listening_seconds;
    if (in_.volume_counter != 0) --in_.volume_counter;
    if (in_.sleep_active && in_.frame_counter % 60 == 0 && in_.sleep_remaining > 0) {
      --in_.sleep_remaining;
    }
    float target = 87.0f + float(in_.selection % 22);
    in_.dial_position += (target - in_.dial_position) * 0.15f;
    if (!c.chance(25)) return;
    switch (c.below(17)) {
      case 0: in_.screen = static_cast<Screen>(c.below(4)); break;
      case 1: in_.selection += 1; break;
      case 2: in_.selection = in_.selection > 0 ? in_.selection - 1 : 0; break;
      case 3: in_.selection = c.below(30); break;
      case 4: in_.category_index = c.below(4); refilter(); break;
      case 5: set_playback(c); break;
      case 6: set_update(c); break;
      case 7: in_.volume = int(c.below(101)); in_.volume_counter = 1 + c.below(90); break;
      case 8:
        in_.sleep_option = uint8_t(c.below(5));
        in_.sleep_active = in_.sleep_option != 0 && c.chance(50);
        in_.sleep_remaining = c.below(3700);
        break;
      case 9: {
        const std::string& id = catalog_[c.below(uint32_t(catalog_.size()))].id;
        if (!favorites_.erase(id)) favorites_.insert(id);
        refilter();
        break;
      }
      case 10: in_.listening_seconds = c.below(100000); break;
      case 11: in_.frame_counter += c.below(1000); break;
      case 12: in_.dial_position = c.chance(10) ? NAN : 80.0f + float(c.below(35)); break;
      case 13: in_.channels = {}; break;  // an empty tab
      case 14: refilter(); break;
      case 15: in_.volume_counter = 0; break;
      case 16: {
        uint32_t pick = c.below(uint32_t(reports_.size()));
        in_.stream = pick == 0 ? nullptr : &reports_[pick];
        break;
      }
    }
  }

 private:
  void refilter() {
    visible_.clear();
    for (const Channel& channel : catalog_) {
      bool shown = in_.category_index == 0 ||
                   (in_.category_index == 1 && channel.id.size() % 2 == 0) ||
                   (in_.category_index == 2 && favorites_.count(channel.id) != 0);
      if (shown) visible_.push_back(channel);
    }
    in_.channels = visible_;
  }

  void set_playback(Choices& c) {
    std::string name = catalog_[c.below(uint32_t(catalog_.size()))].name;
    switch (c.below(4)) {
      case 0: in_.playback = PlaybackStatus::idle(); break;
      case 1: in_.playback = PlaybackStatus::connecting(name); break;
      case 2: in_.playback = PlaybackStatus::playing(name); break;
      default: in_.playback = PlaybackStatus::error(c.chance(50) ? "Hết thời gian" : std::string(200, 'E')); break;
    }
  }

  void set_update(Choices& c) {
    UpdateStatus u;
    u.kind = static_cast<UpdateStatus::Kind>(c.below(6));
    u.version = c.chance(80) ? "1.2.0" : std::string(120, '9');
    u.count = c.below(500);
    u.message = c.chance(50) ? "Đang tải..." : std::string(150, 'm');
    u.progress = float(c.below(120)) / 100.0f;
    // A download by its bytes, of a known size or not, at any step.
    u.step = static_cast<UpdateStatus::Step>(c.below(3));
    u.total = c.chance(50) ? 3600000 : 0;
    u.received = c.below(3700) * uint64_t{1000};
    in_.update = u;
  }

  std::vector<Category> categories_;
  std::vector<StreamReport> reports_;
  std::vector<Channel> catalog_;
  std::vector<Channel> visible_;
  FavoriteSet favorites_;
  FrameInputs in_;
};

// Two screens of the same size presenting into memory that stands in for
// the device (rows padded, so the row-by-row copy is exercised too).
class PainterPair {
 public:
  PainterPair(uint32_t width, uint32_t height)
      : stride_(width * 4 + 64),
        incremental_device_(size_t(stride_) * height, 0),
        full_device_(size_t(stride_) * height, 0),
        incremental_fb_(Framebuffer::with_memory(width, height, stride_, incremental_device_)),
        full_fb_(Framebuffer::with_memory(width, height, stride_, full_device_)),
        incremental_renderer_(incremental_fb_),
        full_renderer_(full_fb_),
        incremental_(incremental_renderer_, FramePainter::Mode::Incremental),
        full_(full_renderer_, FramePainter::Mode::FullRedraw) {}

  // Draws and presents one frame both ways; the first difference, if any.
  std::optional<std::string> frame(const FrameInputs& in) {
    last_tiles_ = incremental_.draw(in).tile_count();
    last_moved_ = incremental_.moved().size();
    incremental_.present();
    full_.draw(in);
    full_.present();
    const uint32_t w = incremental_fb_.width(), h = incremental_fb_.height();
    const uint32_t* a = incremental_fb_.pixels();
    const uint32_t* b = full_fb_.pixels();
    if (std::memcmp(a, b, size_t(w) * h * 4) != 0) {
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
          size_t i = size_t(y) * w + x;
          if (a[i] != b[i]) {
            return fmt::format("back buffer differs at ({}, {}): {:08X} instead of {:08X}", x,
                               y, a[i], b[i]);
          }
        }
      }
    }
    if (incremental_device_ != full_device_) return std::string("device copies differ");
    return std::nullopt;
  }

  // Tiles the incremental painter redrew in the last frame, and the
  // rectangles it wrote by moving sprites.
  size_t last_tiles() const { return last_tiles_; }
  size_t last_moved() const { return last_moved_; }

 private:
  uint32_t stride_;
  std::vector<uint8_t> incremental_device_;
  std::vector<uint8_t> full_device_;
  Framebuffer incremental_fb_;
  Framebuffer full_fb_;
  Renderer incremental_renderer_;
  Renderer full_renderer_;
  FramePainter incremental_;
  FramePainter full_;
  size_t last_tiles_ = 0;
  size_t last_moved_ = 0;
};

}  // namespace ze::testing
