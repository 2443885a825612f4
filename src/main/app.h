// The application state and its rules: what the screen lists in each frame,
// how update results are applied, and what every input action does in every
// screen, including the sleep timer and the ways of leaving the program.
// Everything here runs on the main thread; the outside world (player, update
// workers, favourites file, process exit, clock) is reached through AppEffects
// so the rules can be tested with plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/clock.h"
#include "catalog/favorites.h"
#include "catalog/records.h"
#include "graphics/frame_inputs.h"
#include "input/action.h"
#include "main/frame.h"
#include "player/playback_status.h"
#include "update/update_message.h"

namespace ze {

inline constexpr uint32_t kVolumeDisplayFrames = 90;
inline constexpr float kDialEasing = 0.15f;
inline constexpr auto kExitGracePeriod = std::chrono::milliseconds(600);
inline constexpr const char* kDownloadingText = "Đang tải bản cập nhật...";
inline constexpr const char* kVerifyingText = "Đang kiểm tra chữ ký...";
inline constexpr const char* kInstallingText = "Đang cài đặt...";

// What the dispatcher asks of the rest of the program.
class AppEffects {
 public:
  virtual ~AppEffects() = default;
  virtual Instant now() = 0;
  virtual void stop_playback() = 0;          // stops completely; blocking
  virtual void remove_playing_marker() = 0;
  virtual void start_stream(const Channel& channel, int volume) = 0;
  virtual PlaybackStatus poll_playback() = 0;
  virtual int volume() = 0;
  virtual void change_volume(int step) = 0;
  virtual void start_update_check(const std::string& catalog_path) = 0;
  // `expected_size`: the package's size the manifest gives, if any.
  virtual void start_package_install(const std::string& download_url,
                                     std::optional<uint64_t> expected_size) = 0;
  virtual void save_favorites(const FavoriteSet& favorites) = 0;
  [[noreturn]] virtual void exit_process(int status) = 0;
};

class App {
 public:
  // `user_stations` are the user's own stations; no update replaces them.
  App(ChannelCatalog catalog, std::string catalog_path, FavoriteSet favorites, Instant start,
      AppEffects& effects, std::vector<Channel> user_stations = {});

  // Frame steps, in the order the main loop calls them.
  void check_sleep_timer();
  void count_frame();
  void apply_update_message(UpdateMessage message);
  void derive_lists();
  void dispatch(Action action);
  // The read-only snapshot the frame is drawn from.
  FrameInputs frame_inputs(const PlaybackStatus& playback, int volume, uint64_t listening_seconds,
                           const StreamReport* stream = nullptr) const;

  const AppState& state() const { return state_; }
  const FrameLists& lists() const { return lists_; }
  const ChannelCatalog& catalog() const { return catalog_; }
  const FavoriteSet& favorites() const { return favorites_; }
  const std::vector<Channel>& user_stations() const { return user_stations_; }

 private:
  const Channel* highlighted() const;
  void play_highlighted();
  void toggle_favorite();
  void start_update_check();
  void start_installation();
  void show_install_progress(const InstallProgressMessage& progress);
  void request_exit();
  void step_category(int direction);
  void change_volume(int step);
  [[noreturn]] void exit_with(int status, const char* line, bool stop);

  AppState state_;
  FrameLists lists_;
  // Whether lists_ must be derived again although the tab and the selection
  // it was derived for are unchanged (the catalog or the favourites changed).
  bool lists_stale_ = true;
  size_t derived_category_ = 0;
  size_t derived_selection_ = 0;
  ChannelCatalog catalog_;
  std::string catalog_path_;
  FavoriteSet favorites_;
  std::vector<Channel> user_stations_;
  Instant start_;
  AppEffects& effects_;
};

}  // namespace ze
