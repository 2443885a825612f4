// The screen's vocabulary: which screen is shown and what the update dialog
// and pill say. The application state above keeps the current values; the
// drawing code reads them.
#pragma once

#include <cstdint>
#include <string>

namespace ze {

enum class Screen {
  ChannelList,   // category header and channel list (start screen)
  NowPlaying,    // full-screen now-playing view
  UpdateDialog,  // update dialog over the channel list
  ExitDialog,    // exit dialog over the channel list
};

struct UpdateStatus {
  enum class Kind {
    Idle,             // nothing asked yet
    Checking,         // a check is running
    UpdateAvailable,  // version, download_url
    ChannelsUpdated,  // count
    Downloading,      // message, progress
    Error,            // message
  };

  Kind kind = Kind::Idle;
  std::string version;
  std::string download_url;
  uint64_t count = 0;
  std::string message;
  float progress = 0.0f;

  bool is(Kind k) const { return kind == k; }
};

}  // namespace ze
