#include "main/app.h"

#include <cstdlib>
#include <type_traits>

#include "base/log.h"
#include "base/text.h"

namespace ze {
namespace {

const Category kFavoritesCategory{"fav", "Yêu Thích ⭐", "Favorites ⭐"};

void remove_all(std::string& text, std::string_view word) {
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at)) {
    text.erase(at, word.size());
  }
}

// A decimal number: optional sign, digits with an optional fraction, an
// optional exponent.
std::optional<float> read_decimal(const std::string& piece) {
  size_t i = 0;
  auto digits = [&] {
    size_t from = i;
    while (i < piece.size() && piece[i] >= '0' && piece[i] <= '9') ++i;
    return i - from;
  };
  if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) ++i;
  size_t whole = digits();
  size_t fraction = 0;
  if (i < piece.size() && piece[i] == '.') {
    ++i;
    fraction = digits();
  }
  if (whole + fraction == 0) return std::nullopt;
  if (i < piece.size() && (piece[i] == 'e' || piece[i] == 'E')) {
    ++i;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) ++i;
    if (digits() == 0) return std::nullopt;
  }
  if (i != piece.size()) return std::nullopt;
  return std::strtof(piece.c_str(), nullptr);
}

}  // namespace

float dial_target_for(std::string_view frequency) {
  std::string text = to_lower(frequency);
  for (std::string_view unit : {"mhz", "khz", "fm", "am"}) remove_all(text, unit);
  std::vector<std::string> pieces(1);
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    if (is_unicode_space(decode_utf8(text, pos))) {
      if (!pieces.back().empty()) pieces.emplace_back();
    } else {
      pieces.back().append(text, start, pos - start);
    }
  }
  for (const std::string& piece : pieces) {
    std::optional<float> value = read_decimal(piece);
    if (!value) continue;
    if (*value >= 87.0f && *value <= 108.0f) return *value;
    if (*value >= 500.0f && *value <= 1600.0f) return 93.0f;
  }
  return 95.0f;
}

App::App(ChannelCatalog catalog, std::string catalog_path, FavoriteSet favorites, Instant start,
         AppEffects& effects)
    : catalog_(std::move(catalog)),
      catalog_path_(std::move(catalog_path)),
      favorites_(std::move(favorites)),
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
  std::visit(
      [this](auto&& m) {
        using T = std::decay_t<decltype(m)>;
        UpdateStatus status;
        if constexpr (std::is_same_v<T, UpdateAvailableMessage>) {
          state_.pending_download_url = m.manifest.download_url;
          status.kind = UpdateStatus::Kind::UpdateAvailable;
          status.version = m.manifest.version;
          status.download_url = m.manifest.download_url;
        } else if constexpr (std::is_same_v<T, ChannelsUpdatedMessage>) {
          catalog_ = std::move(m.catalog);
          status.kind = UpdateStatus::Kind::ChannelsUpdated;
          status.count = catalog_.channels.size();
        } else {
          status.kind = UpdateStatus::Kind::Error;
          status.message = std::move(m.text);
        }
        state_.update = std::move(status);
      },
      message);
}

void App::derive_lists() {
  lists_.categories = catalog_.categories;
  if (!favorites_.empty()) lists_.categories.push_back(kFavoritesCategory);
  if (state_.category_index >= lists_.categories.size()) state_.category_index = 0;
  lists_.filter_id =
      lists_.categories.empty() ? "all" : lists_.categories[state_.category_index].id;

  lists_.visible.clear();
  for (const Channel& channel : catalog_.channels) {
    bool shown = lists_.filter_id == "all"   ? true
                 : lists_.filter_id == "fav" ? favorites_.count(channel.id) > 0
                                             : channel.category == lists_.filter_id;
    if (shown) lists_.visible.push_back(channel);
  }
  if (!lists_.visible.empty() && state_.selection > lists_.visible.size() - 1) {
    state_.selection = lists_.visible.size() - 1;
  }
  const Channel* channel = highlighted();
  lists_.dial_target = channel ? dial_target_for(channel->frequency) : 95.0f;
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
  effects_.start_package_install(*state_.pending_download_url);
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
                              uint64_t listening_seconds) const {
  FrameInputs inputs;
  inputs.categories = lists_.categories;
  inputs.category_index = state_.category_index;
  inputs.channels = lists_.visible;
  inputs.selection = state_.selection;
  inputs.playback = playback;
  inputs.dial_position = state_.dial_position;
  inputs.update = state_.update;
  inputs.screen = state_.screen;
  inputs.frame_counter = state_.frame_counter;
  inputs.volume = volume;
  inputs.sleep_option = state_.sleep.option;
  inputs.sleep_active = state_.sleep.active;
  inputs.sleep_remaining = state_.sleep.remaining;
  inputs.favorites = &favorites_;
  inputs.listening_seconds = listening_seconds;
  inputs.volume_counter = state_.volume_counter;
  return inputs;
}

}  // namespace ze
