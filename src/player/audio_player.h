// The playback controller: starts a station through the first player backend
// that works (an installed mpv, the stream engine script, ffplay, mpv on the
// search path), supervises and stops the player, finds a background playback
// left by an earlier run, and keeps and applies the volume.
//
// The main thread owns the AudioPlayer and calls every method. Each start runs
// a detached start thread that reports back only through the controller's
// shared cells (the status, the player and the request number), all guarded
// by the cells' one lock; everything else the AudioPlayer keeps is the main
// thread's alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "formats/now_playing.h"
#include "player/state_record.h"
#include "player/playback_status.h"

namespace ze {

// Where playback finds its players and keeps its runtime files. The defaults
// are the console's fixed paths; tests point them at temporary folders.
struct PlayerPaths {
  std::string playing_marker;     // exists while audio plays
  std::string state_file;         // record of a running stream engine
  std::string stream_pid_file;    // PID written by the stream engine
  std::string now_playing;        // the stream engine's now-playing document
  std::string bluetooth_address;  // exists while audio goes to Bluetooth
  std::string system_settings;    // the console's settings with its "vol" entry
  std::string speaker_mute;       // writing 1 mutes the built-in speaker
  std::vector<std::string> installed_mpv;   // tried in order
  std::vector<std::string> stream_scripts;  // tried in order, run by sh
  std::string proc_dir = "/proc";           // where running processes are listed
};

PlayerPaths default_player_paths();

// The mark every player process gets in its environment and passes on to
// all it starts: "ZE_RADIO_PLAYBACK=", the state file, "@" and the device
// number of its folder. Runs that share the runtime files share the mark, so
// a stop also finds what an earlier run left behind; a player with runtime
// files of its own (a test, a sandbox with a /tmp of its own) never touches
// another's processes.
std::string playback_mark(const PlayerPaths& paths);

// The volume (0 to 100) from the console's settings file; 80 when the file or
// its "vol" entry is unusable.
int load_initial_volume(const std::string& settings_path);

class AudioPlayer {
 public:
  AudioPlayer(PlayerPaths paths, int initial_volume);

  // Shows `Connecting` and starts the backends on a start thread; returns at
  // once. The caller has stopped whatever played before.
  void start_stream(const std::string& name, const std::string& stream_url,
                    const std::string& fallback_url, const std::string& frequency, int volume);
  // Supervision, once per frame: checks the player without waiting and
  // returns the status to show.
  PlaybackStatus poll();
  // Kills the player and everything it started, also what an earlier run
  // left playing (every process carrying the playback mark, see
  // playback_mark), removes the runtime files and returns to `Idle`. Never
  // touches a process it cannot tell is its own. Blocks until all is done.
  void stop();
  // What the stream engine reports of the stream it plays (its now-playing
  // document, read at most twice a second); null with any other player,
  // before the engine has written it and when nothing plays. Main thread.
  std::shared_ptr<const NowPlaying> now_playing();
  // Whole seconds since the current playback began; 0 when nothing plays.
  uint64_t elapsed_seconds() const;
  // At start-up: takes up a stream engine left running by an earlier run,
  // when its record names the running process fully; a record that does not
  // is removed with a log line.
  void reconnect();

  int volume() const;
  // Adds `step` (limited to 0..100) and applies it to the mixer and the
  // settings file, or mutes the speaker again while on Bluetooth. Blocks for
  // the commands it runs.
  void change_volume(int step);

  struct Cells;  // the shared cells, defined with the implementation

 private:
  // Whether the background engine taken up by reconnect still runs: its
  // record is read at most twice a second, its process probed every time.
  bool background_engine_alive();

  std::shared_ptr<const PlayerPaths> paths_;
  // Shared with the start threads, which hold copies of both pointers.
  std::shared_ptr<Cells> cells_;

  // The rest is the main thread's.
  int volume_ = 0;
  std::optional<Instant> play_started_;  // set while something plays
  // The background engine's record as last read, and when; whether it names
  // its live engine fully, so that its PID may be probed.
  std::optional<Instant> record_checked_;
  std::optional<PersistedState> record_;
  bool record_usable_ = false;
  // The now-playing document as last read, and when.
  std::shared_ptr<const NowPlaying> now_playing_;
  std::string now_playing_text_;
  std::optional<Instant> now_playing_read_;
};

}  // namespace ze
