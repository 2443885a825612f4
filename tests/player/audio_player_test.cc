#include "player/audio_player.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/engine_contract.h"
#include "base/files.h"
#include "base/process.h"
#include "formats/json_document.h"
#include "formats/now_playing.h"
#include "player/state_record.h"
#include "player/playback_commands.h"
#include "temp_dir.h"

namespace ze {
namespace {

using Kind = PlaybackStatus::Kind;
using Args = std::vector<std::string>;

constexpr const char* kUrl = "http://radio.example.invalid/live.mp3";
constexpr const char* kLost = "Mất tín hiệu luồng / Thử lại";

bool eventually(const std::function<bool()>& condition, int timeout_ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Sends the program's log (standard output) into a file while it lives.
class LogCapture {
 public:
  explicit LogCapture(std::string path) : path_(std::move(path)) {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
  }
  // Gives the captured text back to standard output when the test failed,
  // since the failure messages are in it.
  ~LogCapture() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    if (::testing::Test::HasFailure()) std::fputs(text().c_str(), stdout);
  }
  std::string text() const {
    Result<std::string> text = read_file(path_);
    return text ? *text : "";
  }
  int count(const std::string& line) const {
    std::istringstream in(text());
    int n = 0;
    for (std::string got; std::getline(in, got);) n += got == line;
    return n;
  }
  bool has(const std::string& line) const { return count(line) > 0; }
  // The first number logged after `prefix`, or -1.
  int number_after(const std::string& prefix) const {
    std::string all = text();
    size_t at = all.find(prefix);
    return at == std::string::npos ? -1 : std::atoi(all.c_str() + at + prefix.size());
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// A player whose programs are stub scripts in a temporary folder: the search
// path holds only that folder, so no real player or tinymix runs. A killall
// stub records any call: the player must never make one.
class AudioPlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = std::getenv("PATH");
    ::mkdir(bin_.c_str(), 0755);
    ::mkdir(calls_.c_str(), 0755);
    ASSERT_EQ(::symlink("/bin/sh", (bin_ + "/sh").c_str()), 0);
    ASSERT_EQ(::symlink("/bin/sed", (bin_ + "/sed").c_str()), 0);
    ::setenv("PATH", bin_.c_str(), 1);
    stub(bin_ + "/killall", "killall");
    stub(bin_ + "/tinymix", "tinymix");

    paths_.playing_marker = dir_ / "playing";
    paths_.state_file = dir_ / "state.json";
    paths_.stream_pid_file = dir_ / "stream.pid";
    paths_.now_playing = dir_ / "now.json";
    paths_.bluetooth_address = dir_ / "btdev_addr";
    paths_.system_settings = dir_ / "system.json";
    paths_.speaker_mute = dir_ / "speaker_mute";
    paths_.installed_mpv = {dir_ / "usr-bin-mpv", dir_ / "crossmix-mpv"};
    paths_.stream_scripts = {dir_ / "local-play_stream.sh", dir_ / "app-play_stream.sh"};
  }

  void TearDown() override {
    if (player_) player_->stop();
    ::setenv("PATH", saved_path_.c_str(), 1);
  }

  // An executable that records each call's arguments (one line per call,
  // each argument followed by 0x1f) under the name `name`, then runs `body`.
  void stub(const std::string& path, const std::string& name, const std::string& body = "exit 0") {
    std::string script = fmt::format(
        "#!/bin/sh\nPATH=/usr/bin:/bin\n"
        "{{ for a in \"$@\"; do printf '%s\\037' \"$a\"; done; echo; }} >> {}/{}\n{}\n",
        calls_, name, body);
    ASSERT_TRUE(write_file(path, script).ok());
    ::chmod(path.c_str(), 0755);
  }

  std::vector<Args> calls(const std::string& name) {
    std::vector<Args> all;
    Result<std::string> text = read_file(calls_ + "/" + name);
    if (!text) return all;
    // A stub may be writing its line now: only whole lines count.
    text->erase(text->rfind('\n') == std::string::npos ? 0 : text->rfind('\n') + 1);
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
      Args args;
      size_t start = 0;
      for (size_t end; (end = line.find('\x1f', start)) != std::string::npos; start = end + 1) {
        args.push_back(line.substr(start, end - start));
      }
      all.push_back(args);
    }
    return all;
  }

