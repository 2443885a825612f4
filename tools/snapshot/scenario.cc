#include "tools/snapshot/scenario.h"

#include <algorithm>
#include <filesystem>
#include <limits>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/files.h"
#include "catalog/user_stations.h"
#include "graphics/layout.h"

namespace ze {
namespace {

using nlohmann::json;

Error bad(std::string_view key, std::string_view what) {
  return Error{fmt::format("scenario key \"{}\": {}", key, what)};
}

template <typename T>
Result<T> unsigned_value(const json& value, std::string_view key) {
  if (!value.is_number_unsigned() ||
      value.get<uint64_t>() > uint64_t{std::numeric_limits<T>::max()}) {
    return bad(key, fmt::format("expected a whole number from 0 to {}",
                                uint64_t{std::numeric_limits<T>::max()}));
  }
  return static_cast<T>(value.get<uint64_t>());
}

Result<std::string> string_value(const json& value, std::string_view key) {
  if (!value.is_string()) return bad(key, "expected a string");
  return value.get<std::string>();
}

Result<Screen> parse_screen(const json& value) {
  auto name = string_value(value, "screen");
  if (!name) return Error{name.error()};
  if (*name == "ChannelList") return Screen::ChannelList;
  if (*name == "NowPlaying") return Screen::NowPlaying;
  if (*name == "UpdateDialog") return Screen::UpdateDialog;
  if (*name == "ExitDialog") return Screen::ExitDialog;
  return bad("screen", "expected ChannelList, NowPlaying, UpdateDialog or ExitDialog");
}

Result<PlaybackStatus> parse_playback(const json& value) {
  if (!value.is_object()) return bad("playback", "expected an object");
  PlaybackStatus status;
  for (const auto& [key, item] : value.items()) {
    if (key == "state") {
      auto state = string_value(item, "playback.state");
      if (!state) return Error{state.error()};
      if (*state == "Idle") {
        status.kind = PlaybackStatus::Kind::Idle;
      } else if (*state == "Connecting") {
        status.kind = PlaybackStatus::Kind::Connecting;
      } else if (*state == "Playing") {
        status.kind = PlaybackStatus::Kind::Playing;
      } else if (*state == "Error") {
        status.kind = PlaybackStatus::Kind::Error;
      } else {
        return bad("playback.state", "expected Idle, Connecting, Playing or Error");
      }
    } else if (key == "text") {
      auto text = string_value(item, "playback.text");
      if (!text) return Error{text.error()};
      status.text = *text;
    } else {
      return bad("playback." + key, "unknown key");
    }
  }
  return status;
}

Result<UpdateStatus> parse_update(const json& value) {
  if (!value.is_object()) return bad("update", "expected an object");
  UpdateStatus status;
  for (const auto& [key, item] : value.items()) {
    std::string name = "update." + key;
    if (key == "state") {
      auto state = string_value(item, name);
      if (!state) return Error{state.error()};
      using Kind = UpdateStatus::Kind;
      static const std::pair<std::string_view, Kind> kKinds[] = {
          {"Idle", Kind::Idle},
          {"Checking", Kind::Checking},
          {"UpdateAvailable", Kind::UpdateAvailable},
          {"ChannelsUpdated", Kind::ChannelsUpdated},
          {"Downloading", Kind::Downloading},
          {"Error", Kind::Error}};
      auto found = std::find_if(std::begin(kKinds), std::end(kKinds),
                                [&](const auto& k) { return k.first == *state; });
      if (found == std::end(kKinds)) {
        return bad(name,
                   "expected Idle, Checking, UpdateAvailable, ChannelsUpdated, Downloading or "
                   "Error");
      }
      status.kind = found->second;
    } else if (key == "version" || key == "message") {
      auto text = string_value(item, name);
      if (!text) return Error{text.error()};
      (key == "version" ? status.version : status.message) = *text;
    } else if (key == "count") {
      auto count = unsigned_value<uint64_t>(item, name);
      if (!count) return Error{count.error()};
      status.count = *count;
    } else if (key == "progress") {
      if (!item.is_number()) return bad(name, "expected a number");
      status.progress = item.get<float>();
    } else if (key == "received" || key == "total") {
      auto bytes = unsigned_value<uint64_t>(item, name);
      if (!bytes) return Error{bytes.error()};
      (key == "received" ? status.received : status.total) = *bytes;
    } else if (key == "step") {
      auto step = string_value(item, name);
      if (!step) return Error{step.error()};
      using Step = UpdateStatus::Step;
      if (*step == "Download") {
        status.step = Step::Download;
      } else if (*step == "Verify") {
        status.step = Step::Verify;
      } else if (*step == "Install") {
        status.step = Step::Install;
      } else {
        return bad(name, "expected Download, Verify or Install");
      }
    } else {
      return bad(name, "unknown key");
    }
  }
  // A download given by its bytes shows their share unless a progress is given.
  if (status.total > 0 && !value.contains("progress")) {
    status.progress = download_share(status.received, status.total);
  }
  return status;
}

// Stores an unsigned value of the key into `field`; false with `error` set
// on failure.
template <typename T>
bool take(const json& item, std::string_view key, T& field, std::optional<Error>& error) {
  auto value = unsigned_value<T>(item, key);
  if (!value) {
    error = Error{value.error()};
    return false;
  }
  field = *value;
  return true;
}

}  // namespace

Result<Scenario> parse_scenario(std::string_view text) {
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) return Error{"scenario is not valid JSON"};
  if (!doc.is_object()) return Error{"scenario must be a JSON object"};
  Scenario s;
  std::optional<Error> error;
  for (const auto& [key, item] : doc.items()) {
    bool ok = true;
    if (key == "width") {
      ok = take(item, key, s.width, error);
      if (ok && (s.width == 0 || s.width > 8192)) error = bad(key, "expected 1 to 8192"), ok = false;
    } else if (key == "height") {
      ok = take(item, key, s.height, error);
      if (ok && (s.height == 0 || s.height > 8192)) error = bad(key, "expected 1 to 8192"), ok = false;
    } else if (key == "screen") {
      auto screen = parse_screen(item);
      if (!screen) return Error{screen.error()};
      s.screen = *screen;
    } else if (key == "categoryIndex") {
      ok = take(item, key, s.category_index, error);
    } else if (key == "selection") {
      ok = take(item, key, s.selection, error);
    } else if (key == "playback") {
      auto playback = parse_playback(item);
      if (!playback) return Error{playback.error()};
      s.playback = *playback;
    } else if (key == "update") {
      auto update = parse_update(item);
      if (!update) return Error{update.error()};
      s.update = *update;
    } else if (key == "volume") {
      uint32_t volume = 0;
      ok = take(item, key, volume, error);
      if (ok && volume > 100) error = bad(key, "expected 0 to 100"), ok = false;
      s.volume = static_cast<int>(volume);
    } else if (key == "sleepOption") {
      ok = take(item, key, s.sleep_option, error);
      if (ok && s.sleep_option > 4) error = bad(key, "expected 0 to 4"), ok = false;
    } else if (key == "sleepActive") {
      if (!item.is_boolean()) return bad(key, "expected true or false");
      s.sleep_active = item.get<bool>();
    } else if (key == "sleepRemaining") {
      ok = take(item, key, s.sleep_remaining, error);
    } else if (key == "favorites") {
      if (!item.is_array()) return bad(key, "expected an array of channel ids");
      for (const auto& id : item) {
        if (!id.is_string()) return bad(key, "expected an array of channel ids");
        s.favorites.insert(id.get<std::string>());
      }
    } else if (key == "listeningSeconds") {
      ok = take(item, key, s.listening_seconds, error);
    } else if (key == "volumeCounter") {
      ok = take(item, key, s.volume_counter, error);
    } else if (key == "frame") {
      ok = take(item, key, s.frame, error);
    } else if (key == "dial") {
      if (!item.is_number()) return bad(key, "expected a number");
      s.dial = item.get<float>();
    } else if (key == "catalog") {
      auto path = string_value(item, key);
      if (!path) return Error{path.error()};
      s.catalog_path = *path;
    } else if (key == "nowPlaying") {
      if (!item.is_object()) return bad(key, "expected an object in the now-playing document's format");
      Result<NowPlaying> now = parse_now_playing(item.dump());
      if (!now) return bad(key, now.error());
      s.now_playing = std::move(now).value();
    } else if (key == "userStations") {
      auto path = string_value(item, key);
      if (!path) return Error{path.error()};
      s.user_stations_path = *path;
    } else {
      return bad(key, "unknown key");
    }
    if (!ok) return *error;
  }
  return s;
}

