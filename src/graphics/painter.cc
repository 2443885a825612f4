#include "graphics/painter.h"

#include <utility>

#include "graphics/screens.h"

namespace ze {
namespace {

// Beyond this share of the screen a full redraw costs no more than a
// clipped one.
constexpr size_t kFullRedrawPercent = 60;

}  // namespace

FramePainter::FramePainter(Renderer& renderer, Mode mode)
    : renderer_(renderer),
      mode_(mode),
      changed_(renderer.framebuffer().width(), renderer.framebuffer().height()) {}

bool FramePainter::work_out_damage(const FrameInputs& inputs) {
  if (mode_ == Mode::FullRedraw) {
    changed_.fill();
    return true;
  }
  bool full = !have_previous_ || inputs.screen != previous_screen_;
  current_.start(full ? nullptr : &previous_);
  describe_screen(renderer_, inputs, current_);
  changed_.clear();
  if (!full) {
    const std::vector<ScreenPart>& now = current_.parts();
    const std::vector<ScreenPart>& before_parts = previous_.parts();
    for (size_t i = 0; i < now.size(); ++i) {
      const ScreenPart& part = now[i];
      const ScreenPart* before = previous_.find(part.id, i);
      if (before == nullptr) {
        changed_.add(part.area);
      } else if (before->key != part.key || !(before->area == part.area)) {
        changed_.add(before->area);
        changed_.add(part.area);
      }
    }
    for (size_t i = 0; i < before_parts.size(); ++i) {
      if (current_.find(before_parts[i].id, i) == nullptr) changed_.add(before_parts[i].area);
    }
    full = changed_.tile_count() * 100 > changed_.total_tiles() * kFullRedrawPercent;
  }
  std::swap(previous_, current_);
  previous_screen_ = inputs.screen;
  have_previous_ = true;
  if (full) changed_.fill();
  return full;
}

const TileRegion& FramePainter::draw(const FrameInputs& inputs) {
  bool full = work_out_damage(inputs);
  if (full) {
    render_frame(renderer_, inputs);
  } else if (!changed_.empty()) {
    renderer_.set_clip(&changed_);
    render_frame(renderer_, inputs);
    renderer_.set_clip(nullptr);
  }
  return changed_;
}

void FramePainter::present() { renderer_.framebuffer().present(changed_); }

}  // namespace ze