  AudioPlayer& player(int volume = 80) {
    player_.emplace(paths_, volume);
    return *player_;
  }

  void start(const std::string& name = "VOV1", const std::string& url = kUrl,
             const std::string& fallback = "http://fallback.invalid/x") {
    player_->start_stream(name, url, fallback, "FM 100 MHz", player_->volume());
  }

  // Polls until `condition` holds or five seconds have passed.
  PlaybackStatus poll_until(const std::function<bool(const PlaybackStatus&)>& condition) {
    PlaybackStatus status;
    eventually([&] {
      status = player_->poll();
      return condition(status);
    });
    return status;
  }

  static pid_t spawn_sleeper(bool own_group, std::optional<Process>& held) {
    SpawnOptions options;
    options.argv = {"/bin/sleep", "30"};
    options.new_process_group = own_group;
    held = std::move(Process::spawn(options)).value();
    return held->pid();
  }

  testing::TempDir dir_;
  std::string bin_ = dir_ / "bin";
  std::string calls_ = dir_ / "calls";
  std::string saved_path_;
  PlayerPaths paths_;
  std::optional<AudioPlayer> player_;
  LogCapture log_{dir_ / "log"};
};

const std::string kPlayerStub = "exec sleep 30";

// A state record naming `pid`, with the process's identity (under another
// program name when `name` is given) or without it.
std::string state_naming(pid_t pid, bool full = true,
                         std::optional<std::string> name = std::nullopt) {
  PersistedState state;
  state.station_id = "x";
  state.station_name = "X";
  state.pid = static_cast<uint32_t>(pid);
  state.started_at = 1;
  if (full) {
    ProcessIdentity identity = process_identity(pid).value();
    state.process_start = identity.start_time;
    state.process_name = name.value_or(identity.name);
  }
  return write_state(state);
}

TEST_F(AudioPlayerTest, InstalledMpvWinsOverTheScriptAndPlaysAtOnce) {
  stub(paths_.installed_mpv[1], "mpv", kPlayerStub);
  stub(paths_.stream_scripts[0], "engine", kPlayerStub);
  player(45);
  start();
  PlaybackStatus status = poll_until([](auto& s) { return !s.is(Kind::Connecting); });
  EXPECT_EQ(status, PlaybackStatus::playing("VOV1"));
  ASSERT_TRUE(eventually([&] { return calls("mpv").size() == 1; }));
  EXPECT_EQ(calls("mpv")[0], (Args{"--no-video", "--really-quiet", "--cache=yes",
                                   "--demuxer-max-bytes=4096KiB", "--demuxer-readahead-secs=10",
                                   "--volume=45",
                                   std::string("--user-agent=") + contract::kUserAgent, kUrl}));
  EXPECT_EQ(read_file(paths_.playing_marker).value(), "1");
  // Only the stream engine reports what plays; a document left over says
  // nothing about mpv's stream.
  ASSERT_TRUE(write_file(paths_.now_playing, write_now_playing(NowPlaying{})).ok());
  EXPECT_EQ(player_->now_playing(), nullptr);
  EXPECT_TRUE(calls("engine").empty());
  EXPECT_TRUE(calls("tinymix").empty());  // no Bluetooth, no speaker mute
  EXPECT_TRUE(log_.has(fmt::format("[AudioPlayer] Starting radio stream: VOV1 ({}, fallback: "
                                   "http://fallback.invalid/x)", kUrl)));
  // The player logs the PID once the spawn has returned, which can be after
  // the stub has run.
  const std::string spawned = "[AudioPlayer] mpv process spawned successfully (PID: ";
  ASSERT_TRUE(eventually([&] { return log_.number_after(spawned) > 1; }));
  pid_t pid = log_.number_after(spawned);

  player_->stop();
  EXPECT_TRUE(log_.has(fmt::format("[AudioPlayer] Terminating player process PID {}", pid)));
  EXPECT_FALSE(process_alive(pid));  // killed and reaped
  EXPECT_FALSE(path_exists(paths_.playing_marker));
  EXPECT_EQ(player_->poll(), PlaybackStatus::idle());
  EXPECT_EQ(player_->elapsed_seconds(), 0u);
}

TEST_F(AudioPlayerTest, BluetoothMutesTheSpeakerAndSelectsTheBluealsaDevice) {
  stub(paths_.installed_mpv[0], "mpv", kPlayerStub);
  ASSERT_TRUE(write_file(paths_.bluetooth_address, "41:42:43:44:45:46\n").ok());
  player();
  start();
  ASSERT_TRUE(eventually([&] { return calls("mpv").size() == 1; }));
  Args args = calls("mpv")[0];
  ASSERT_EQ(args.size(), 10u);
  EXPECT_EQ(args[7], "--ao=alsa");
  EXPECT_EQ(args[8], "--audio-device=alsa/bluealsa:DEV=41:42:43:44:45:46");
  EXPECT_EQ(args[9], kUrl);
  EXPECT_EQ(read_file(paths_.speaker_mute).value(), "1\n");
  EXPECT_EQ(calls("tinymix"), (std::vector<Args>{{"set", "14", "0"}, {"set", "15", "0"}}));

  player_->stop();
  ASSERT_TRUE(write_file(paths_.bluetooth_address, "").ok());
  start();
  ASSERT_TRUE(eventually([&] { return calls("mpv").size() == 2; }));
  EXPECT_EQ(calls("mpv")[1][8], "--audio-device=alsa/bluealsa");
}

TEST_F(AudioPlayerTest, StreamEngineRunsInItsOwnGroupAndRecordsItsState) {
  stub(paths_.stream_scripts[1], "engine",
       fmt::format("echo \"$ZE_RADIO_STREAM_PID_FILE $ZE_RADIO_PLAYING_MARKER $ZE_RADIO_NOW_PLAYING "
                   "$ZE_RADIO_BT_ADDR_FILE $ZE_RADIO_USER_AGENT\" > {0}/engine.env; "
                   "cut -d' ' -f5 /proc/$$/stat > {0}/engine.pgid; exec sleep 30",
                   calls_));
  player();
  uint64_t before = wall_seconds();
  const std::string name = "ĐÀI Tiếng Nói VIỆT NAM";
  start(name, kUrl, "");
  ASSERT_TRUE(eventually([&] { return path_exists(calls_ + "/engine.pgid"); }));
  EXPECT_EQ(calls("engine"), (std::vector<Args>{{kUrl, ""}}));
  // The script is handed the player's runtime files and the one user agent.
  EXPECT_EQ(read_file(calls_ + "/engine.env").value(),
            fmt::format("{} {} {} {} {}\n", paths_.stream_pid_file, paths_.playing_marker, paths_.now_playing,
                        paths_.bluetooth_address, contract::kUserAgent));
  EXPECT_TRUE(log_.has(fmt::format("[AudioPlayer] Using TrimUI stream engine ({})",
                                   paths_.stream_scripts[1])));
  // The PID is logged and the state recorded once the spawn has returned,
  // which can be after the engine has started.
  const std::string spawned = "[AudioPlayer] stream engine spawned successfully (PID: ";
  ASSERT_TRUE(eventually([&] { return log_.number_after(spawned) > 1; }));
  pid_t pid = log_.number_after(spawned);
  ASSERT_TRUE(eventually([&] { return path_exists(paths_.state_file); }));
  ASSERT_TRUE(eventually([&] { return read_file(calls_ + "/engine.pgid").value() != ""; }));
  EXPECT_EQ(std::stoi(read_file(calls_ + "/engine.pgid").value()), pid);

  std::string state = read_file(paths_.state_file).value();
  uint64_t started_at = parse_state(state)->started_at;
  EXPECT_GE(started_at, before);
  EXPECT_LE(started_at, wall_seconds());
  // The engine is named fully: its start time and program name ("sh", or
  // "sleep" once this stub has replaced itself).
  std::optional<ProcessIdentity> identity = process_identity(pid);
  ASSERT_TRUE(identity.has_value());
  std::string recorded_name = parse_state(state)->process_name.value_or("");
  EXPECT_TRUE(recorded_name == "sh" || recorded_name == "sleep") << recorded_name;
  EXPECT_EQ(state, fmt::format("{{\"station_id\":\"đài tiếng nói việt nam\",\"station_name\":"
                               "\"{}\",\"stream_url\":\"{}\",\"frequency\":\"FM 100 MHz\","
                               "\"pid\":{},\"started_at\":{},\"process_start\":{},"
                               "\"process_name\":\"{}\"}}",
                               name, kUrl, pid, started_at, identity->start_time, recorded_name));
  // It carries the playback mark, which all it starts inherits.
  EXPECT_TRUE(process_has_mark(pid, playback_mark(paths_)));

  // Connecting until the engine says audio plays.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(player_->poll(), PlaybackStatus::connecting(name));
  ASSERT_TRUE(write_file(paths_.playing_marker, "1").ok());
  EXPECT_EQ(player_->poll(), PlaybackStatus::playing(name));

  // The engine's now-playing document is read while it plays, at most
  // twice a second.
  EXPECT_EQ(player_->now_playing(), nullptr);
  NowPlaying now;
  now.title = "Lạc Trôi";
  ASSERT_TRUE(write_file(paths_.now_playing, write_now_playing(now)).ok());
  ASSERT_TRUE(eventually([&] { return player_->now_playing() != nullptr; }));
  EXPECT_EQ(player_->now_playing()->title, "Lạc Trôi");
  now.title = "Nơi này có anh";
  ASSERT_TRUE(write_file(paths_.now_playing, write_now_playing(now)).ok());
  EXPECT_EQ(player_->now_playing()->title, "Lạc Trôi") << "read again only after half a second";
  ASSERT_TRUE(eventually([&] { return player_->now_playing()->title == "Nơi này có anh"; }));

  player_->stop();
  EXPECT_FALSE(process_alive(pid));
  EXPECT_FALSE(path_exists(paths_.state_file));
  EXPECT_FALSE(path_exists(paths_.now_playing)) << "the killed engine cannot remove it";
  EXPECT_EQ(player_->now_playing(), nullptr);
}

TEST_F(AudioPlayerTest, EndedPlayerShowsStreamLostAndIsLoggedOnce) {
  stub(paths_.stream_scripts[0], "engine", "exit 3");
  player();
  start();
  EXPECT_EQ(poll_until([](auto& s) { return s.is(Kind::Error); }), PlaybackStatus::error(kLost));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(player_->poll(), PlaybackStatus::error(kLost));
  EXPECT_EQ(log_.count("[AudioPlayer] Stream process exited with status: exit status: 3"), 1);

  // A player killed from outside ends the same way.
  player_->stop();
  stub(paths_.installed_mpv[0], "mpv", kPlayerStub);
  start();
  poll_until([](auto& s) { return s.is(Kind::Playing); });
  // The player logs the PID once the spawn has returned, which can be after
  // the stub has run.
  const std::string spawned = "[AudioPlayer] mpv process spawned successfully (PID: ";
  ASSERT_TRUE(eventually([&] { return log_.number_after(spawned) > 1; }));
  pid_t pid = log_.number_after(spawned);
  ::kill(pid, SIGKILL);
  EXPECT_EQ(poll_until([](auto& s) { return s.is(Kind::Error); }), PlaybackStatus::error(kLost));
  player_->poll();
  EXPECT_EQ(log_.count("[AudioPlayer] Stream process exited with status: signal: 9"), 1);
}

TEST_F(AudioPlayerTest, DesktopPlayersAreProbedBeforeTheyStart) {
  stub(bin_ + "/ffplay", "ffplay", "[ \"$1\" = -version ] && exit 1; exec sleep 30");
  stub(bin_ + "/mpv", "mpv", "exit 0");
  player();
  start();
  EXPECT_EQ(poll_until([](auto& s) { return !s.is(Kind::Connecting); }),
            PlaybackStatus::playing("VOV1"));
  ASSERT_TRUE(eventually([&] { return calls("ffplay").size() == 2; }));
  EXPECT_EQ(calls("ffplay"), (std::vector<Args>{{"-version"}, {"-nodisp", "-autoexit", kUrl}}));
  EXPECT_TRUE(calls("mpv").empty());
  EXPECT_GT(log_.number_after("[AudioPlayer] Desktop player spawned successfully (PID: "), 1);

  player_->stop();
  ASSERT_EQ(::unlink((bin_ + "/ffplay").c_str()), 0);
  stub(bin_ + "/mpv", "mpv", "[ \"$1\" = --version ] && exit 0; exec sleep 30");
  start();
  EXPECT_EQ(poll_until([](auto& s) { return !s.is(Kind::Connecting); }),
            PlaybackStatus::playing("VOV1"));
  ASSERT_TRUE(eventually([&] { return calls("mpv").size() == 2; }));
  EXPECT_EQ(calls("mpv"), (std::vector<Args>{{"--version"}, {"--no-video", kUrl}}));
}

TEST_F(AudioPlayerTest, NoBackendIsAnErrorWithItsText) {
  player();
  start();
  EXPECT_EQ(poll_until([](auto& s) { return !s.is(Kind::Connecting); }),
            PlaybackStatus::error("Playback failed: no audio player available"));
  EXPECT_TRUE(log_.has(fmt::format("[AudioPlayer] All audio backends failed for {}", kUrl)));
}

TEST_F(AudioPlayerTest, UrlsThatPlayersWouldTakeForOptionsOrThatAreMissingStartNothing) {
  stub(paths_.stream_scripts[0], "engine", kPlayerStub);
  player();
  start("VOV1", "--script=/tmp/evil.lua");
  EXPECT_EQ(player_->poll(), PlaybackStatus::error("Playback failed: invalid stream URL"));
  EXPECT_TRUE(log_.has(
      "[AudioPlayer] Refusing stream URL that is not an http(s) address: --script=/tmp/evil.lua"));
  start("Hải Phòng FM", "", "");
  EXPECT_EQ(player_->poll(), PlaybackStatus::error("Playback failed: no stream URL"));
  EXPECT_TRUE(log_.has("[AudioPlayer] No stream URL for Hải Phòng FM"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(calls("engine").empty());
  EXPECT_FALSE(log_.has("[AudioPlayer] Starting radio stream: VOV1 (--script=/tmp/evil.lua, "
                        "fallback: http://fallback.invalid/x)"));

  // Without a URL of its own a station plays its fallback; a fallback that
  // looks like an option is dropped.
  start("VOV2", "", "http://fallback.invalid/x");
  ASSERT_TRUE(eventually([&] { return calls("engine").size() == 1; }));
  start("VOV3", kUrl, "-o/tmp/x");
  ASSERT_TRUE(eventually([&] { return calls("engine").size() == 2; }));
  EXPECT_EQ(calls("engine"), (std::vector<Args>{{"http://fallback.invalid/x", ""}, {kUrl, ""}}));
  EXPECT_TRUE(log_.has("[AudioPlayer] Ignoring fallback URL that is not an http(s) address: -o/tmp/x"));
}

// A stop kills the engines its runtime files name and every process carrying
// this player's mark, and nothing else: programs of the players' names that
// it did not start (a download, someone's encoder) survive, and no kill by
// name is ever made.
TEST_F(AudioPlayerTest, StopKillsRecordedAndMarkedProcessesAndNothingElse) {
  auto spawn_named = [&](const std::string& name, bool marked, bool own_group) {
    std::string path = dir_ / name;
    if (!path_exists(path)) ::symlink("/bin/sleep", path.c_str());
    SpawnOptions options;
    options.argv = {path, "30"};
    options.new_process_group = own_group;
    if (marked) options.environment = {playback_mark(paths_)};
    return std::move(Process::spawn(options)).value();
  };
  Process from_pid_file = spawn_named("aplay", true, true);
  Process from_state_file = spawn_named("sleep", false, true);
  Process leftover = spawn_named("curl", true, true);  // outside every recorded group
  std::vector<Process> bystanders;
  for (const char* name : {"curl", "ffmpeg", "aplay", "mpv"}) {
    bystanders.push_back(spawn_named(name, false, false));
  }
  ASSERT_TRUE(eventually([&] { return process_has_mark(from_pid_file.pid(),
                                                       playback_mark(paths_)); }));
  ASSERT_TRUE(write_file(paths_.stream_pid_file, fmt::format("  {} \n", from_pid_file.pid())).ok());
  ASSERT_TRUE(write_file(paths_.state_file, state_naming(from_state_file.pid(), true)).ok());
  ASSERT_TRUE(write_file(paths_.playing_marker, "1").ok());
  player().stop();
  EXPECT_EQ(from_pid_file.wait().describe(), "signal: 9");
  EXPECT_EQ(from_state_file.wait().describe(), "signal: 9");
  EXPECT_EQ(leftover.wait().describe(), "signal: 9");
  EXPECT_FALSE(path_exists(paths_.stream_pid_file));
  EXPECT_FALSE(path_exists(paths_.state_file));
  EXPECT_FALSE(path_exists(paths_.playing_marker));

  // Runtime files that name unmarked processes, or a record without the
  // process's start time and name: removed, logged, nobody signalled.
  // Garbage files are removed silently.
  pid_t other = bystanders[0].pid();
  for (bool full : {true, false}) {
    ASSERT_TRUE(write_file(paths_.stream_pid_file, std::to_string(bystanders[1].pid())).ok());
    ASSERT_TRUE(write_file(paths_.state_file, state_naming(other, full, "sh")).ok());
    player_->stop();
    EXPECT_FALSE(path_exists(paths_.stream_pid_file));
    EXPECT_FALSE(path_exists(paths_.state_file));
  }
  EXPECT_EQ(log_.count(fmt::format("[AudioPlayer] Removed stale stream PID file (PID: {}): not a "
                                   "process of this player", bystanders[1].pid())), 2);
  EXPECT_TRUE(log_.has(fmt::format("[AudioPlayer] Removed stale background playback record "
                                   "(PID: {}): the PID now belongs to another process", other)));
  EXPECT_TRUE(log_.has(fmt::format("[AudioPlayer] Removed stale background playback record "
                                   "(PID: {}): it does not name its process fully", other)));
  ASSERT_TRUE(write_file(paths_.stream_pid_file, "12ab\n").ok());
  ASSERT_TRUE(write_file(paths_.state_file, "{\"pid\":").ok());
  player_->stop();
  EXPECT_FALSE(path_exists(paths_.stream_pid_file));
  EXPECT_FALSE(path_exists(paths_.state_file));

  for (Process& bystander : bystanders) {
    Result<std::optional<ExitStatus>> still = bystander.try_wait();
    ASSERT_TRUE(still.ok());
    EXPECT_FALSE(still->has_value()) << "a process the player did not start was killed";
    (void)send_signal(bystander.pid(), SIGKILL);
    bystander.wait();
  }
  EXPECT_TRUE(calls("killall").empty());
}

TEST_F(AudioPlayerTest, StopNeverSignalsPidsThatNameThisProgramOrAGroupOfOthers) {
  std::optional<Process> bystander;
  pid_t other = spawn_sleeper(false, bystander);
  // In a process group of its own, so that a wrong kill ends only the child.
  EXPECT_EXIT(
      {
        ::setpgid(0, 0);
        AudioPlayer audio(paths_, 80);
        for (std::string pid : {std::string("0"), std::string("-1"), fmt::format("-{}", other),
                                std::to_string(::getpid())}) {
          (void)write_file(paths_.stream_pid_file, pid);
          (void)write_file(paths_.state_file, state_naming(::getpid()));
          audio.stop();
        }
        std::fflush(stdout);
        ::_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(process_alive(other));
  EXPECT_TRUE(bystander->try_wait().value() == std::nullopt);
  ::kill(other, SIGKILL);
}

TEST_F(AudioPlayerTest, ReconnectTakesUpALiveEngineOnly) {
  std::optional<Process> engine;
  pid_t pid = spawn_sleeper(true, engine);
  ProcessIdentity identity = process_identity(pid).value();
  auto state_with = [&](int64_t recorded, std::optional<ProcessIdentity> named) {
    std::string text = fmt::format(
        "{{\"station_id\":\"vov1\",\"station_name\":\"VOV1\",\"stream_url\":\"u\","
        "\"frequency\":\"FM 100\",\"pid\":{},\"started_at\":{}",
        recorded, wall_seconds() - 100);
    if (named) {
      text += fmt::format(",\"process_start\":{},\"process_name\":{}", named->start_time,
                          json::quote(named->name));
    }
    return text + "}";
  };
  ASSERT_TRUE(write_file(paths_.state_file, state_with(pid, identity)).ok());
  player().reconnect();
  EXPECT_TRUE(log_.has(fmt::format(
      "[AudioPlayer] Reconnected to background playback session (PID: {}, station: VOV1)", pid)));
  EXPECT_EQ(player_->poll(), PlaybackStatus::playing("VOV1"));
  EXPECT_GE(player_->elapsed_seconds(), 100u);
  EXPECT_LE(player_->elapsed_seconds(), 102u);
  ::kill(pid, SIGKILL);
  engine->wait();
  EXPECT_EQ(player_->poll(), PlaybackStatus::idle());
  EXPECT_TRUE(path_exists(paths_.state_file));  // the poll leaves the file alone

  // The number reused by another process (another start time or another
  // program), a record of an older build without the process's identity,
  // a process that is gone, or a PID that names no single foreign process:
  // removed with a line, never reconnected, and the process is not killed.
  std::optional<Process> reused;
  pid_t other = spawn_sleeper(true, reused);
  ProcessIdentity other_identity = process_identity(other).value();
  struct Case {
    int64_t pid;
    std::optional<ProcessIdentity> named;
    const char* reason;
  };
  const Case cases[] = {
      {other, ProcessIdentity{other_identity.start_time + 1, "sleep"},
       "the PID now belongs to another process"},
      {other, ProcessIdentity{other_identity.start_time, "sh"},
       "the PID now belongs to another process"},
      {other, std::nullopt, "it does not name its process fully"},
      {pid, identity, "no such process"},
      {1, identity, "its PID names no other process"},
      {::getpid(), process_identity(::getpid()), "its PID names no other process"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file(paths_.state_file, state_with(c.pid, c.named)).ok());
    player().reconnect();
    EXPECT_EQ(player_->poll(), PlaybackStatus::idle()) << c.pid;
    EXPECT_FALSE(path_exists(paths_.state_file)) << c.pid;
    EXPECT_TRUE(log_.has(fmt::format(
        "[AudioPlayer] Removed stale background playback record (PID: {}): {}", c.pid, c.reason)))
        << c.reason;
    // A stop with the same record does not kill the process either.
    ASSERT_TRUE(write_file(paths_.state_file, state_with(c.pid, c.named)).ok());
    player_->stop();
    EXPECT_FALSE(path_exists(paths_.state_file));
  }
  EXPECT_EQ(log_.count(fmt::format("[AudioPlayer] Reconnected to background playback session "
                                   "(PID: {}, station: VOV1)", other)), 0);
  EXPECT_TRUE(reused->try_wait().value() == std::nullopt) << "the reused PID's process was killed";
  ::kill(other, SIGKILL);

  // Unparsable: left in place.
  ASSERT_TRUE(write_file(paths_.state_file, "{\"station_id\": 5}").ok());
  player().reconnect();
  EXPECT_EQ(player_->poll(), PlaybackStatus::idle());
  EXPECT_TRUE(path_exists(paths_.state_file));
}

TEST_F(AudioPlayerTest, VolumeChangesReachTheMixerAndTheSettingsFile) {
  ASSERT_TRUE(write_file(paths_.system_settings, "{\"vol\":16,\n\"keep\": 3, \"vol\" : 9}").ok());
  player(80).change_volume(5);
  EXPECT_EQ(player_->volume(), 85);
  EXPECT_EQ(calls("tinymix"), (std::vector<Args>{{"set", "3", "5"}}));
  EXPECT_EQ(read_file(paths_.system_settings).value(),
            "{\"vol\": 17,\n\"keep\": 3, \"vol\": 17}");

  player(5).change_volume(-5);
  player_->change_volume(-5);
  EXPECT_EQ(player_->volume(), 0);
  EXPECT_EQ(calls("tinymix").back(), (Args{"set", "3", "38"}));
  player(100).change_volume(5);
  EXPECT_EQ(player_->volume(), 100);
  EXPECT_EQ(calls("tinymix").back(), (Args{"set", "3", "0"}));
  EXPECT_EQ(read_file(paths_.system_settings).value(), "{\"vol\": 20,\n\"keep\": 3, \"vol\": 20}");

  // On Bluetooth only the speaker is muted again.
  ASSERT_TRUE(write_file(paths_.bluetooth_address, "AA").ok());
  size_t mixer_calls = calls("tinymix").size();
  player_->change_volume(-5);
  EXPECT_EQ(player_->volume(), 95);
  EXPECT_EQ(read_file(paths_.speaker_mute).value(), "1\n");
  EXPECT_EQ(calls("tinymix").size(), mixer_calls);
  EXPECT_EQ(read_file(paths_.system_settings).value(), "{\"vol\": 20,\n\"keep\": 3, \"vol\": 20}");

  // Without tinymix, sed and killall the value still changes.
  ::unlink(paths_.bluetooth_address.c_str());
  for (const char* tool : {"/tinymix", "/sed", "/killall"}) ::unlink((bin_ + tool).c_str());
  player_->change_volume(-5);
  EXPECT_EQ(player_->volume(), 90);
  player_->stop();
  EXPECT_EQ(player_->poll(), PlaybackStatus::idle());
}

TEST_F(AudioPlayerTest, AStartOvertakenByStopOrAnotherStartLeavesNoPlayer) {
  // The probe is slow, so the user acts before the player is started.
  stub(bin_ + "/ffplay", "ffplay", "[ \"$1\" = -version ] && { sleep 1; exit 0; }; exec sleep 30");
  auto spawned = [&] {
    std::string all = log_.text();
    std::regex line(R"(Desktop player spawned successfully \(PID: (\d+)\))");
    std::vector<pid_t> pids;
    for (std::sregex_iterator it(all.begin(), all.end(), line), end; it != end; ++it) {
      pids.push_back(std::stoi((*it)[1]));
    }
    return pids;
  };
  auto discarded = [&](pid_t pid) {
    return log_.has(fmt::format(
        "[AudioPlayer] Stopping player PID {}: its station is no longer selected", pid));
  };

  player();
  start("First");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  player_->stop();
  ASSERT_TRUE(eventually([&] { return spawned().size() == 1 && discarded(spawned()[0]); }));
  EXPECT_TRUE(eventually([&] { return !process_alive(spawned()[0]); }));  // killed and reaped
  EXPECT_EQ(player_->poll(), PlaybackStatus::idle());

  start("Second");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  player_->stop();
  start("Third");
  ASSERT_TRUE(eventually([&] { return spawned().size() == 3 && discarded(spawned()[1]); }));
  EXPECT_EQ(poll_until([](auto& s) { return s.is(Kind::Playing); }),
            PlaybackStatus::playing("Third"));
  std::vector<pid_t> pids = spawned();
  EXPECT_TRUE(eventually([&] { return !process_alive(pids[1]); }));
  EXPECT_TRUE(process_alive(pids[2]));
  EXPECT_FALSE(discarded(pids[2]));
}

}  // namespace
}  // namespace ze