std::unique_ptr<SnapshotFrame> make_frame(const Scenario& scenario, ChannelCatalog catalog,
                                          std::vector<Channel> user_stations) {
  auto frame = std::make_unique<SnapshotFrame>();
  frame->catalog = std::move(catalog);
  frame->user_stations = std::move(user_stations);
  frame->favorites = scenario.favorites;
  AppState& state = frame->state;
  state.screen = scenario.screen;
  state.category_index = scenario.category_index;
  state.selection = scenario.selection;
  state.update = scenario.update;
  state.sleep.option = scenario.sleep_option;
  state.sleep.active = scenario.sleep_active;
  state.sleep.remaining = scenario.sleep_remaining;
  state.volume_counter = scenario.volume_counter;
  state.frame_counter = scenario.frame;
  state.dial_position = scenario.dial;
  frame->lists = derive_frame_lists(frame->catalog, frame->favorites, state, frame->user_stations);
  const StreamReport* stream = nullptr;
  if (scenario.now_playing) {
    stream = current_stream_report(std::make_shared<const NowPlaying>(*scenario.now_playing),
                                   scenario.playback, frame->stream);
  }
  frame->inputs = make_frame_inputs(state, frame->lists, frame->favorites, scenario.playback,
                                    scenario.volume, scenario.listening_seconds, stream);
  return frame;
}

Result<std::vector<Channel>> scenario_user_stations(const Scenario& scenario,
                                                    const std::string& scenario_file) {
  if (!scenario.user_stations_path) return std::vector<Channel>{};
  std::filesystem::path path(*scenario.user_stations_path);
  if (path.is_relative()) path = std::filesystem::path(scenario_file).parent_path() / path;
  auto text = read_file(path.string());
  if (!text) return bad("userStations", text.error());
  return std::move(user_stations_from_text(*text, path.string()).channels);
}

}  // namespace ze
