#include "main/app.h"

#include <cstdlib>

#include "base/log.h"
#include "graphics/layout.h"

namespace ze {

App::App(ChannelCatalog catalog, std::string catalog_path, FavoriteSet favorites, Instant start,
         AppEffects& effects, std::vector<Channel> user_stations)
    : catalog_(std::move(catalog)),
      catalog_path_(std::move(catalog_path)),
      favorites_(std::move(favorites)),
      user_stations_(std::move(user_stations)),
      start_(start),
      effects_(effects) {}

void App::check_sleep_timer() {
  if (state_.sleep.check(effects_.now())) effects_.stop_playback();
}

void App::count_frame() {
  if (state_.volume_counter > 0) --state_.volume_counter;
  ++state_.frame_counter;
}

void App::apply_update_message(UpdateMessage message) {
  if (const auto* progress = std::get_if<InstallProgressMessage>(&message)) {
    show_install_progress(*progress);
    return;
  }
  UpdateStatus status;
  if (auto* offer = std::get_if<UpdateAvailableMessage>(&message)) {
    state_.pending_download_url = offer->manifest.download_url;
    state_.pending_download_size = offer->manifest.size;
    status.kind = UpdateStatus::Kind::UpdateAvailable;
    status.version = offer->manifest.version;
    status.download_url = offer->manifest.download_url;
  } else if (auto* channels = std::get_if<ChannelsUpdatedMessage>(&message)) {
    catalog_ = std::move(channels->catalog);
    lists_stale_ = true;
    status.kind = UpdateStatus::Kind::ChannelsUpdated;
    status.count = catalog_.channels.size();
  } else {
    status.kind = UpdateStatus::Kind::Error;
    status.message = std::move(std::get<UpdateErrorMessage>(message).text);
  }
  state_.update = std::move(status);
}

void App::show_install_progress(const InstallProgressMessage& progress) {
  // A check asked for meanwhile shows its own result: the installer's
  // reports move only the dialog of its download.
  if (!state_.update.is(UpdateStatus::Kind::Downloading)) return;
  UpdateStatus& update = state_.update;
  using Step = InstallProgressMessage::Step;
  switch (progress.step) {
    case Step::Downloading:
      update.step = UpdateStatus::Step::Download;
      update.message = kDownloadingText;
      break;
    case Step::Verifying:
      update.step = UpdateStatus::Step::Verify;
      update.message = kVerifyingText;
      break;
    case Step::Installing:
      update.step = UpdateStatus::Step::Install;
      update.message = kInstallingText;
      break;
  }
  update.received = progress.received;
  update.total = progress.total;
  update.progress = download_share(progress.received, progress.total);
}

void App::derive_lists() {
  // The lists follow from the catalog, the favourites, the tab and the
  // selection alone; copying every shown channel again on frames where none
  // of them changed would be most of an idle frame's work.
  if (lists_stale_ || state_.category_index != derived_category_ ||
      state_.selection != derived_selection_) {
    lists_ = derive_frame_lists(catalog_, favorites_, state_, user_stations_);
    lists_stale_ = false;
    derived_category_ = state_.category_index;
    derived_selection_ = state_.selection;
  }
  state_.dial_position += (lists_.dial_target - state_.dial_position) * kDialEasing;
}

const Channel* App::highlighted() const {
  return state_.selection < lists_.visible.size() ? &lists_.visible[state_.selection] : nullptr;
}

void App::dispatch(Action action) {
  const Screen screen = state_.screen;
  const bool on_list = screen == Screen::ChannelList;
  const size_t count = lists_.visible.size();
  switch (action) {
    case Action::Up:
      if (on_list && state_.selection > 0) --state_.selection;
      break;
    case Action::Down:
      if (on_list && state_.selection + 1 < count) ++state_.selection;
      break;
    case Action::Left:
      if (on_list) state_.selection = state_.selection < 4 ? 0 : state_.selection - 4;
      break;
    case Action::Right:
      if (on_list && count > 0) state_.selection = std::min(state_.selection + 4, count - 1);
      break;
    case Action::Confirm:
      if (screen == Screen::ChannelList || screen == Screen::NowPlaying) {
        play_highlighted();
      } else if (screen == Screen::UpdateDialog) {
        start_installation();
      } else {
        exit_with(10, "[Main] Background Playback Mode selected! Audio daemon will remain active.",
                  false);
      }
      break;
    case Action::Cancel:
      if (screen == Screen::ChannelList) {
        effects_.stop_playback();
      } else if (screen == Screen::ExitDialog) {
        exit_with(0, "[Main] Full Exit selected. Stopping playback and returning to MainUI.", true);
      } else {
        state_.screen = Screen::ChannelList;
      }
      break;
    case Action::OtaUpdate:
      if (screen == Screen::ExitDialog) {
        state_.screen = Screen::ChannelList;
      } else {
        start_update_check();
      }
      break;
    case Action::ToggleFavorite:
      toggle_favorite();
      break;
    case Action::PrevCategory:
      if (on_list) step_category(-1);
      break;
    case Action::NextCategory:
      if (on_list) step_category(+1);
      break;
    case Action::VolumeDown:
      change_volume(-5);
      break;
    case Action::VolumeUp:
      change_volume(+5);
      break;
    case Action::NowPlayingToggle:
      if (screen == Screen::ChannelList) {
        state_.screen = Screen::NowPlaying;
      } else if (screen == Screen::NowPlaying) {
        state_.screen = Screen::ChannelList;
      }
      break;
    case Action::MuteToggle:
      state_.sleep.advance(effects_.now());
      break;
    case Action::Exit:
      request_exit();
      break;
  }
}

void App::play_highlighted() {
  const Channel* channel = highlighted();
  if (!channel) return;
  logf("[Main] Playing station: {} ({})", channel->name, channel->stream_url);
  effects_.stop_playback();
  effects_.remove_playing_marker();
  effects_.start_stream(*channel, effects_.volume());
}

void App::toggle_favorite() {
  const Channel* channel = highlighted();
  if (!channel) return;
  lists_stale_ = true;
  if (favorites_.erase(channel->id) > 0) {
    logf("[Favorites] Removed {} from favorites", channel->id);
  } else {
    favorites_.insert(channel->id);
    logf("[Favorites] Added {} to favorites", channel->id);
  }
  effects_.save_favorites(favorites_);
}

void App::start_update_check() {
  state_.update = UpdateStatus{};
  state_.update.kind = UpdateStatus::Kind::Checking;
  effects_.start_update_check(catalog_path_);
  state_.screen = Screen::UpdateDialog;
}

void App::start_installation() {
  // Only the offer on screen is installed: after a later failed check or a
  // failed installation the dialog shows an error, and Confirm does nothing.
  // Downloading is not an offer either, so one installer runs at a time.
  if (!state_.pending_download_url || !state_.update.is(UpdateStatus::Kind::UpdateAvailable)) {
    return;
  }
  state_.update = UpdateStatus{};
  state_.update.kind = UpdateStatus::Kind::Downloading;
  state_.update.message = kDownloadingText;
  state_.update.progress = 0.0f;
  effects_.start_package_install(*state_.pending_download_url, state_.pending_download_size);
}

void App::step_category(int direction) {
  const size_t count = lists_.categories.size();
  if (count == 0) return;
  if (direction < 0) {
    state_.category_index = state_.category_index == 0 ? count - 1 : state_.category_index - 1;
  } else {
    state_.category_index = state_.category_index + 1 >= count ? 0 : state_.category_index + 1;
  }
  state_.selection = 0;
}

void App::change_volume(int step) {
  effects_.change_volume(step);
  state_.volume_counter = kVolumeDisplayFrames;
}

void App::request_exit() {
  Instant now = effects_.now();
  if (now < start_ || now - start_ < kExitGracePeriod) {
    log_line("[Main] Ignoring Exit during initial 600ms grace period");
    return;
  }
  if (state_.screen == Screen::ExitDialog) {
    state_.screen = Screen::ChannelList;
    return;
  }
  if (effects_.poll_playback().is(PlaybackStatus::Kind::Playing)) {
    state_.screen = Screen::ExitDialog;
    return;
  }
  exit_with(0, "[Main] Clean exit (not playing).", true);
}

void App::exit_with(int status, const char* line, bool stop) {
  log_line(line);
  if (stop) effects_.stop_playback();
  effects_.exit_process(status);
  std::abort();  // exit_process never returns
}

FrameInputs App::frame_inputs(const PlaybackStatus& playback, int volume,
                              uint64_t listening_seconds, const StreamReport* stream) const {
  return make_frame_inputs(state_, lists_, favorites_, playback, volume, listening_seconds, stream);
}

}  // namespace ze
