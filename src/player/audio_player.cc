#include "player/audio_player.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>

#include "base/address.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/text.h"
#include "base/thread.h"
#include "player/state_record.h"
#include "player/playback_commands.h"

namespace ze {

namespace {

constexpr const char* kStreamLostText = "Mất tín hiệu luồng / Thử lại";
constexpr const char* kNoPlayerText = "Playback failed: no audio player available";
constexpr const char* kInvalidUrlText = "Playback failed: invalid stream URL";
constexpr const char* kNoUrlText = "Playback failed: no stream URL";

// A player process owned by the program.
struct HeldPlayer {
  Process process;
  bool leads_group = false;    // started in a process group of its own
  bool exit_reported = false;  // its exit line has been logged
};

}  // namespace

constexpr auto kRecordCheckPeriod = std::chrono::milliseconds(500);
// The engine's document is small; anything larger is not its.
constexpr uintmax_t kMaxNowPlayingBytes = 64 * 1024;

// What the main thread and the start threads share. The start threads only
// ever read the request number and hand over a status and a player, so one
// lock guards them all.
struct AudioPlayer::Cells {
  std::mutex lock;
  PlaybackStatus status;            // guarded by lock
  std::optional<HeldPlayer> child;  // guarded by lock
  // Number of the current start request, guarded by lock. Every start and
  // stop moves it on, so a start thread can tell that the user has moved on
  // while it was starting its player.
  uint64_t request = 0;
};

namespace {

using Cells = AudioPlayer::Cells;

// The input of one start thread; copies, owned by the thread.
struct StreamRequest {
  uint64_t number = 0;
  std::string name;
  std::string stream_url;
  std::string fallback_url;
  std::string frequency;
  int volume = 0;
};

void set_status(Cells& cells, PlaybackStatus status) {
  std::lock_guard guard(cells.lock);
  cells.status = std::move(status);
}

// Kills a player and reaps it: its group first (the stream engine and all it
// started), then the process itself if it still runs. Errors are ignored.
// Once a player that was not started as a group leader has been reaped, its
// number is free and may already lead someone else's group: that group is
// left alone.
void terminate_player(Process& process, bool leads_group) {
  if (leads_group || process.running()) {
    (void)send_group_signal(process.pid(), SIGTERM);
    (void)send_group_signal(process.pid(), SIGKILL);
  }
  if (process.running()) (void)send_signal(process.pid(), SIGKILL);
  process.wait();
}

// Kills the process group and the process named by a PID read from a
// runtime file, when that PID names an ordinary foreign process.
void kill_recorded_pid(int64_t pid) {
  if (!usable_foreign_pid(pid)) return;
  (void)send_group_signal(static_cast<pid_t>(pid), SIGKILL);
  (void)send_signal(static_cast<pid_t>(pid), SIGKILL);
}

// Why a state record does not name a live engine of this player, or nothing
// when it does: its PID, start time and program name all match a running
// process. A process that merely got the recorded number is not the engine.
std::optional<std::string> stale_record_reason(const PersistedState& state,
                                               const std::string& proc_dir) {
  if (!state.process_start || !state.process_name) {
    return "it does not name its process fully";
  }
  if (!usable_foreign_pid(state.pid)) return "its PID names no other process";
  std::optional<ProcessIdentity> running =
      process_identity(static_cast<pid_t>(state.pid), proc_dir);
  if (!running) return "no such process";
  if (*running != ProcessIdentity{*state.process_start, *state.process_name}) {
    return "the PID now belongs to another process";
  }
  return std::nullopt;
}

void log_stale_record(const PersistedState& state, const std::string& reason) {
  logf("[AudioPlayer] Removed stale background playback record (PID: {}): {}", state.pid, reason);
}

std::optional<std::string> read_text_file(const std::string& path) {
  Result<std::string> text = read_file(path);
  if (!text || !is_valid_utf8(*text)) return std::nullopt;
  return std::move(text).value();
}

// The recorded stream engine, when the state file can be read and parsed.
std::optional<PersistedState> read_state(const std::string& path) {
  std::optional<std::string> text = read_text_file(path);
  if (!text) return std::nullopt;
  Result<PersistedState> state = parse_state(*text);
  if (!state) return std::nullopt;
  return std::move(state).value();
}

bool is_current(Cells& cells, uint64_t request) {
  std::lock_guard guard(cells.lock);
  return cells.request == request;
}

// Hands the outcome of a start back to the controller: when the request is
// still the current one, runs `record` (the runtime file of this backend),
// sets the status and stores the player, all under the cells' lock so that
// a stop cannot slip in between. A player whose request is no longer current
// is killed instead, so that at most one player runs.
template <typename Record>
void report_start(Cells& cells, uint64_t request, PlaybackStatus status,
                  std::optional<Process> player, bool leads_group, Record record) {
  std::optional<HeldPlayer> replaced;
  {
    std::lock_guard guard(cells.lock);
    if (cells.request == request) {
      record();
      cells.status = std::move(status);
      if (player) {
        replaced = std::move(cells.child);
        cells.child = HeldPlayer{std::move(*player), leads_group, false};
        player.reset();
      }
    }
  }
  if (player) {
    logf("[AudioPlayer] Stopping player PID {}: its station is no longer selected", player->pid());
    terminate_player(*player, leads_group);
  }
  // Only when a start was not preceded by a stop: the older player goes.
  if (replaced) terminate_player(replaced->process, replaced->leads_group);
}

void report_status(Cells& cells, uint64_t request, PlaybackStatus status) {
  report_start(cells, request, std::move(status), std::nullopt, false, [] {});
}

enum class Outcome {
  Started,      // the backend's player was started and reported
  Unavailable,  // go on to the next backend
  Failed,       // give up: no backend after this one is tried
  Superseded,   // the user has moved on; nothing more is started
};

// Starts a player with the playback mark, which everything it starts
// inherits.
std::optional<Process> spawn_player(const PlayerPaths& paths, std::vector<std::string> argv,
                                    bool own_group, std::string* error = nullptr,
                                    std::vector<std::string> environment = {}) {
  SpawnOptions options;
  options.argv = std::move(argv);
  options.new_process_group = own_group;
  options.environment = std::move(environment);
  options.environment.push_back(playback_mark(paths));
  Result<Process> process = Process::spawn(options);
  if (!process) {
    if (error) *error = process.error();
    return std::nullopt;
  }
  return std::move(process).value();
}

Outcome start_installed_mpv(Cells& cells, const PlayerPaths& paths, const StreamRequest& request) {
  auto found = std::find_if(paths.installed_mpv.begin(), paths.installed_mpv.end(), path_exists);
  if (found == paths.installed_mpv.end()) return Outcome::Unavailable;

  std::optional<std::string> bluetooth;
  if (path_exists(paths.bluetooth_address)) {
    run_shell_quietly(bluetooth_mute_line(paths.speaker_mute));
    Result<std::string> text = read_file(paths.bluetooth_address);
    bluetooth = text ? bluetooth_address_from_file_text(*text) : std::string();
  }
  std::optional<Process> player = spawn_player(
      paths, installed_mpv_arguments(*found, request.volume, bluetooth, request.stream_url), false);
  if (!player) return Outcome::Unavailable;

  logf("[AudioPlayer] mpv process spawned successfully (PID: {})", player->pid());
  report_start(cells, request.number, PlaybackStatus::playing(request.name), std::move(player),
               false, [&] { (void)write_file(paths.playing_marker, "1"); });
  return Outcome::Started;
}

Outcome start_stream_engine(Cells& cells, const PlayerPaths& paths,
                            const StreamRequest& request) {
  auto found = std::find_if(paths.stream_scripts.begin(), paths.stream_scripts.end(), path_exists);
  if (found == paths.stream_scripts.end()) return Outcome::Unavailable;

  logf("[AudioPlayer] Using TrimUI stream engine ({})", *found);
  std::string error;
  const std::string shell = "sh";
  std::optional<Process> engine =
      spawn_player(paths, {shell, *found, request.stream_url, request.fallback_url}, true, &error,
                   stream_script_environment(paths.stream_pid_file, paths.playing_marker,
                                             paths.now_playing, paths.bluetooth_address));
  if (!engine) {
    logf("[AudioPlayer] Failed to spawn play_stream.sh: {}", error);
    return Outcome::Unavailable;
  }

  pid_t pid = engine->pid();
  logf("[AudioPlayer] stream engine spawned successfully (PID: {})", pid);
  // The engine is named by its start time and program name as well, so that
  // a later process with its number is never taken for it.
  std::string state = stream_state_text(request.name, request.stream_url, request.frequency, pid,
                                        wall_seconds(), started_identity(pid, shell, paths.proc_dir));
  // The engine shows Connecting until it creates the playing marker.
  report_start(cells, request.number, PlaybackStatus::connecting(request.name), std::move(engine),
               true, [&] { (void)write_file(paths.state_file, state); });
  return Outcome::Started;
}

Outcome start_desktop_player(Cells& cells, const PlayerPaths& paths,
                             const StreamRequest& request) {
  std::vector<std::string> argv;
  if (run_capture({"ffplay", "-version"})) {
    argv = {"ffplay", "-nodisp", "-autoexit", request.stream_url};
  } else if (!is_current(cells, request.number)) {
    return Outcome::Superseded;
  } else if (run_capture({"mpv", "--version"})) {
    argv = {"mpv", "--no-video", request.stream_url};
  } else {
    return Outcome::Failed;
  }
  std::optional<Process> player = spawn_player(paths, std::move(argv), false);
  if (!player) return Outcome::Failed;

  logf("[AudioPlayer] Desktop player spawned successfully (PID: {})", player->pid());
  report_start(cells, request.number, PlaybackStatus::playing(request.name), std::move(player),
               false, [] {});
  return Outcome::Started;
}

// The start thread: one pass through the backends, in order.
void run_start(Cells& cells, const PlayerPaths& paths, const StreamRequest& request) {
  logf("[AudioPlayer] Starting radio stream: {} ({}, fallback: {})", request.name,
       request.stream_url, request.fallback_url);
  // Between backends, a request the user has already left behind starts
  // nothing more.
  Outcome outcome = Outcome::Superseded;
  if (is_current(cells, request.number)) outcome = start_installed_mpv(cells, paths, request);
  if (outcome == Outcome::Unavailable && is_current(cells, request.number)) {
    outcome = start_stream_engine(cells, paths, request);
  }
  if (outcome == Outcome::Unavailable && is_current(cells, request.number)) {
    outcome = start_desktop_player(cells, paths, request);
  }
  if (outcome != Outcome::Unavailable && outcome != Outcome::Failed) return;
  if (!is_current(cells, request.number)) return;

  logf("[AudioPlayer] All audio backends failed for {}", request.stream_url);
  report_status(cells, request.number, PlaybackStatus::error(kNoPlayerText));
}

// Reports the ended player: its exit line once, the lost-stream status on
// every poll until the next stop or start.
void report_ended(PlaybackStatus& status, HeldPlayer& held) {
  if (!held.exit_reported) {
    logf("[AudioPlayer] Stream process exited with status: {}",
         held.process.exit_status()->describe());
    held.exit_reported = true;
  }
  status = PlaybackStatus::error(kStreamLostText);
}

// The monotonic instant `seconds` ago; now itself when that cannot be
// represented.
Instant seconds_ago(uint64_t seconds) {
  Instant current = now();
  using Seconds = std::chrono::seconds;
  constexpr uint64_t kLimit =
      static_cast<uint64_t>(std::chrono::duration_cast<Seconds>(Clock::duration::max()).count() / 2);
  if (seconds >= kLimit) return current;
  return current - std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
}

}  // namespace

PlayerPaths default_player_paths() {
  PlayerPaths paths;
  paths.playing_marker = paths::kPlayingMarker;
  paths.state_file = paths::kStateFile;
  paths.stream_pid_file = paths::kStreamPidFile;
  paths.now_playing = paths::kNowPlayingFile;
  paths.bluetooth_address = paths::kBluetoothAddress;
  paths.system_settings = paths::kSystemSettings;
  paths.speaker_mute = kSpeakerMuteFile;
  paths.installed_mpv = {paths::kSystemMpv, paths::kCrossMixMpv};
  paths.stream_scripts = {paths::kLocalStreamScript, paths::kAppStreamScript};
  return paths;
}

std::string playback_mark(const PlayerPaths& paths) {
  std::string folder = paths.state_file.substr(0, paths.state_file.rfind('/') + 1);
  struct stat st {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) st.st_dev = 0;
  return playback_mark_text(paths.state_file, static_cast<uint64_t>(st.st_dev));
}

int load_initial_volume(const std::string& settings_path) {
  Result<std::string> text = read_file(settings_path);
  return text ? initial_volume_from_settings(*text) : kDefaultVolume;
}

AudioPlayer::AudioPlayer(PlayerPaths paths, int initial_volume)
    : paths_(std::make_shared<const PlayerPaths>(std::move(paths))),
      cells_(std::make_shared<Cells>()),
      volume_(std::clamp(initial_volume, 0, 100)) {}

void AudioPlayer::start_stream(const std::string& name, const std::string& stream_url,
                               const std::string& fallback_url, const std::string& frequency,
                               int volume) {
  uint64_t number;
  {
    std::lock_guard guard(cells_->lock);
    number = ++cells_->request;
    cells_->status = PlaybackStatus::connecting(name);
  }
  play_started_ = now();

  // Only http and https addresses are played: anything else (above all a
  // URL that begins with '-', which the players would read as one of their
  // options) is refused. A station without its own URL plays its fallback, as
  // the stream engine would; one without either has nothing to play.
  std::string url = stream_url;
  std::string fallback = fallback_url;
  if (!fallback.empty() && !is_stream_address(fallback)) {
    logf("[AudioPlayer] Ignoring fallback URL that is not an http(s) address: {}", fallback);
    fallback.clear();
  }
  if (url.empty()) std::swap(url, fallback);
  if (url.empty()) {
    logf("[AudioPlayer] No stream URL for {}", name);
    set_status(*cells_, PlaybackStatus::error(kNoUrlText));
    return;
  }
  if (!is_stream_address(url)) {
    logf("[AudioPlayer] Refusing stream URL that is not an http(s) address: {}", url);
    set_status(*cells_, PlaybackStatus::error(kInvalidUrlText));
    return;
  }

  StreamRequest request{number, name, std::move(url), std::move(fallback), frequency,
                        std::clamp(volume, 0, 100)};
  spawn_detached([cells = cells_, paths = paths_, request = std::move(request)] {
    run_start(*cells, *paths, request);
  });
}

PlaybackStatus AudioPlayer::poll() {
  std::lock_guard guard(cells_->lock);
  PlaybackStatus& status = cells_->status;
  if (cells_->child) {
    HeldPlayer& held = *cells_->child;
    if (!held.process.running()) {
      report_ended(status, held);
    } else {
      Result<std::optional<ExitStatus>> ended = held.process.try_wait();
      if (!ended) {
        logf("[AudioPlayer] Error checking child status: {}", ended.error());
      } else if (ended->has_value()) {
        report_ended(status, held);
      } else if (status.is(PlaybackStatus::Kind::Connecting) &&
                 path_exists(paths_->playing_marker)) {
        status.kind = PlaybackStatus::Kind::Playing;
      }
    }
  } else if (status.is(PlaybackStatus::Kind::Playing) && !background_engine_alive()) {
    // A background engine taken up at start-up lives as long as its record
    // names a live process.
    status = PlaybackStatus::idle();
  }
  return status;
}

bool AudioPlayer::background_engine_alive() {
  const Instant checked = now();
  if (!record_checked_ || elapsed_between(*record_checked_, checked) >= kRecordCheckPeriod) {
    record_ = read_state(paths_->state_file);
    record_usable_ = record_ && !stale_record_reason(*record_, paths_->proc_dir);
    record_checked_ = checked;
  }
  // Only the probe of the recorded process runs on every frame.
  return record_ && record_usable_ && process_alive(static_cast<pid_t>(record_->pid));
}

void AudioPlayer::stop() {
  std::optional<HeldPlayer> held;
  {
    std::lock_guard guard(cells_->lock);
    held = std::move(cells_->child);
    cells_->child.reset();
    ++cells_->request;
  }
  if (held) {
    logf("[AudioPlayer] Terminating player process PID {}", held->process.pid());
    terminate_player(held->process, held->leads_group);
  }

  const std::string mark = playback_mark(*paths_);
  // The PID file is written by the engine script: its number is signalled
  // only while it names a process that carries this player's mark.
  if (std::optional<std::string> text = read_text_file(paths_->stream_pid_file)) {
    if (std::optional<int32_t> pid = parse_pid_text(*text)) {
      if (process_has_mark(*pid, mark, paths_->proc_dir)) {
        kill_recorded_pid(*pid);
      } else if (usable_foreign_pid(*pid) && process_identity(*pid, paths_->proc_dir)) {
        logf("[AudioPlayer] Removed stale stream PID file (PID: {}): not a process of this player",
             *pid);
      }
    }
    remove_file(paths_->stream_pid_file);
  }
  if (std::optional<std::string> text = read_text_file(paths_->state_file)) {
    Result<PersistedState> state = parse_state(*text);
    if (state) {
      std::optional<std::string> stale = stale_record_reason(*state, paths_->proc_dir);
      if (stale) {
        // Worth a line only when a process that is not the engine holds
        // the number; the engine itself has usually just ended above.
        if (usable_foreign_pid(state->pid) &&
            process_identity(static_cast<pid_t>(state->pid), paths_->proc_dir)) {
          log_stale_record(*state, *stale);
        }
      } else {
        kill_recorded_pid(state->pid);
      }
    }
    remove_file(paths_->state_file);
  }
  // Whatever else plays was started by this player or an earlier run of it
  // (a fetcher that left the engine's group, an mpv left for background
  // playback) and carries the mark. Nothing is killed by name: the update
  // downloads and every other program on the machine are left alone.
  (void)kill_marked(mark, paths_->proc_dir);
  remove_file(paths_->playing_marker);
  // The engine, killed at once, cannot take its document away itself.
  remove_file(paths_->now_playing);
  now_playing_.reset();
  now_playing_read_.reset();

  set_status(*cells_, PlaybackStatus::idle());
  play_started_.reset();
}

std::shared_ptr<const NowPlaying> AudioPlayer::now_playing() {
  // Only the stream engine writes the document: it is the player started
  // in a group of its own, or the one taken up at start-up.
  bool engine;
  {
    std::lock_guard guard(cells_->lock);
    const PlaybackStatus& status = cells_->status;
    bool active = status.is(PlaybackStatus::Kind::Playing) || status.is(PlaybackStatus::Kind::Connecting);
    engine = active && (cells_->child ? cells_->child->leads_group : status.is(PlaybackStatus::Kind::Playing));
  }
  if (!engine) {
    now_playing_.reset();
    now_playing_text_.clear();
    now_playing_read_.reset();
    return nullptr;
  }
  const Instant checked = now();
  if (now_playing_read_ && elapsed_between(*now_playing_read_, checked) < kRecordCheckPeriod) {
    return now_playing_;
  }
  now_playing_read_ = checked;
  std::error_code error;
  uintmax_t size = std::filesystem::file_size(paths_->now_playing, error);
  Result<std::string> text =
      !error && size <= kMaxNowPlayingBytes ? read_file(paths_->now_playing) : Result<std::string>(Error{""});
  if (!text) {
    now_playing_.reset();
    now_playing_text_.clear();
    return nullptr;
  }
  // An unchanged document keeps its record, so that the screen sees no change.
  if (*text == now_playing_text_ && now_playing_) return now_playing_;
  Result<NowPlaying> parsed = parse_now_playing(*text);
  now_playing_text_ = std::move(text).value();
  now_playing_ = parsed ? std::make_shared<const NowPlaying>(std::move(parsed).value()) : nullptr;
  return now_playing_;
}

uint64_t AudioPlayer::elapsed_seconds() const {
  if (!play_started_) return 0;
  auto elapsed = elapsed_between(*play_started_, now());
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

void AudioPlayer::reconnect() {
  std::optional<std::string> text = read_text_file(paths_->state_file);
  if (!text) return;
  Result<PersistedState> parsed = parse_state(*text);
  if (!parsed) return;  // left in place
  const PersistedState& state = *parsed;
  if (std::optional<std::string> stale = stale_record_reason(state, paths_->proc_dir)) {
    log_stale_record(state, *stale);
    remove_file(paths_->state_file);
    return;
  }
  logf("[AudioPlayer] Reconnected to background playback session (PID: {}, station: {})",
       state.pid, state.station_name);
  uint64_t wall = wall_seconds();
  uint64_t elapsed = wall > state.started_at ? wall - state.started_at : 0;
  set_status(*cells_, PlaybackStatus::playing(state.station_name));
  record_checked_.reset();
  play_started_ = seconds_ago(elapsed);
}

int AudioPlayer::volume() const { return volume_; }

void AudioPlayer::change_volume(int step) {
  int64_t wanted = int64_t{volume()} + step;
  int updated = static_cast<int>(std::clamp<int64_t>(wanted, 0, 100));
  volume_ = updated;

  if (path_exists(paths_->bluetooth_address)) {
    run_shell_quietly(speaker_mute_line(paths_->speaker_mute));
    return;
  }
  int level = volume_level(updated);
  (void)run_wait({"tinymix", "set", "3", std::to_string(mixer_value(level))}, Output::Discard);
  run_shell_quietly(settings_volume_line(level, paths_->system_settings));
}

}  // namespace ze
