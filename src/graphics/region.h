// Rectangles and tile regions of the screen. A TileRegion is a set of
// 16 x 16 tiles: the part of the back buffer that a frame redraws and that
// `present` copies. It answers, for each pixel row, the column runs it
// covers, so drawing can be clipped to it. Plain values; main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ze {

struct Rect {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;

  bool empty() const { return w <= 0 || h <= 0; }
  bool operator==(const Rect&) const = default;
};

// The smallest rectangle holding both (an empty one adds nothing).
Rect unite(const Rect& a, const Rect& b);
// Whether the two share a pixel.
bool overlap(const Rect& a, const Rect& b);
// The pixels the two share (empty when none).
Rect intersection(const Rect& a, const Rect& b);

// Pixel columns [x0, x1) of one row.
struct Run {
  int x0 = 0;
  int x1 = 0;
};

class TileRegion {
 public:
  static constexpr int kTileSize = 16;

  TileRegion(uint32_t width, uint32_t height);

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

  void clear();
  void fill();
  // Every tile the rectangle touches (the part on the screen).
  void add(const Rect& rect);

  bool empty() const { return count_ == 0; }
  bool full() const { return count_ == tiles_.size(); }
  size_t tile_count() const { return count_; }
  size_t total_tiles() const { return tiles_.size(); }
  bool has_tile(size_t column, size_t band) const { return tiles_[band * columns_ + column] != 0; }

  // The runs of pixel row y, left to right, clipped to the screen width;
  // none for a row off the screen.
  std::span<const Run> runs(int64_t y) const;
  // Whether any pixel of the rectangle lies in the region.
  bool intersects(const Rect& rect) const;
  // Whether every on-screen pixel of the rectangle lies in the region.
  bool covers(const Rect& rect) const;
  // The right end of the region's runs over rows [y0, y1); 0 when it has
  // none there.
  int64_t right_edge(int64_t y0, int64_t y1) const;
  // The first row below the band of tiles that holds row y (y >= 0).
  static int64_t band_end(int64_t y) { return (y / kTileSize + 1) * kTileSize; }

 private:
  // The rectangle's columns [x0, x1) and rows [y0, y1) on the screen
  // (empty when x0 >= x1 or y0 >= y1).
  struct Bounds {
    int64_t x0, y0, x1, y1;
  };
  Bounds on_screen(const Rect& rect) const;
  void rebuild_band(size_t band);

  uint32_t width_;
  uint32_t height_;
  size_t columns_;
  size_t bands_;
  size_t count_ = 0;
  std::vector<uint8_t> tiles_;      // band-major, 1 = in the region
  std::vector<Run> runs_;           // per band, room for columns_ / 2 + 1 runs
  std::vector<uint16_t> run_count_;
};

}  // namespace ze
