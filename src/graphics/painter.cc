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

bool FramePainter::can_move(const ScreenPart& before, const ScreenPart& now,
                            const Backdrop* backdrop) {
  return sprite_movable(before.sprite, now.sprite) && backdrop != nullptr && backdrop->complete &&
         !backdrop->overdrawn;
}

void FramePainter::redraw_moves_meeting_tiles() {
  // Redrawing a move's area can make it meet another move: until none do.
  bool grew = true;
  while (grew) {
    grew = false;
    std::erase_if(moves_, [&](const Move& move) {
      if (!changed_.intersects(move.area)) return false;
      changed_.add(move.area);
      grew = true;
      return true;
    });
  }
}

bool FramePainter::work_out_damage(const FrameInputs& inputs) {
  moves_.clear();
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
      const bool same = before != nullptr && before->key == part.key && before->area == part.area;
      if (same) continue;
      const Rect sprite = sprite_area(renderer_, part.sprite);
      // A sprite whose backdrop is not yet whole has all of it redrawn, and
      // kept, so that it can move from the next frame on. One found drawn
      // over (under a dialog's darkening) stays with its tiles.
      const Backdrop* backdrop = backdrops_.find(sprite);
      const Rect whole = backdrop == nullptr || !backdrop->complete ? sprite : Rect{};
      if (before == nullptr) {
        changed_.add(part.area);
        changed_.add(whole);
      } else if (can_move(*before, part, backdrop)) {
        moves_.push_back({before->sprite, part.sprite, sprite});
      } else {
        changed_.add(before->area);
        changed_.add(part.area);
        changed_.add(whole);
      }
    }
    for (size_t i = 0; i < before_parts.size(); ++i) {
      if (current_.find(before_parts[i].id, i) == nullptr) changed_.add(before_parts[i].area);
    }
    redraw_moves_meeting_tiles();
    full = changed_.tile_count() * 100 > changed_.total_tiles() * kFullRedrawPercent;
  }
  std::swap(previous_, current_);
  previous_screen_ = inputs.screen;
  have_previous_ = true;
  if (full) {
    changed_.fill();
    moves_.clear();
  }
  return full;
}

void FramePainter::move_sprites() {
  for (const Move& move : moves_) {
    const Backdrop* backdrop = backdrops_.find(move.area);
    move_sprite(renderer_, *backdrop, move.from, move.to, moved_);
  }
  // Sprites that are gone take their backdrops with them. A sprite comes,
  // goes or changes place only in a frame that redraws tiles.
  if (changed_.empty()) return;
  std::vector<Rect> areas;
  for (const ScreenPart& part : previous_.parts()) {
    if (part.sprite.kind != Sprite::Kind::None) areas.push_back(sprite_area(renderer_, part.sprite));
  }
  backdrops_.keep_only(areas);
}

void FramePainter::render(const FrameInputs& inputs, const TileRegion* clip) {
  backdrops_.begin_pass();
  renderer_.set_backdrops(&backdrops_);
  renderer_.set_clip(clip);
  render_frame(renderer_, inputs);
  renderer_.set_clip(nullptr);
  renderer_.set_backdrops(nullptr);
}

const TileRegion& FramePainter::draw(const FrameInputs& inputs) {
  moved_.clear();
  bool full = work_out_damage(inputs);
  if (mode_ == Mode::FullRedraw) {
    render_frame(renderer_, inputs);
    return changed_;
  }
  if (full) {
    backdrops_.clear();
    render(inputs, nullptr);
  } else if (!changed_.empty()) {
    render(inputs, &changed_);
    // The parts' areas rule out that the pass drew over a sprite about to
    // move; should it have, the sprite's area is redrawn instead.
    TileRegion again(changed_.width(), changed_.height());
    std::erase_if(moves_, [&](const Move& move) {
      const Backdrop* backdrop = backdrops_.find(move.area);
      if (backdrop != nullptr && backdrop->complete && !backdrop->overdrawn) return false;
      again.add(move.area);
      changed_.add(move.area);
      return true;
    });
    if (!again.empty()) render(inputs, &again);
  }
  move_sprites();
  return changed_;
}

void FramePainter::present() { renderer_.framebuffer().present(changed_, moved_); }

}  // namespace ze
