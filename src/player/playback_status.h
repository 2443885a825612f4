// What the player is doing, as the screen and the exit flow see it.
#pragma once

#include <string>

namespace ze {

struct PlaybackStatus {
  enum class Kind {
    Idle,        // nothing plays
    Connecting,  // text: the station name
    Playing,     // text: the station name
    Error,       // text: a message for the user
  };

  Kind kind = Kind::Idle;
  std::string text;

  static PlaybackStatus idle() { return {}; }
  static PlaybackStatus connecting(std::string name) { return {Kind::Connecting, std::move(name)}; }
  static PlaybackStatus playing(std::string name) { return {Kind::Playing, std::move(name)}; }
  static PlaybackStatus error(std::string message) { return {Kind::Error, std::move(message)}; }

  bool is(Kind k) const { return kind == k; }
  bool operator==(const PlaybackStatus&) const = default;
};

}  // namespace ze
