// The read-only snapshot of application values from which one whole frame is
// drawn. The main loop fills it once per frame; drawing never changes it.
#pragma once

#include <cstdint>
#include <span>

#include "catalog/favorites.h"
#include "catalog/records.h"
#include "graphics/screen_state.h"
#include "player/playback_status.h"

namespace ze {

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
};

}  // namespace ze
