#include "graphics/backdrop.h"

#include <algorithm>

namespace ze {

Backdrop& BackdropStore::entry(const Rect& area) {
  for (Backdrop& backdrop : entries_) {
    if (backdrop.area == area) return backdrop;
  }
  Backdrop& backdrop = entries_.emplace_back();
  backdrop.area = area;
  backdrop.pixels.assign(size_t(std::max(area.w, 0)) * size_t(std::max(area.h, 0)), 0);
  return backdrop;
}

const Backdrop* BackdropStore::find(const Rect& area) const {
  for (const Backdrop& backdrop : entries_) {
    if (backdrop.area == area) return &backdrop;
  }
  return nullptr;
}

void BackdropStore::note_drawing(const Rect& rect) {
  for (Backdrop& backdrop : entries_) {
    if (backdrop.sealed_pass == pass_ && overlap(backdrop.area, rect)) backdrop.overdrawn = true;
  }
}

void BackdropStore::note_dimming(const Rect& spared) {
  for (Backdrop& backdrop : entries_) {
    if (backdrop.sealed_pass != pass_) continue;
    if (overlap(backdrop.area, spared)) {
      backdrop.overdrawn = true;
    } else {
      backdrop.dimmed = true;
    }
  }
}

void BackdropStore::keep_only(const std::vector<Rect>& areas) {
  std::erase_if(entries_, [&](const Backdrop& backdrop) {
    return std::find(areas.begin(), areas.end(), backdrop.area) == areas.end();
  });
}

}  // namespace ze
