// The read-only snapshot of application values from which one whole frame is
// drawn. The main loop fills it once per frame; drawing never changes it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "catalog/favorites.h"
#include "catalog/records.h"
#include "graphics/screen_state.h"
#include "player/playback_status.h"

namespace ze {

// What the stream engine reports of the stream that plays, as the screens
// show it.
struct StreamReport {
  std::string title;    // empty: none known
  std::string artist;
  std::string format;   // the detail panel's format row; empty: its fixed text
  std::string quality;  // the quality row; empty: its fixed text
  struct Played {
    std::string time;   // when it began, "20:15"
    std::string text;   // "Artist – Title", or the title
    bool current = false;
    bool operator==(const Played&) const = default;
  };
  std::vector<Played> history;  // newest first
  bool operator==(const StreamReport&) const = default;
};

struct FrameInputs {
  std::span<const Category> categories;  // with the favourites tab when there are favourites
  size_t category_index = 0;
  std::span<const Channel> channels;     // visible channels of the current tab
  size_t selection = 0;
  PlaybackStatus playback;
  float dial_position = 91.0f;
  UpdateStatus update;
  Screen screen = Screen::ChannelList;
  uint32_t frame_counter = 0;
  int volume = 80;                       // 0 to 100
  uint8_t sleep_option = 0;              // 0 off, 1..4 = 15, 30, 45, 60 minutes
  bool sleep_active = false;
  uint64_t sleep_remaining = 0;          // whole seconds
  const FavoriteSet* favorites = nullptr;
  uint64_t listening_seconds = 0;
  uint32_t volume_counter = 0;           // frames left for the volume notice
  const StreamReport* stream = nullptr;  // null: the engine reports nothing
};

}  // namespace ze
