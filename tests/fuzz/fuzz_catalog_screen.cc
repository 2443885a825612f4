// A catalog from the update server as the screen shows it: an accepted
// catalog document is loaded into the application state with every other
// channel a favourite, driven through a fixed round of actions (scrolling,
// tabs, favourites, playing, the now-playing view, an update offer, a
// replaced catalog) and drawn at the main steps. The selection and the tab
// always name an entry of this frame's lists, the dial stays finite and on
// the dial, and drawing any texts the catalog holds never fails.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "catalog/records.h"
#include "fuzz_check.h"
#include "graphics/framebuffer.h"
#include "graphics/renderer.h"
#include "graphics/screens.h"
#include "main/app.h"

namespace {

struct ExitRequested {};

class QuietEffects : public ze::AppEffects {
 public:
  ze::Instant now() override { return clock_ += std::chrono::milliseconds(16); }
  void stop_playback() override { status_ = ze::PlaybackStatus::idle(); }
  void remove_playing_marker() override {}
  void start_stream(const ze::Channel& channel, int) override {
    status_ = ze::PlaybackStatus::playing(channel.name);
  }
  ze::PlaybackStatus poll_playback() override { return status_; }
  int volume() override { return volume_; }
  void change_volume(int step) override { volume_ = std::clamp(volume_ + step, 0, 100); }
  void start_update_check(const std::string&) override {}
  void start_package_install(const std::string&, std::optional<uint64_t>) override {}
  void save_favorites(const ze::FavoriteSet&) override {}
  [[noreturn]] void exit_process(int) override { throw ExitRequested{}; }

 private:
  ze::Instant clock_{};
  ze::PlaybackStatus status_;
  int volume_ = 80;
};

ze::Renderer& renderer() {
  static ze::Framebuffer* framebuffer = new ze::Framebuffer(ze::Framebuffer::simulated(1280, 720));
  static ze::Renderer* drawer = new ze::Renderer(*framebuffer);
  return *drawer;
}

// One frame; drawn only when `draw` (drawing is by far the slowest step).
void frame(ze::App& app, QuietEffects& effects, bool draw = false) {
  app.count_frame();
  app.derive_lists();
  const ze::AppState& state = app.state();
  const ze::FrameLists& lists = app.lists();
  FUZZ_CHECK(lists.categories.empty() || state.category_index < lists.categories.size(),
             "the tab is one of this frame's tabs");
  FUZZ_CHECK(lists.visible.empty() || state.selection < lists.visible.size(),
             "the selection is one of this frame's channels");
  FUZZ_CHECK(std::isfinite(state.dial_position) && state.dial_position >= 87.0f &&
                 state.dial_position <= 108.0f,
             "the dial stays on the dial");
  if (draw) {
    ze::render_frame(renderer(), app.frame_inputs(effects.poll_playback(), effects.volume(), 75));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ze::Result<ze::ChannelCatalog> parsed = ze::parse_catalog(ze::fuzz::as_text(data, size));
  if (!parsed) return 0;
  ze::FavoriteSet favorites;
  for (size_t i = 0; i < parsed->channels.size(); i += 2) favorites.insert(parsed->channels[i].id);
  ze::ChannelCatalog replacement = *parsed;
  std::reverse(replacement.categories.begin(), replacement.categories.end());
  if (!replacement.channels.empty()) replacement.channels.pop_back();

  QuietEffects effects;
  ze::App app(*parsed, "/nonexistent/channels.json", favorites, effects.now(), effects);
  using ze::Action;
  const Action round[] = {Action::Down,        Action::Down,           Action::Right,
                          Action::NextCategory, Action::Down,          Action::ToggleFavorite,
                          Action::NextCategory, Action::PrevCategory,  Action::PrevCategory,
                          Action::Confirm,      Action::NowPlayingToggle, Action::VolumeUp,
                          Action::NowPlayingToggle, Action::MuteToggle, Action::Left};
  try {
    frame(app, effects, true);
    for (Action action : round) {
      app.dispatch(action);
      frame(app, effects, action == Action::NextCategory || action == Action::NowPlayingToggle);
    }
    ze::OtaManifest offer{"ze-radio", parsed->version, "https://x/p.zip", "", parsed->updated_at};
    app.apply_update_message(ze::UpdateAvailableMessage{offer});
    frame(app, effects, true);
    app.dispatch(Action::Cancel);
    app.apply_update_message(ze::ChannelsUpdatedMessage{replacement});
    frame(app, effects);
    app.dispatch(Action::Up);
    frame(app, effects, true);
  } catch (const ExitRequested&) {
    FUZZ_CHECK(false, "the round of actions never leaves the program");
  }
  return 0;
}
