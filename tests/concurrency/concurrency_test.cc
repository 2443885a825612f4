// The player's threads seen together: the key readers and the command-pipe
// reader feed the action queue, start threads report through the player's
// shared cells, update checkers send into the update queue and the installer
// runs on its own, all while a loop on the test's main thread plays the main
// loop's part every 16 ms. Under ThreadSanitizer this is the check that the
// queues, the cells and the installer's flag are shared soundly; in every
// build it checks that nothing is lost, leaked or left running.
//
// The readers never return, so the program has its own main that ends with
// _exit once the tests are done; each test uses folders of its own, and every
// program the player starts is a stub from a folder that is the whole search
// path, set before the first thread starts.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/files.h"
#include "base/process.h"
#include "base/queue.h"
#include "base/thread.h"
#include "catalog/records.h"
#include "input/command_fifo.h"
#include "input/key_device_reader.h"
#include "input/key_records.h"
#include "input/stdin_reader.h"
#include "player/audio_player.h"
#include "player/playback_commands.h"
#include "player/playback_status.h"
#include "temp_dir.h"
#include "update/package_installer.h"
#include "update/update_checker.h"

namespace ze {
namespace {

using namespace std::chrono_literals;
using Kind = PlaybackStatus::Kind;

constexpr auto kFramePeriod = 16ms;
constexpr uint16_t kKeyUp = 103, kKeyDown = 108, kBtnEast = 305;

// The folder of stub programs that is the whole search path of this process.
std::string g_bin;

void write_script(const std::string& path, const std::string& body) {
  ASSERT_TRUE(write_file(path, "#!/bin/sh\nPATH=/usr/bin:/bin\n" + body + "\n").ok());
  ::chmod(path.c_str(), 0755);
}

// Creates the stub folder and makes it the search path. Players record their
// PID in "pids" and then sleep; tinymix does nothing, and the player kills
// only processes it marked, so nothing outside the test's own processes is
// ever touched. The update server's curl
// answers by the parity of its PID: a newer manifest, a current one (the
// catalog is then synchronised), or a failure.
void install_stub_path() {
  ze::testing::TempDir* dir = new ze::testing::TempDir;  // removed in main
  g_bin = dir->path();
  for (const char* tool : {"sh", "sed", "chmod"}) {
    ::symlink((std::string("/bin/") + tool).c_str(), (g_bin + "/" + tool).c_str());
  }
  write_script(g_bin + "/tinymix", "exit 0");
  std::string player = "echo $$ >> " + g_bin + "/pids\nexec sleep 30";
  write_script(g_bin + "/ffplay", "[ \"$1\" = -version ] && exit 0\n" + player);
  write_script(g_bin + "/mpv", "[ \"$1\" = --version ] && exit 0\n" + player);
  write_script(g_bin + "/curl",
               "for a in \"$@\"; do url=$a; done\n"
               "sleep 0.0$(($$ % 7))\n"
               "case $url in\n"
               "*/ota/ze-radio.json)\n"
               "  case $(($$ % 3)) in 0) exit 28 ;; 1) v=99.0.0 ;; *) v=0.0.1 ;; esac\n"
               "  printf '{\"id\":\"ze-radio\",\"version\":\"%s\",\"downloadUrl\":"
               "\"https://updates.test/p.zip\",\"summary\":\"s\"}' $v ;;\n"
               "*) [ $(($$ % 4)) = 0 ] && exit 6\n"
               "  printf '%s' '{\"version\":\"2026.12.01\",\"categories\":[{\"id\":\"vov\","
               "\"name\":\"VOV\"}],\"channels\":[{\"id\":\"a\",\"name\":\"A\",\"category\":"
               "\"vov\",\"streamUrl\":\"http://a\"}]}' ;;\n"
               "esac");
  ::setenv("PATH", g_bin.c_str(), 1);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 8s) {
  Instant deadline = now() + timeout;
  while (!condition()) {
    if (now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::vector<pid_t> recorded_pids(const std::string& path) {
  std::vector<pid_t> pids;
  Result<std::string> text = read_file(path);
  if (!text) return pids;
  std::istringstream in(*text);
  for (pid_t pid; in >> pid;) pids.push_back(pid);
  return pids;
}

// The main loop's part, without the screen: each frame applies the update
// messages, takes every action (playing, stopping, volume and update checks
// go to the player and the checker as the application would send them), then
// reads the listening time, polls the player and reads the volume.
class FrameLoop {
 public:
  FrameLoop(AudioPlayer* player, std::string catalog_path)
      : player_(player), catalog_path_(std::move(catalog_path)) {}

  QueueHandle<Action> actions = make_queue<Action>();
  QueueHandle<UpdateMessage> updates = make_queue<UpdateMessage>();

  // Called on the loop's thread at the start of every frame.
  std::function<void()> on_frame;

  void frame() {
    Instant start = now();
    if (on_frame) on_frame();
    while (std::optional<UpdateMessage> message = updates->try_receive()) {
      ++update_kinds[message->index()];
    }
    while (std::optional<Action> action = actions->try_receive()) dispatch(*action);
    if (player_) {
      (void)player_->elapsed_seconds();
      status = player_->poll();
      volume = player_->volume();
    }
    (void)package_install_running();
    auto spent = elapsed_between(start, now());
    if (spent < kFramePeriod) std::this_thread::sleep_for(kFramePeriod - spent);
  }

  // Runs frames until `done` holds; false when `timeout` passed first.
  bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 8s) {
    Instant deadline = now() + timeout;
    for (;;) {
      frame();
      if (done()) return true;
      if (now() > deadline) return false;
    }
  }

  std::map<Action, int> received;
  std::map<size_t, int> update_kinds;  // by UpdateMessage alternative
  int expected_volume = -1;
  PlaybackStatus status;
  int volume = -1;

 private:
  void dispatch(Action action) {
    ++received[action];
    if (!player_ && action != Action::OtaUpdate) return;
    switch (action) {
      case Action::Confirm: {
        player_->stop();
        std::string name = "Station " + std::to_string(++stations_);
        player_->start_stream(name, "http://radio.invalid/" + std::to_string(stations_),
                              "http://fallback.invalid/x", "FM 100", player_->volume());
        break;
      }
      case Action::Cancel:
        player_->stop();
        break;
      case Action::VolumeUp:
      case Action::VolumeDown: {
        int step = action == Action::VolumeUp ? 5 : -5;
        player_->change_volume(step);
        expected_volume = std::clamp(expected_volume + step, 0, 100);
        break;
      }
      case Action::OtaUpdate:
        start_update_check(catalog_path_, updates);
        break;
      default:
        break;
    }
  }

  AudioPlayer* player_;
  std::string catalog_path_;
  int stations_ = 0;
};

// Keeps writing whole lines into the command pipe from its own opens. Each
// line is one write below the pipe's atomic size, so lines of several
// writers never mix.
void write_lines(const std::string& fifo, const std::vector<std::string>& lines, int per_open) {
  for (size_t i = 0; i < lines.size();) {
    UniqueFd fd(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {  // the reader is between two opens
      std::this_thread::sleep_for(2ms);
      continue;
    }
    ::fcntl(fd.get(), F_SETFL, 0);
    for (int n = 0; n < per_open && i < lines.size(); ++n, ++i) {
      std::string line = lines[i] + "\n";
      if (::write(fd.get(), line.data(), line.size()) != ssize_t(line.size())) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(i % 4));
    }
  }
}

bool is_fifo(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// Starts the command reader on a pipe in `dir` and a writer end that the
// test holds, so the reader sees no end of input while writers come and go.
UniqueFd start_command_reader(const std::string& fifo, QueueHandle<Action> actions) {
  spawn_detached([actions, fifo] { fifo_command_reader(actions, fifo); });
  EXPECT_TRUE(eventually([&] { return is_fifo(fifo); }));
  UniqueFd keeper;
  EXPECT_TRUE(eventually([&] {
    keeper.reset(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    return keeper.valid();
  }));
  return keeper;
}

// A successful installation ends the process, so it runs in a child. This
// test comes first so that the child is forked before any thread of the test
// program exists.
TEST(ConcurrencyTest, SuccessfulInstallEndsTheProcessWhileTheLoopRuns) {
  ze::testing::TempDir dir;
  std::string app = dir / "app";
  ASSERT_EQ(::mkdir(app.c_str(), 0755), 0);
  Result<CommandOutput> zip = run_capture(
      {"/usr/bin/python3", "-c",
       "import os, sys, zipfile\n"
       "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
       "z.writestr('ze-radio/launch.sh', '#!/bin/sh\\n')\n"
       "z.writestr('ze-radio/padding.bin', os.urandom(60000))\n"
       "z.close()\n",
       dir / "source.zip"});
  ASSERT_TRUE(zip && zip->status.success());
  InstallConfig config;
  config.curl = dir / "curl";
  config.package_path = dir / "update.zip";
  config.app_dir = app;
  write_script(config.curl,
               "while [ $# -gt 1 ]; do [ \"$1\" = -o ] && out=$2; shift; done\n"
               "sleep 0.2; cp " + dir / "source.zip" + " \"$out\"");

  std::fflush(stdout);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FrameLoop loop(nullptr, dir / "channels.json");
    start_package_install("https://updates.test/p.zip", config, loop.updates);
    loop.run_until([] { return false; }, 10s);
    ::_exit(3);  // the installer never ended the process
  }
  int status = 0;
  bool ended = eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 15s);
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "the installer never ended the process";
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), kRestartExitStatus);
  EXPECT_TRUE(path_exists(app + "/launch.sh"));
  EXPECT_FALSE(path_exists(config.package_path));
}

TEST(ConcurrencyTest, KeyKeyboardAndCommandReadersFeedOneQueueThatTheLoopDrains) {
  ze::testing::TempDir dir;
  FrameLoop loop(nullptr, dir / "channels.json");

  // Three event devices, each a pipe the test holds open at both ends.
  const std::vector<uint16_t> codes = {kKeyUp, kKeyDown, kBtnEast};
  std::vector<UniqueFd> devices;
  for (size_t n = 0; n < codes.size(); ++n) {
    std::string path = dir / ("event" + std::to_string(n));
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    devices.emplace_back(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  }
  spawn_detached([actions = loop.actions, prefix = dir / "event"] {
    key_device_reader(actions, prefix);
  });
  auto write_all = [&](size_t n, const std::string& bytes) {
    return ::write(devices[n].get(), bytes.data(), bytes.size()) == ssize_t(bytes.size());
  };
  ASSERT_TRUE(testing::probe_until_reading(
      [&](const std::string& bytes) { EXPECT_TRUE(write_all(0, bytes)); },
      [&] { return loop.run_until([&] { return loop.received[Action::Down] > 0; }, 10ms); }))
      << "the key reader never came past what was pending";
  EXPECT_TRUE(eventually([&] {
    int pending = 1;
    ::ioctl(devices[0].get(), FIONREAD, &pending);
    return pending == 0;
  }));
  std::string fifo = dir / "cmd";
  UniqueFd keeper = start_command_reader(fifo, loop.actions);
  ASSERT_TRUE(keeper.valid());
  // The simulator's key reader on a pipe of its own. The reader keeps the
  // descriptor for the rest of the process, so both ends stay open.
  int keyboard[2];
  ASSERT_EQ(::pipe2(keyboard, O_CLOEXEC), 0);
  spawn_detached([actions = loop.actions, fd = keyboard[0]] {
    standard_input_reader(actions, fd);
  });

  // Key writers: a press and a release per write, the next once the reader
  // has taken it, as a device delivers whole records.
  constexpr int kPresses = 15;
  std::vector<std::thread> writers;
  for (size_t n = 0; n < codes.size(); ++n) {
    writers.emplace_back([&, n] {
      for (int i = 0; i < kPresses; ++i) {
        if (!write_all(n, testing::input_record(kEvKey, codes[n], 1) +
                           testing::input_record(kEvKey, codes[n], 0))) return;
        int pending = 1;
        for (int wait = 0; wait < 1000 && pending > 0; ++wait) {
          std::this_thread::sleep_for(1ms);
          ::ioctl(devices[n].get(), FIONREAD, &pending);
        }
      }
    });
  }
  // Command writers: two threads that open and close the pipe again and
  // again, and shell lines as other programs write them.
  const std::vector<std::string> first(20, "vol_up"), second(20, "  Fav \r");
  writers.emplace_back([&] { write_lines(fifo, first, 3); });
  writers.emplace_back([&] { write_lines(fifo, second, 5); });
  constexpr int kKeyboardBytes = 30;
  writers.emplace_back([&] {
    for (int i = 0; i < kKeyboardBytes; ++i) {
      char key = i % 2 ? 'a' : 'D';
      if (::write(keyboard[1], &key, 1) != 1) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
    }
  });
  constexpr int kShellLines = 5;
  writers.emplace_back([&] {
    for (int i = 0; i < kShellLines; ++i) {
      (void)run_wait({"/bin/sh", "-c", "echo UP > " + fifo}, Output::Discard);
    }
  });

  std::map<Action, int> expected;
  expected[Action::Down] = 1;  // the probe
  for (uint16_t code : codes) expected[*key_code_action(code)] += kPresses;
  expected[Action::VolumeUp] += 20;
  expected[Action::ToggleFavorite] += 20;
  expected[Action::Up] += kShellLines;
  expected[Action::Left] += kKeyboardBytes / 2;
  expected[Action::Right] += kKeyboardBytes / 2;
  bool all = loop.run_until([&] { return loop.received == expected; });
  for (std::thread& writer : writers) writer.join();
  EXPECT_TRUE(all);
  loop.run_until([] { return false; }, 100ms);  // nothing more arrives
  EXPECT_EQ(loop.received, expected);

  // With the last writer gone the reader opens the pipe afresh; a shell line
  // may meet it just before it lets go of the old open, so it is repeated
  // until one gets through.
  keeper.reset();
  bool reopened = false;
  for (int attempt = 0; attempt < 10 && !reopened; ++attempt) {
    (void)run_wait({"/bin/sh", "-c", "echo EXIT > " + fifo}, Output::Discard);
    reopened = loop.run_until([&] { return loop.received[Action::Exit] > 0; }, 1s);
  }
  EXPECT_TRUE(reopened);
}

// Players, engines and reconnection under rapid plays, stops and volume
// changes sent through the command pipe. Whatever order the start threads
// finish in, the end state is the same: nothing plays, no player process is
// left running or unreaped, and the volume is the sum of the steps.
TEST(ConcurrencyTest, RapidPlayStopAndVolumeEndWithNothingPlayingAndEveryPlayerReaped) {
  ze::testing::TempDir dir;
  PlayerPaths paths;
  paths.playing_marker = dir / "playing";
  paths.state_file = dir / "state.json";
  paths.stream_pid_file = dir / "stream.pid";
  paths.bluetooth_address = dir / "btdev_addr";
  paths.system_settings = dir / "system.json";
  paths.speaker_mute = dir / "speaker_mute";
  paths.installed_mpv = {dir / "mpv"};
  paths.stream_scripts = {dir / "play_stream.sh"};
  std::string pids = dir / "pids";
  write_script(dir / "engine-body",
               "echo $$ >> " + pids + "\necho $$ > " + paths.stream_pid_file +
                   "\nsleep 0.05; : > " + paths.playing_marker + "\nexec sleep 30");
  ASSERT_TRUE(write_file(paths.system_settings, "{\n  \"vol\": 10\n}\n").ok());

  // A stream engine left running by an earlier run.
  SpawnOptions earlier;
  earlier.argv = {"/bin/sleep", "30"};
  earlier.new_process_group = true;
  Result<Process> engine = Process::spawn(earlier);
  ASSERT_TRUE(engine.ok());
  ASSERT_TRUE(write_file(paths.state_file,
                         stream_state_text("VOV1", "http://radio.invalid/0", "FM 100",
                                           engine->pid(), wall_seconds(),
                                           process_identity(engine->pid())))
                  .ok());

  AudioPlayer player(paths, 50);
  player.reconnect();
  FrameLoop loop(&player, dir / "channels.json");
  loop.expected_volume = 50;
  loop.frame();
  EXPECT_TRUE(loop.status.is(Kind::Playing));

  std::string fifo = dir / "cmd";
  UniqueFd keeper = start_command_reader(fifo, loop.actions);
  ASSERT_TRUE(keeper.valid());

  // Between plays, the backends come and go: the installed mpv, the stream
  // engine or only the desktop players on the search path.
  std::vector<std::string> lines;
  for (int i = 0; i < 40; ++i) {
    const char* words[] = {"PLAY", "PLAY", "VOL_UP", "STOP", "PLAY", "VOL_DOWN", "PLUS"};
    lines.push_back(words[i % 7]);
  }
  lines.push_back("STOP");
  int sent_up = 0, sent_down = 0;
  for (const std::string& line : lines) {
    sent_up += line == "VOL_UP" || line == "PLUS";
    sent_down += line == "VOL_DOWN";
  }
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (size_t i = 0; i < lines.size(); ++i) {
      switch (i % 3) {
        case 0:
          write_script(paths.installed_mpv[0], "echo $$ >> " + pids + "\nexec sleep 30");
          break;
        case 1:
          ::unlink(paths.installed_mpv[0].c_str());
          (void)::link((dir / "engine-body").c_str(), paths.stream_scripts[0].c_str());
          break;
        default:
          ::unlink(paths.stream_scripts[0].c_str());
          break;
      }
      write_lines(fifo, {lines[i]}, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(i * 7 % 30));
    }
    done = true;
  });

