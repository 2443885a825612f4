// What a frame costs at 1280 x 720, each figure also given as a ratio to the
// floor measured in the same run: a memset of the back buffer plus a memcpy
// of it to memory standing in for the device. Measured: full redraws per
// screen, incremental frames (playing on the list and in the now-playing
// view, idle on the list, with a dialog open; with the tiles they redraw and
// the pixels they write by moving sprites) and the darkening pass.
// With --process=PATH the player itself runs in simulator mode for a fixed
// number of frames per scene, and its CPU time and resident memory are
// reported beside the floor's share of a core.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "base/clock.h"
#include "base/files.h"
#include "base/process.h"
#include "catalog/catalog_loader.h"
#include "catalog/records.h"
#include "formats/now_playing.h"
#include "player/state_record.h"
#include "graphics/painter.h"
#include "graphics/screens.h"
#include "tools/snapshot/scenario.h"

namespace ze {
namespace {

constexpr uint32_t kWidth = 1280;
constexpr uint32_t kHeight = 720;
constexpr int kFramesPerSecond = 60;

std::string first_channel_name() {
  auto catalog = parse_catalog(builtin_catalog_text());
  return catalog->channels.at(0).name;
}

std::unique_ptr<SnapshotFrame> frame_for(Screen screen, bool playing) {
  Scenario s;
  s.screen = screen;
  if (playing) s.playback = PlaybackStatus::playing(first_channel_name());
  s.update.kind = UpdateStatus::Kind::UpdateAvailable;
  s.update.version = "1.2.0";
  s.favorites = {"vov1"};
  s.listening_seconds = 125;
  auto catalog = parse_catalog(builtin_catalog_text());
  return make_frame(s, std::move(*catalog));
}

// A screen presenting into memory that stands in for the device mapping.
struct Screen1280 {
  std::vector<uint8_t> device = std::vector<uint8_t>(size_t(kWidth) * kHeight * 4);
  Framebuffer fb = Framebuffer::with_memory(kWidth, kHeight, kWidth * 4, device);
  Renderer renderer{fb};
};

void BM_Floor(benchmark::State& state) {
  std::vector<uint32_t> back(size_t(kWidth) * kHeight);
  std::vector<uint32_t> device(back.size());
  for (auto _ : state) {
    std::memset(back.data(), 0x2A, back.size() * 4);
    benchmark::ClobberMemory();
    std::memcpy(device.data(), back.data(), back.size() * 4);
    benchmark::DoNotOptimize(device.data());
  }
}

void full_redraw(benchmark::State& state, Screen screen) {
  Screen1280 s;
  FramePainter painter(s.renderer, FramePainter::Mode::FullRedraw);
  auto frame = frame_for(screen, true);
  for (auto _ : state) {
    ++frame->inputs.frame_counter;
    painter.draw(frame->inputs);
    painter.present();
    benchmark::DoNotOptimize(s.device.data());
  }
}

// Frames as the player draws them: the counter moves every frame and the
// listening time every second.
void incremental(benchmark::State& state, Screen screen, bool playing) {
  Screen1280 s;
  FramePainter painter(s.renderer);
  auto frame = frame_for(screen, playing);
  painter.draw(frame->inputs);
  size_t tiles = 0;
  size_t moved = 0;
  for (auto _ : state) {
    FrameInputs& in = frame->inputs;
    if (++in.frame_counter % kFramesPerSecond == 0) ++in.listening_seconds;
    tiles += painter.draw(in).tile_count();
    for (const Rect& rect : painter.moved()) moved += size_t(rect.w) * size_t(rect.h);
    painter.present();
    benchmark::DoNotOptimize(s.device.data());
  }
  state.counters["tiles_per_frame"] =
      benchmark::Counter(double(tiles), benchmark::Counter::kAvgIterations);
  state.counters["moved_px_per_frame"] =
      benchmark::Counter(double(moved), benchmark::Counter::kAvgIterations);
}

std::string repeated(std::string_view piece, size_t bytes) {
  std::string text;
  while (text.size() < bytes) text += piece;
  return text;
}

// A station whose texts came from a hostile catalog: a name and a
// description of 20,000 characters and a 100 KB frequency text, derived and
// drawn in full every frame.
void long_texts(benchmark::State& state, Screen screen) {
  ChannelCatalog catalog;
  catalog.categories = {{"all", "Tất Cả", "All Channels"}};
  Channel channel;
  channel.id = "long";
  channel.category = "all";
  channel.name = repeated("Thời sự ", 20000 * 9 / 8);  // 8 characters in 9 bytes
  channel.description = channel.name;
  channel.frequency = repeated("FM 100.0 MHz ", 100000);
  catalog.channels = {channel};
  Scenario s;
  s.screen = screen;
  s.playback = PlaybackStatus::playing(channel.name);
  auto frame = make_frame(s, std::move(catalog));
  Screen1280 screen1280;
  FramePainter painter(screen1280.renderer, FramePainter::Mode::FullRedraw);
  for (auto _ : state) {
    ++frame->state.frame_counter;
    frame->lists = derive_frame_lists(frame->catalog, frame->favorites, frame->state);
    frame->inputs = make_frame_inputs(frame->state, frame->lists, frame->favorites, s.playback,
                                      s.volume, s.listening_seconds);
    painter.draw(frame->inputs);
    painter.present();
    benchmark::DoNotOptimize(screen1280.device.data());
  }
}

void BM_DimScreen(benchmark::State& state) {
  Screen1280 s;
  for (auto _ : state) {
    s.renderer.dim_screen();
    benchmark::DoNotOptimize(s.fb.pixels());
  }
}

BENCHMARK(BM_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(full_redraw, ChannelList, Screen::ChannelList)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(full_redraw, NowPlaying, Screen::NowPlaying)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(full_redraw, UpdateDialog, Screen::UpdateDialog)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(full_redraw, ExitDialog, Screen::ExitDialog)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(incremental, PlayingList, Screen::ChannelList, true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(incremental, PlayingNowPlaying, Screen::NowPlaying, true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(incremental, IdleList, Screen::ChannelList, false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(incremental, PlayingExitDialog, Screen::ExitDialog, true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(incremental, IdleUpdateDialog, Screen::UpdateDialog, false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DimScreen)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(long_texts, ChannelList, Screen::ChannelList)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(long_texts, NowPlaying, Screen::NowPlaying)->Unit(benchmark::kMicrosecond);

// The console report, then every figure as a ratio to the floor.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        cpu_[run.benchmark_name()] = run.GetAdjustedCPUTime();
        order_.push_back(run.benchmark_name());
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto floor = cpu_.find("BM_Floor");
    if (floor == cpu_.end() || floor->second <= 0) return;
    std::printf("\nCPU time per frame as a ratio to the floor (%.1f us):\n", floor->second);
    for (const std::string& name : order_) {
      std::printf("  %-40s %8.3f x\n", name.c_str(), cpu_[name] / floor->second);
    }
  }
  double floor_us() const {
    auto floor = cpu_.find("BM_Floor");
    return floor == cpu_.end() ? 0.0 : floor->second;
  }

 private:
  std::map<std::string, double> cpu_;
  std::vector<std::string> order_;
};

// --- The whole player in simulator mode ---------------------------------

constexpr int kProcessFrames = 300;  // 4.8 s at 16 ms a frame

// CPU time of every thread of a process, in nanoseconds.
uint64_t process_cpu_ns(pid_t pid) {
  uint64_t total = 0;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(
           "/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream stat(task.path() / "schedstat");
    uint64_t ns = 0;
    if (stat >> ns) total += ns;
  }
  return total;
}

double resident_mb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0.0;
}

struct ProcessScene {
  const char* name;
  bool playing;      // a background engine to take up at start-up
  bool exit_dialog;  // the exit dialog opened once running
  bool sleep_loop;   // this program's bare frame loop instead of the player
};

constexpr const char* kSleepLoopOption = "--sleep-loop";

// The floor of a process that wakes once a frame and does nothing else:
// what the kernel charges for the frame loop's sleeps alone.
[[noreturn]] void run_sleep_loop() {
  for (;;) std::this_thread::sleep_for(std::chrono::microseconds(1'000'000 / kFramesPerSecond));
}

void send_command(const char* word) {
  int fd = ::open("/tmp/ze_radio_cmd", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  std::string line = std::string(word) + "\n";
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

void measure_scene(const std::string& binary, const ProcessScene& scene, double floor_us) {
  const char* state_file = "/tmp/ze_radio_state.json";
  std::optional<Process> engine;
  if (scene.playing) {
    if (path_exists(state_file)) {
      std::printf("  %-22s skipped: %s exists\n", scene.name, state_file);
      return;
    }
    // Any live process stands in for a player left running in the background.
    auto started = Process::spawn({{"sleep", "600"}, Output::Discard, true, true, {}});
    if (!started) return;
    engine.emplace(std::move(*started));
    // Named fully, as the player names its engine, so that it is taken up.
    std::optional<ProcessIdentity> identity = process_identity(engine->pid());
    if (!identity) return;
    PersistedState record{"vov1", first_channel_name(), "http://127.0.0.1:9/", "FM 100.0 MHz",
                          uint32_t(engine->pid()), wall_seconds(), identity->start_time,
                          identity->name};
    if (!write_file_atomic(state_file, write_state(record))) return;
  }
  std::vector<std::string> argv = {binary};
  if (scene.sleep_loop) argv = {"/proc/self/exe", kSleepLoopOption};
  auto player = Process::spawn({argv, Output::Discard, false, false, {}});
  if (!player) {
    std::printf("  %-22s cannot start %s: %s\n", scene.name, binary.c_str(),
                player.error().c_str());
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // start-up, first frames
    if (scene.exit_dialog) {
      send_command("EXIT");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    pid_t pid = player->pid();
    uint64_t cpu0 = process_cpu_ns(pid);
    auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(16 * kProcessFrames));
    uint64_t cpu1 = process_cpu_ns(pid);
    double wall_ns =
        double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - wall0)
                   .count());
    double rss = resident_mb(pid);
    ::kill(pid, SIGKILL);
    player->wait();
    double core = 100.0 * double(cpu1 - cpu0) / wall_ns;
    double floor_core = 100.0 * floor_us * 1000.0 / 16e6;
    std::printf("  %-22s %6.2f %% of a core  (floor %.2f %%: %.3f x)  resident %.1f MB\n",
                scene.name, core, floor_core, floor_core > 0 ? core / floor_core : 0.0, rss);
  }
  if (engine) {
    ::kill(engine->pid(), SIGKILL);
    engine->wait();
    auto record = read_file(state_file);
    if (record && record->find(std::to_string(engine->pid())) != std::string::npos) {
      remove_file(state_file);
    }
  }
}

void measure_process(const std::string& binary, double floor_us) {
  std::printf("\nThe player in simulator mode, %d frames per scene:\n", kProcessFrames);
  std::string binary_path = std::filesystem::absolute(binary).string();
  char scratch[] = "/tmp/ze-bench-XXXXXX";
  if (::mkdtemp(scratch) == nullptr) return;
  std::filesystem::path previous = std::filesystem::current_path();
  // The built-in catalog and no favourites: an empty folder to start in.
  std::filesystem::current_path(scratch);
  ::setenv("TRIMUI_SIMULATOR", "1", 1);
  // Standard input is a pipe that stays open and silent, as a terminal where
  // nobody types: the player's key reader waits in a read, as it would on
  // the console's key devices, instead of polling a closed input.
  int silent[2];
  if (::pipe2(silent, O_CLOEXEC) != 0 || ::dup2(silent[0], STDIN_FILENO) < 0) return;
  const ProcessScene scenes[] = {{"bare frame loop", false, false, true},
                                 {"idle list", false, false, false},
                                 {"playing list", true, false, false},
                                 {"exit dialog, playing", true, true, false}};
  for (const ProcessScene& scene : scenes) measure_scene(binary_path, scene, floor_us);
  std::filesystem::current_path(previous);
  std::filesystem::remove_all(scratch);
  ::close(silent[0]);
  ::close(silent[1]);
}

}  // namespace
}  // namespace ze

int main(int argc, char** argv) {
  std::string process_binary;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], ze::kSleepLoopOption) == 0) ze::run_sleep_loop();
    if (std::strncmp(argv[i], "--process=", 10) == 0) {
      process_binary = argv[i] + 10;
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  ze::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (!process_binary.empty()) ze::measure_process(process_binary, reporter.floor_us());
  return 0;
}
