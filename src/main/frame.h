// One frame's derivation from the application's values: the category tabs
// (with the user's own tab when the user has stations of their own and the
// favourites tab when there are favourites), the channels the
// current tab shows, the dial's target and the FrameInputs the screen is
// drawn from. Pure functions of plain values; App calls them on the main
// thread and the snapshot tool calls them to draw the player's own frames.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/favorites.h"
#include "catalog/records.h"
#include "formats/now_playing.h"
#include "graphics/frame_inputs.h"
#include "graphics/layout.h"
#include "graphics/screen_state.h"
#include "main/sleep_timer.h"
#include "player/playback_status.h"

namespace ze {

inline constexpr float kInitialDial = 91.0f;

// The main loop's state record.
struct AppState {
  Screen screen = Screen::ChannelList;
  size_t category_index = 0;
  size_t selection = 0;
  UpdateStatus update;
  std::optional<std::string> pending_download_url;  // never cleared once set
  std::optional<uint64_t> pending_download_size;    // the manifest's, with the address
  SleepTimer sleep;
  uint32_t volume_counter = 0;
  uint32_t frame_counter = 0;
  float dial_position = kInitialDial;
};

// This frame's lists, derived from the catalog and the favourites.
struct FrameLists {
  std::vector<Category> categories;
  std::string filter_id;
  std::vector<Channel> visible;
  float dial_target = 95.0f;
};

// The dial's target for a channel's free-text frequency ("FM 100.0 MHz" →
// 100.0, "AM 610 KHz" → 93.0, anything without a usable number → 95.0).
float dial_target_for(std::string_view frequency);

// The lists of this frame. Brings `state.category_index` and
// `state.selection` back into range when the lists have shrunk. The user's
// own stations follow the catalog's channels in every list but "all", which
// lists the catalog; their tab comes just before the favourites tab.
FrameLists derive_frame_lists(const ChannelCatalog& catalog, const FavoriteSet& favorites,
                              AppState& state, std::span<const Channel> user_stations = {});

// The read-only snapshot the frame is drawn from; it points into `lists`,
// `favorites` and `stream`, which must outlive it.
FrameInputs make_frame_inputs(const AppState& state, const FrameLists& lists,
                              const FavoriteSet& favorites, const PlaybackStatus& playback,
                              int volume, uint64_t listening_seconds,
                              const StreamReport* stream = nullptr);

// "20:15": the hour and minute of a wall-clock time (seconds since 1970)
// in the local time zone.
std::string local_clock(uint64_t seconds);

// The engine's report as the screens show it while `playback` lasts; null
// when there is none. `cached` keeps the last one, made again only when the
// document or the station changes.
struct StreamReportCache {
  std::shared_ptr<const NowPlaying> document;
  std::string station;
  StreamReport report;
};
const StreamReport* current_stream_report(const std::shared_ptr<const NowPlaying>& document,
                                          const PlaybackStatus& playback, StreamReportCache& cached);

}  // namespace ze