  bool finished = loop.run_until([&] {
    return done && loop.received[Action::Cancel] == 7 && loop.status.is(Kind::Idle);
  }, 20s);
  writer.join();
  EXPECT_TRUE(finished);
  // Start threads still under way find their request superseded and stop
  // what they started; give them time, then stop once more as a user would.
  loop.run_until([] { return false; }, 500ms);
  player.stop();
  loop.frame();
  EXPECT_TRUE(loop.status.is(Kind::Idle)) << loop.status.text;
  EXPECT_EQ(loop.received[Action::Confirm], 18);
  EXPECT_EQ(loop.volume, std::clamp(50 + 5 * sent_up - 5 * sent_down, 0, 100));
  EXPECT_EQ(loop.volume, loop.expected_volume);
  EXPECT_EQ(player.elapsed_seconds(), 0u);

  std::vector<pid_t> started = recorded_pids(pids);
  std::vector<pid_t> desktop = recorded_pids(g_bin + "/pids");
  started.insert(started.end(), desktop.begin(), desktop.end());
  EXPECT_FALSE(started.empty());
  for (pid_t pid : started) {
    EXPECT_TRUE(eventually([&] { return ::kill(pid, 0) != 0; }, 2s))
        << "player " << pid << " still runs or was never reaped";
  }
  EXPECT_TRUE(eventually([&] { return engine->try_wait().ok() && !engine->running(); }, 2s))
      << "the engine of the earlier run was not stopped";
}

// Update checks started from the loop, several at once, and installations
// that fail, beside the loop: every check sends exactly one message, a stored
// catalog is always whole, and a failed installation lets the next one run.
TEST(ConcurrencyTest, UpdateChecksAndAFailingInstallRunBesideTheLoop) {
  ze::testing::TempDir dir;
  std::string catalog = dir / "channels.json";
  FrameLoop loop(nullptr, catalog);

  InstallConfig install;
  install.curl = dir / "curl";
  install.package_path = dir / "update.zip";
  install.app_dir = dir / "app";
  write_script(install.curl, "sleep 0.1; exit 7");

  constexpr int kChecks = 12;
  int frames = 0, started_checks = 0, installs = 0, refused = 0;
  loop.on_frame = [&] {
    ++frames;
    if (started_checks < kChecks && frames % 3 != 0) {
      int burst = frames % 2 + 1;  // one or two in the same frame
      for (int i = 0; i < burst && started_checks < kChecks; ++i, ++started_checks) {
        loop.actions->send(Action::OtaUpdate);
      }
    }
    if (installs < 3 && frames % 5 == 0) {
      if (start_package_install("https://updates.test/p.zip", install, loop.updates)) {
        ++installs;
      } else {
        ++refused;
      }
    }
    if (std::filesystem::exists(catalog)) {
      Result<std::string> text = read_file(catalog);
      EXPECT_TRUE(text && parse_catalog(*text).ok()) << "a half-written catalog";
    }
  };
  // Results and errors; an installation's progress reports come besides.
  const size_t kProgress = UpdateMessage(InstallProgressMessage{}).index();
  auto messages = [&] {
    int total = 0;
    for (const auto& [kind, count] : loop.update_kinds) total += kind == kProgress ? 0 : count;
    return total;
  };
  bool all = loop.run_until([&] {
    return messages() == kChecks + 3 && installs == 3 && !package_install_running();
  }, 20s);
  EXPECT_TRUE(all) << messages() << " messages, " << installs << " installs";
  loop.run_until([] { return false; }, 100ms);
  // One message per check and one error per failed installation.
  EXPECT_EQ(messages(), kChecks + installs);
  EXPECT_GE(loop.update_kinds[kProgress], installs);  // each download's first reading
  EXPECT_GT(refused, 0);  // one ran while the loop asked again
  EXPECT_FALSE(path_exists(install.package_path));
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
        << entry.path();
  }
}

}  // namespace
}  // namespace ze

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  ze::install_stub_path();
  int status = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(ze::g_bin, ignored);
  std::fflush(stdout);
  // Reader threads are still blocked in their reads; they end with the
  // process, as they do in the player.
  ::_exit(status);
}
