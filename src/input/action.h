// The closed set of input actions. Every producer (key devices, standard
// input, the command pipe) turns its input into these; the main loop
// dispatches them. Logs print an action by its variant name.
#pragma once

#include <cstdint>
#include <string_view>

namespace ze {

enum class Action : uint8_t {
  Up,
  Down,
  Left,
  Right,
  Confirm,
  Cancel,
  OtaUpdate,
  ToggleFavorite,
  PrevCategory,
  NextCategory,
  VolumeDown,
  VolumeUp,
  NowPlayingToggle,
  MuteToggle,  // steps the sleep timer; nothing mutes audio
  Exit,
};

inline constexpr int kActionCount = 15;

constexpr std::string_view action_name(Action action) {
  constexpr std::string_view kNames[kActionCount] = {
      "Up",          "Down",         "Left",       "Right",      "Confirm",
      "Cancel",      "OtaUpdate",    "ToggleFavorite", "PrevCategory", "NextCategory",
      "VolumeDown",  "VolumeUp",     "NowPlayingToggle", "MuteToggle", "Exit"};
  return kNames[static_cast<int>(action)];
}

}  // namespace ze
