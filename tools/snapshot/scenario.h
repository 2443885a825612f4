// A snapshot scenario: the application values of one frame, read from a
// small JSON document, with every key optional and defaulting to the
// player's start-up value. Turned into the FrameInputs that render_frame
// draws by the player's own frame derivation. Used by the snapshot tool and its tests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "catalog/favorites.h"
#include "catalog/records.h"
#include "formats/now_playing.h"
#include "graphics/frame_inputs.h"
#include "main/frame.h"

namespace ze {

struct Scenario {
  uint32_t width = 1280;
  uint32_t height = 720;
  Screen screen = Screen::ChannelList;
  size_t category_index = 0;
  size_t selection = 0;
  PlaybackStatus playback;
  UpdateStatus update;
  int volume = 80;
  uint8_t sleep_option = 0;
  bool sleep_active = false;
  uint64_t sleep_remaining = 0;
  FavoriteSet favorites;
  uint64_t listening_seconds = 0;
  uint32_t volume_counter = 0;
  uint32_t frame = 0;
  float dial = 91.0f;
  std::optional<std::string> catalog_path;
  // The user's own station list (.m3u or .pls); a relative path is taken
  // from the scenario file's folder.
  std::optional<std::string> user_stations_path;
  // What the stream engine reports, in its now-playing document's format.
  std::optional<NowPlaying> now_playing;
};

// Parses a scenario; the error names the offending key.
Result<Scenario> parse_scenario(std::string_view json);

// The owned lists of one frame and the FrameInputs that point into them.
struct SnapshotFrame {
  ChannelCatalog catalog;
  std::vector<Channel> user_stations;
  FavoriteSet favorites;
  AppState state;
  FrameLists lists;
  StreamReportCache stream;
  FrameInputs inputs;
};

// The frame the player would draw from these values, derived by the
// player's own frame code (category index and selection are brought into
// range as the player does; the dial stands where the scenario puts it).
std::unique_ptr<SnapshotFrame> make_frame(const Scenario& scenario, ChannelCatalog catalog,
                                          std::vector<Channel> user_stations = {});

// The user's stations the scenario names, read as the player reads its list;
// none when it names no list. `scenario_file` is the scenario's own path.
Result<std::vector<Channel>> scenario_user_stations(const Scenario& scenario,
                                                    const std::string& scenario_file);

}  // namespace ze
