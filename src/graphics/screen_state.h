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
    Downloading,      // message, progress, step, received, total
    Error,            // message
  };

  Kind kind = Kind::Idle;
  std::string version;
  std::string download_url;
  uint64_t count = 0;
  std::string message;
  float progress = 0.0f;
  // Downloading: what the installer does now, and the package's bytes so
  // far against its size (0: not known; the bar then shows only movement).
  enum class Step { Download, Verify, Install };
  Step step = Step::Download;
  uint64_t received = 0;
  uint64_t total = 0;

  // Bytes arrive but nobody said how many will come.
  bool size_unknown() const { return kind == Kind::Downloading && total == 0 && received > 0; }

  bool is(Kind k) const { return kind == k; }
};

}  // namespace ze
