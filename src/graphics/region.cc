#include "graphics/region.h"

#include <algorithm>

namespace ze {

Rect unite(const Rect& a, const Rect& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  int64_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  int64_t x1 = std::max(int64_t{a.x} + a.w, int64_t{b.x} + b.w);
  int64_t y1 = std::max(int64_t{a.y} + a.h, int64_t{b.y} + b.h);
  return {int(x0), int(y0), int(std::min<int64_t>(x1 - x0, INT32_MAX)),
          int(std::min<int64_t>(y1 - y0, INT32_MAX))};
}

Rect intersection(const Rect& a, const Rect& b) {
  if (a.empty() || b.empty()) return {};
  int64_t x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  int64_t x1 = std::min(int64_t{a.x} + a.w, int64_t{b.x} + b.w);
  int64_t y1 = std::min(int64_t{a.y} + a.h, int64_t{b.y} + b.h);
  if (x0 >= x1 || y0 >= y1) return {};
  return {int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
}

bool overlap(const Rect& a, const Rect& b) { return !intersection(a, b).empty(); }

TileRegion::TileRegion(uint32_t width, uint32_t height)
    : width_(width),
      height_(height),
      columns_((size_t{width} + kTileSize - 1) / kTileSize),
      bands_((size_t{height} + kTileSize - 1) / kTileSize),
      tiles_(columns_ * bands_, 0),
      runs_(bands_ * (columns_ / 2 + 1)),
      run_count_(bands_, 0) {}

TileRegion::Bounds TileRegion::on_screen(const Rect& rect) const {
  return {std::max<int64_t>(rect.x, 0), std::max<int64_t>(rect.y, 0),
          std::min<int64_t>(int64_t{rect.x} + rect.w, width_),
          std::min<int64_t>(int64_t{rect.y} + rect.h, height_)};
}

void TileRegion::clear() {
  std::fill(tiles_.begin(), tiles_.end(), 0);
  std::fill(run_count_.begin(), run_count_.end(), 0);
  count_ = 0;
}

void TileRegion::fill() {
  std::fill(tiles_.begin(), tiles_.end(), 1);
  count_ = tiles_.size();
  for (size_t band = 0; band < bands_; ++band) rebuild_band(band);
}

void TileRegion::add(const Rect& rect) {
  if (rect.empty()) return;
  auto [x0, y0, x1, y1] = on_screen(rect);
  if (x0 >= x1 || y0 >= y1) return;
  size_t c0 = size_t(x0) / kTileSize, c1 = size_t(x1 - 1) / kTileSize;
  size_t b0 = size_t(y0) / kTileSize, b1 = size_t(y1 - 1) / kTileSize;
  for (size_t band = b0; band <= b1; ++band) {
    uint8_t* row = tiles_.data() + band * columns_;
    bool changed = false;
    for (size_t c = c0; c <= c1; ++c) {
      if (row[c] == 0) {
        row[c] = 1;
        ++count_;
        changed = true;
      }
    }
    if (changed) rebuild_band(band);
  }
}

void TileRegion::rebuild_band(size_t band) {
  const uint8_t* row = tiles_.data() + band * columns_;
  Run* out = runs_.data() + band * (columns_ / 2 + 1);
  uint16_t n = 0;
  for (size_t c = 0; c < columns_;) {
    if (row[c] == 0) {
      ++c;
      continue;
    }
    size_t start = c;
    while (c < columns_ && row[c] != 0) ++c;
    out[n++] = {int(start * kTileSize), int(std::min<size_t>(c * kTileSize, width_))};
  }
  run_count_[band] = n;
}

std::span<const Run> TileRegion::runs(int64_t y) const {
  if (y < 0 || y >= int64_t{height_}) return {};
  size_t band = size_t(y) / kTileSize;
  return {runs_.data() + band * (columns_ / 2 + 1), run_count_[band]};
}

bool TileRegion::intersects(const Rect& rect) const {
  if (rect.empty() || count_ == 0) return false;
  auto [x0, y0, x1, y1] = on_screen(rect);
  if (x0 >= x1 || y0 >= y1) return false;
  const size_t per_band = columns_ / 2 + 1;
  for (size_t band = size_t(y0) / kTileSize; band <= size_t(y1 - 1) / kTileSize; ++band) {
    const Run* run = runs_.data() + band * per_band;
    for (const Run* end = run + run_count_[band]; run != end; ++run) {
      if (run->x0 < x1 && run->x1 > x0) return true;
    }
  }
  return false;
}

bool TileRegion::covers(const Rect& rect) const {
  auto [x0, y0, x1, y1] = on_screen(rect);
  if (x0 >= x1 || y0 >= y1) return true;
  const size_t per_band = columns_ / 2 + 1;
  for (size_t band = size_t(y0) / kTileSize; band <= size_t(y1 - 1) / kTileSize; ++band) {
    const Run* run = runs_.data() + band * per_band;
    const Run* end = run + run_count_[band];
    while (run != end && run->x1 < x1) ++run;
    if (run == end || run->x0 > x0) return false;
  }
  return true;
}

int64_t TileRegion::right_edge(int64_t y0, int64_t y1) const {
  y0 = std::max<int64_t>(y0, 0);
  y1 = std::min<int64_t>(y1, height_);
  int64_t edge = 0;
  if (y0 >= y1) return edge;
  const size_t per_band = columns_ / 2 + 1;
  for (size_t band = size_t(y0) / kTileSize; band <= size_t(y1 - 1) / kTileSize; ++band) {
    if (run_count_[band] != 0) {
      edge = std::max<int64_t>(edge, runs_[band * per_band + run_count_[band] - 1].x1);
    }
  }
  return edge;
}

}  // namespace ze
