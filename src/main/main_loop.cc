#include "main/main_loop.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/queue.h"
#include "base/thread.h"
#include "catalog/catalog_loader.h"
#include "catalog/favorites.h"
#include "catalog/user_stations.h"
#include "graphics/framebuffer.h"
#include "graphics/painter.h"
#include "graphics/renderer.h"
#include "input/command_fifo.h"
#include "input/key_device_reader.h"
#include "input/stdin_reader.h"
#include "main/app.h"
#include "main/frame.h"
#include "player/audio_player.h"
#include "update/package_installer.h"
#include "update/update_checker.h"
#include "window/desktop_window.h"

namespace ze {
namespace {

constexpr auto kFramePeriod = std::chrono::milliseconds(16);

// The application's reach into the player, the update workers, the
// favourites file and the process exit.
class PlayerEffects : public AppEffects {
 public:
  PlayerEffects(AudioPlayer& player, FavoritesFile& favorites_file,
                QueueHandle<UpdateMessage> updates)
      : player_(player), favorites_file_(favorites_file), updates_(std::move(updates)) {}

  Instant now() override { return ze::now(); }
  void stop_playback() override { player_.stop(); }
  void remove_playing_marker() override { remove_file(paths::kPlayingMarker); }
  void start_stream(const Channel& channel, int volume) override {
    player_.start_stream(channel.name, channel.stream_url, channel.fallback_url,
                         channel.frequency, volume);
  }
  PlaybackStatus poll_playback() override { return player_.poll(); }
  int volume() override { return player_.volume(); }
  void change_volume(int step) override { player_.change_volume(step); }
  void start_update_check(const std::string& catalog_path) override {
    ze::start_update_check(catalog_path, updates_);
  }
  void start_package_install(const std::string& url, std::optional<uint64_t> expected_size) override {
    ze::start_package_install(url, expected_size, updates_);
  }
  void save_favorites(const FavoriteSet& favorites) override {
    favorites_file_.save(favorites);
  }
  [[noreturn]] void exit_process(int status) override { ze::exit_process(status); }

 private:
  AudioPlayer& player_;
  FavoritesFile& favorites_file_;
  QueueHandle<UpdateMessage> updates_;
};

void print_banner() {
  const std::string rule(50, '=');
  log_line(rule);
  log_line("=== Starting ZE-Radio Vietnamese Internet Player ===");
  log_line(rule);
}

// The key reader: the console's key devices, or standard input when
// simulator mode is forced or there is no framebuffer device at all. Without
// a window nothing on screen shows that the player waits for keys, so one
// line says how to drive it and how to leave.
void start_key_reader(const QueueHandle<Action>& actions, bool has_window) {
  bool use_stdin = simulator_forced(std::getenv(paths::kSimulatorEnv)) ||
                   !path_exists(paths::kFramebufferDevice);
  if (use_stdin) {
    if (!has_window) {
      logf("[Main] Simulator mode: type keys on standard input, then Enter: w/s up/down, j play, b stop, "
           "p now playing, m leave (or write words such as DOWN, PLAY, EXIT into {})",
           paths::kCommandFifo);
    }
    spawn_detached([actions] { standard_input_reader(actions); });
  } else {
    spawn_detached([actions] { key_device_reader(actions); });
  }
}

// The desktop window's keys and close button join the action queue before
// it is drained.
void take_window_events(DesktopWindow* window) {
  if (window != nullptr) window->take_events();
}

void take_actions(App& app, Queue<Action>& actions) {
  while (std::optional<Action> action = actions.try_receive()) {
    logf("[Main] Received action: {}", action_name(*action));
    app.dispatch(*action);
  }
}

void take_update_messages(App& app, Queue<UpdateMessage>& updates) {
  while (std::optional<UpdateMessage> message = updates.try_receive()) {
    app.apply_update_message(std::move(*message));
  }
}

void sleep_out_frame(Instant frame_start) {
  auto spent = elapsed_between(frame_start, now());
  if (spent < kFramePeriod) std::this_thread::sleep_for(kFramePeriod - spent);
}

}  // namespace

void run_player() {
  open_missing_standard_streams();
  ::signal(SIGPIPE, SIG_IGN);
  print_banner();
  Framebuffer framebuffer = Framebuffer::open();
  Renderer renderer(framebuffer);
  FramePainter painter(renderer);

  QueueHandle<Action> actions = make_queue<Action>();
  std::unique_ptr<DesktopWindow> window = open_desktop_window(framebuffer, actions);
  start_key_reader(actions, window != nullptr);
  spawn_detached([actions] { fifo_command_reader(actions); });

  AudioPlayer player(default_player_paths(), load_initial_volume(paths::kSystemSettings));
  player.reconnect();
  LoadedCatalog loaded = load_catalog();
  std::vector<Channel> user_stations = load_user_stations();
  FavoritesFile favorites_file;
  FavoriteSet favorites = favorites_file.load();
  QueueHandle<UpdateMessage> updates = make_queue<UpdateMessage>();
  PlayerEffects effects(player, favorites_file, updates);
  App app(std::move(loaded.catalog), std::move(loaded.path), std::move(favorites), now(), effects,
          std::move(user_stations));

  StreamReportCache stream_report;
  for (;;) {
    Instant frame_start = now();
    app.check_sleep_timer();
    app.count_frame();
    take_update_messages(app, *updates);
    app.derive_lists();
    take_window_events(window.get());
    take_actions(app, *actions);
    uint64_t listening_seconds = player.elapsed_seconds();
    PlaybackStatus playback = player.poll();
    int volume = player.volume();
    const StreamReport* stream = current_stream_report(player.now_playing(), playback, stream_report);
    painter.draw(app.frame_inputs(playback, volume, listening_seconds, stream));
    painter.present();
    sleep_out_frame(frame_start);
  }
}

}  // namespace ze
