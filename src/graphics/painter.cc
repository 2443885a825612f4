#include "graphics/painter.h"

#include <utility>

#include "graphics/screens.h"

namespace ze {
namespace {

// Beyond this share of the screen a full redraw costs no more than a
// clipped one.
constexpr size_t kFullRedrawPercent = 60;

const ScreenPart* find_part(const ScreenParts& parts, uint32_t id, size_t hint) {
  if (hint < parts.size() && parts[hint].id == id) return &parts[hint];
  for (const ScreenPart& part : parts) {
    if (part.id == id) return &part;
  }
  return nullptr;
}

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
  current_.clear();
  describe_screen(renderer_, inputs, current_);
  bool full = !have_previous_ || inputs.screen != previous_screen_;
  changed_.clear();
  if (!full) {
    for (size_t i = 0; i < current_.size(); ++i) {
      const ScreenPart& part = current_[i];
      const ScreenPart* before = find_part(previous_, part.id, i);
      if (before == nullptr) {
        changed_.add(part.area);
      } else if (before->key != part.key || !(before->area == part.area)) {
        changed_.add(before->area);
        changed_.add(part.area);
      }
    }
    for (size_t i = 0; i < previous_.size(); ++i) {
      if (find_part(current_, previous_[i].id, i) == nullptr) changed_.add(previous_[i].area);
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
