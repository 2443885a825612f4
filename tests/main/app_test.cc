#include "main/app.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/files.h"
#include "catalog/user_stations.h"
#include "temp_dir.h"

namespace ze {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

struct ExitCalled {
  int status;
};

// Records what the rules ask of the outside world.
class FakeEffects : public AppEffects {
 public:
  Instant clock = Instant{} + 100s;
  PlaybackStatus playback;
  int current_volume = 80;
  std::vector<std::string> calls;

  Instant now() override { return clock; }
  void stop_playback() override { calls.push_back("stop"); }
  void remove_playing_marker() override { calls.push_back("remove-marker"); }
  void start_stream(const Channel& channel, int volume) override {
    calls.push_back("start " + channel.id + " " + std::to_string(volume));
  }
  PlaybackStatus poll_playback() override { return playback; }
  int volume() override { return current_volume; }
  void change_volume(int step) override { calls.push_back("volume " + std::to_string(step)); }
  void start_update_check(const std::string& path) override { calls.push_back("check " + path); }
  void start_package_install(const std::string& url, std::optional<uint64_t> size) override {
    calls.push_back("install " + url + (size ? " " + std::to_string(*size) : ""));
  }
  void save_favorites(const FavoriteSet& favorites) override {
    calls.push_back("save " + std::to_string(favorites.size()));
  }
  [[noreturn]] void exit_process(int status) override { throw ExitCalled{status}; }
};

Channel channel(std::string id, std::string category, std::string frequency = "FM 100.0 MHz") {
  Channel c;
  c.id = id;
  c.name = "Name " + id;
  c.category = std::move(category);
  c.stream_url = "http://" + id;
  c.frequency = std::move(frequency);
  return c;
}

ChannelCatalog sample_catalog() {
  ChannelCatalog catalog;
  catalog.version = "1";
  catalog.categories = {{"all", "Tất Cả", ""}, {"vov", "VOV", ""}, {"music", "Nhạc", ""}};
  for (int i = 0; i < 10; ++i) {
    catalog.channels.push_back(channel("c" + std::to_string(i), i % 2 ? "vov" : "music"));
  }
  return catalog;
}

class AppTest : public ::testing::Test {
 protected:
  FakeEffects effects;
  Instant start = effects.clock;
  App app{sample_catalog(), "/cat/channels.json", {}, start, effects};

  void frame(std::initializer_list<Action> actions = {}) {
    app.derive_lists();
    for (Action action : actions) app.dispatch(action);
  }
  int exit_status(Action action) {
    try {
      app.dispatch(action);
    } catch (const ExitCalled& exit) {
      return exit.status;
    }
    return -1;
  }
};

TEST_F(AppTest, SelectionMovesWithinTheListWithoutWrapping) {
  frame({Action::Up});
  EXPECT_EQ(app.state().selection, 0u);
  frame({Action::Right, Action::Right});
  EXPECT_EQ(app.state().selection, 8u);
  frame({Action::Right});
  EXPECT_EQ(app.state().selection, 9u);  // at most the last index
  frame({Action::Down});
  EXPECT_EQ(app.state().selection, 9u);
  frame({Action::Left, Action::Left, Action::Left});
  EXPECT_EQ(app.state().selection, 0u);  // 9 → 5 → 1 → 0
}

TEST_F(AppTest, CategoriesCycleWithFavoritesAsTheLastStop) {
  frame({Action::Down, Action::ToggleFavorite});
  EXPECT_THAT(effects.calls, ElementsAre("save 1"));
  frame();
  ASSERT_EQ(app.lists().categories.size(), 4u);
  EXPECT_EQ(app.lists().categories.back().name, "Yêu Thích ⭐");
  frame({Action::PrevCategory});
  EXPECT_EQ(app.state().category_index, 3u);
  EXPECT_EQ(app.state().selection, 0u);
  frame();
  EXPECT_EQ(app.lists().filter_id, "fav");
  ASSERT_EQ(app.lists().visible.size(), 1u);
  EXPECT_EQ(app.lists().visible[0].id, "c1");
  frame({Action::NextCategory});
  EXPECT_EQ(app.state().category_index, 0u);
  // Removing the last favourite while its tab shows falls back to the first tab.
  frame({Action::PrevCategory});
  frame({Action::ToggleFavorite});
  frame();
  EXPECT_EQ(app.state().category_index, 0u);
  EXPECT_EQ(app.lists().categories.size(), 3u);
}

TEST_F(AppTest, ListsStayFixedForTheRestOfTheFrame) {
  frame();
  frame({Action::NextCategory, Action::Confirm});
  // The category changed but the frame's list is still "all": index 0 is c0.
  EXPECT_THAT(effects.calls, ElementsAre("stop", "remove-marker", "start c0 80"));
  frame();
  EXPECT_EQ(app.lists().filter_id, "vov");
  EXPECT_EQ(app.lists().visible[0].id, "c1");
}

TEST_F(AppTest, CatalogReplacementKeepsOrClampsTheSelection) {
  frame({Action::Right, Action::Right});
  ChannelCatalog smaller = sample_catalog();
  smaller.channels.resize(3);
  smaller.categories.resize(1);
  app.apply_update_message(ChannelsUpdatedMessage{smaller});
  EXPECT_EQ(app.state().update.kind, UpdateStatus::Kind::ChannelsUpdated);
  EXPECT_EQ(app.state().update.count, 3u);
  EXPECT_EQ(app.state().screen, Screen::ChannelList);
  frame();
  EXPECT_EQ(app.state().selection, 2u);
}

TEST_F(AppTest, DialTargetComesFromTheFrequencyText) {
  EXPECT_FLOAT_EQ(dial_target_for("FM 100.0 MHz"), 100.0f);
  EXPECT_FLOAT_EQ(dial_target_for("FM 91.0 MHz"), 91.0f);
  EXPECT_FLOAT_EQ(dial_target_for("AM 610 KHz"), 93.0f);
  EXPECT_FLOAT_EQ(dial_target_for("AM 1560 KHz"), 93.0f);
  EXPECT_FLOAT_EQ(dial_target_for("Acoustic 24/7"), 95.0f);
  EXPECT_FLOAT_EQ(dial_target_for("Hải Ngoại 24/7"), 95.0f);
  EXPECT_FLOAT_EQ(dial_target_for(""), 95.0f);
  EXPECT_FLOAT_EQ(dial_target_for("108"), 108.0f);
  EXPECT_FLOAT_EQ(dial_target_for("108.5"), 95.0f);
  EXPECT_FLOAT_EQ(dial_target_for("x 1e2 fm"), 100.0f);
  EXPECT_FLOAT_EQ(dial_target_for("FM99.9MHz"), 99.9f);  // units removed before splitting
  EXPECT_FLOAT_EQ(dial_target_for("mmhzhz 99"), 99.0f);   // one pass per unit, left to right
  EXPECT_FLOAT_EQ(dial_target_for("fmamfm 101"), 101.0f);

  // The target is taken every frame: a frequency text of megabytes (from a
  // hostile catalog) must cost time in proportion to its length. Erasing the
  // units in place would take about 10^12 steps here, far past the test's
  // time limit; the figures themselves are the render benchmark's.
  std::string huge;
  for (int i = 0; i < 500000; ++i) huge += "fmam";
  huge += " 101.5";
  EXPECT_FLOAT_EQ(dial_target_for(huge), 101.5f);
}

TEST_F(AppTest, DialEasesTowardsTheHighlightedChannel) {
  frame();
  EXPECT_FLOAT_EQ(app.state().dial_position, 91.0f + (100.0f - 91.0f) * 0.15f);
}

TEST_F(AppTest, ConfirmRestartsEvenTheSameChannelAndLogs) {
  ::testing::internal::CaptureStdout();
  frame({Action::NowPlayingToggle, Action::Confirm, Action::Confirm});
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(log, HasSubstr("[Main] Playing station: Name c0 (http://c0)\n"));
  EXPECT_THAT(effects.calls, ElementsAre("stop", "remove-marker", "start c0 80", "stop",
                                         "remove-marker", "start c0 80"));
  EXPECT_EQ(app.state().screen, Screen::NowPlaying);
}

TEST_F(AppTest, EmptyListMakesChannelActionsDoNothing) {
  ChannelCatalog empty;
  empty.categories = {{"x", "X", ""}};
  App bare(empty, "p", {}, start, effects);
  bare.derive_lists();
  for (Action a : {Action::Confirm, Action::ToggleFavorite, Action::Right, Action::Down}) {
    bare.dispatch(a);
  }
  EXPECT_TRUE(effects.calls.empty());
  EXPECT_EQ(bare.state().selection, 0u);
  EXPECT_FLOAT_EQ(bare.lists().dial_target, 95.0f);
}

TEST_F(AppTest, UpdateDialogFlow) {
  frame({Action::OtaUpdate});
  EXPECT_EQ(app.state().screen, Screen::UpdateDialog);
  EXPECT_EQ(app.state().update.kind, UpdateStatus::Kind::Checking);
  EXPECT_THAT(effects.calls, ElementsAre("check /cat/channels.json"));
  frame({Action::Confirm, Action::Up, Action::NextCategory});  // no URL pending
  EXPECT_EQ(effects.calls.size(), 1u);
  EXPECT_EQ(app.state().category_index, 0u);

  OtaManifest manifest{"ze", "1.2.0", "https://h/p.zip", "", "", 3600000};
  app.apply_update_message(UpdateAvailableMessage{manifest});
  EXPECT_EQ(app.state().update.version, "1.2.0");
  app.apply_update_message(UpdateErrorMessage{"boom"});
  EXPECT_EQ(app.state().update.message, "boom");
  // The dialog shows the error, not the earlier offer: Confirm installs nothing.
  frame({Action::Confirm});
  EXPECT_EQ(app.state().update.kind, UpdateStatus::Kind::Error);
  EXPECT_EQ(effects.calls.size(), 1u);

  app.apply_update_message(UpdateAvailableMessage{manifest});
  frame({Action::Confirm});
  EXPECT_EQ(app.state().update.kind, UpdateStatus::Kind::Downloading);
  EXPECT_EQ(app.state().update.message, "Đang tải bản cập nhật...");
  frame({Action::Confirm});  // a second installer is never started
  // The manifest's size goes along, for the progress of a download whose
  // server announces no length.
  EXPECT_THAT(effects.calls, ElementsAre("check /cat/channels.json", "install https://h/p.zip 3600000"));
  // A failed installation ends the download: the dialog shows its error, A
  // does nothing and B closes the dialog.
  app.apply_update_message(UpdateErrorMessage{"Failed to download update file"});
  frame({Action::Confirm});
  EXPECT_EQ(app.state().update.kind, UpdateStatus::Kind::Error);
  EXPECT_EQ(app.state().update.message, "Failed to download update file");
  EXPECT_EQ(effects.calls.size(), 2u);
  frame({Action::Cancel});
  EXPECT_EQ(app.state().screen, Screen::ChannelList);
  EXPECT_EQ(app.state().update.kind, UpdateStatus::Kind::Error);
}

TEST_F(AppTest, InstallProgressMovesOnlyTheDownloadsDialog) {
  using Step = InstallProgressMessage::Step;
  // Reports of an installation arrive only while its download is shown.
  app.apply_update_message(InstallProgressMessage{Step::Downloading, 10, 100});
  EXPECT_EQ(app.state().update.kind, UpdateStatus::Kind::Idle);
  frame({Action::OtaUpdate});
  app.apply_update_message(UpdateAvailableMessage{{"ze", "1.2.0", "https://h/p.zip", "", ""}});
  frame({Action::Confirm});

  struct Report {
    Step step;
    uint64_t received, total;
    float progress;
    UpdateStatus::Step shown;
    const char* message;
  };
  const Report reports[] = {
      {Step::Downloading, 0, 0, 0.0f, UpdateStatus::Step::Download, "Đang tải bản cập nhật..."},
      {Step::Downloading, 0, 3600000, 0.0f, UpdateStatus::Step::Download,
       "Đang tải bản cập nhật..."},
      {Step::Downloading, 1332000, 3600000, 0.37f, UpdateStatus::Step::Download,
       "Đang tải bản cập nhật..."},
      {Step::Downloading, 1250000, 0, 0.0f, UpdateStatus::Step::Download,
       "Đang tải bản cập nhật..."},
      {Step::Verifying, 3600000, 3600000, 1.0f, UpdateStatus::Step::Verify,
       "Đang kiểm tra chữ ký..."},
      {Step::Installing, 3600000, 3600000, 1.0f, UpdateStatus::Step::Install, "Đang cài đặt..."},
  };
  for (const Report& r : reports) {
    SCOPED_TRACE(r.received);
    app.apply_update_message(InstallProgressMessage{r.step, r.received, r.total});
    const UpdateStatus& update = app.state().update;
    EXPECT_EQ(update.kind, UpdateStatus::Kind::Downloading);
    EXPECT_EQ(update.step, r.shown);
    EXPECT_EQ(update.message, r.message);
    EXPECT_EQ(std::pair(update.received, update.total), std::pair(r.received, r.total));
    EXPECT_FLOAT_EQ(update.progress, r.progress);
  }
  // After a failure the dialog keeps its error; the next try starts at 0.
  app.apply_update_message(UpdateErrorMessage{"Failed to download update file"});
  app.apply_update_message(InstallProgressMessage{Step::Downloading, 10, 100});
  EXPECT_EQ(app.state().update.kind, UpdateStatus::Kind::Error);
  app.apply_update_message(UpdateAvailableMessage{{"ze", "1.2.0", "https://h/p.zip", "", ""}});
  frame({Action::Confirm});
  EXPECT_EQ(app.state().update.step, UpdateStatus::Step::Download);
  EXPECT_EQ(app.state().update.received, 0u);
  EXPECT_EQ(app.state().update.message, "Đang tải bản cập nhật...");
}

TEST_F(AppTest, ExitIsIgnoredDuringTheGracePeriod) {
  ::testing::internal::CaptureStdout();
  effects.clock = start + 500ms;
  frame({Action::Exit});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[Main] Ignoring Exit during initial 600ms grace period\n");
  effects.clock = start - 1s;  // a clock that reads earlier counts as no time
  frame({Action::Exit});
  effects.clock = start + 700ms;
  EXPECT_EQ(exit_status(Action::Exit), 0);
  EXPECT_THAT(effects.calls, ElementsAre("stop"));
}

TEST_F(AppTest, ExitWhilePlayingOpensTheDialogWhoseChoicesEndTheProgram) {
  effects.clock = start + 1s;
  effects.playback = PlaybackStatus::playing("Name c0");
  frame({Action::Exit});
  EXPECT_EQ(app.state().screen, Screen::ExitDialog);
  frame({Action::Exit});
  EXPECT_EQ(app.state().screen, Screen::ChannelList);
  frame({Action::Exit, Action::OtaUpdate});
  EXPECT_EQ(app.state().screen, Screen::ChannelList);
  EXPECT_TRUE(effects.calls.empty());

  frame({Action::Exit, Action::VolumeUp, Action::Down});
  EXPECT_EQ(app.state().selection, 0u);
  EXPECT_EQ(app.state().volume_counter, 90u);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(exit_status(Action::Confirm), 10);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[Main] Background Playback Mode selected! Audio daemon will remain active.\n");
  EXPECT_THAT(effects.calls, ElementsAre("volume 5"));  // nothing stopped
  EXPECT_EQ(exit_status(Action::Cancel), 0);
  EXPECT_THAT(effects.calls, ElementsAre("volume 5", "stop"));
}

TEST_F(AppTest, ExitWhileConnectingStopsAndEndsAtOnce) {
  effects.clock = start + 1s;
  effects.playback = PlaybackStatus::connecting("Name c0");
  EXPECT_EQ(exit_status(Action::Exit), 0);
  EXPECT_THAT(effects.calls, ElementsAre("stop"));
}

TEST_F(AppTest, SleepTimerStepsRestartsAndExpires) {
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i) frame({Action::MuteToggle});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[SleepTimer] Sleep timer set to: 15m\n[SleepTimer] Sleep timer set to: 30m\n"
            "[SleepTimer] Sleep timer set to: 45m\n[SleepTimer] Sleep timer set to: 60m\n"
            "[SleepTimer] Sleep timer set to: Tắt\n");
  frame({Action::MuteToggle, Action::MuteToggle});  // 30m
  effects.clock += 600s;
  frame({Action::MuteToggle});  // 45m from now
  effects.clock += 2699s;
  app.check_sleep_timer();
  EXPECT_TRUE(app.state().sleep.active);
  EXPECT_EQ(app.state().sleep.remaining, 1u);
  EXPECT_TRUE(effects.calls.empty());
  effects.clock += 1s;
  ::testing::internal::CaptureStdout();
  app.check_sleep_timer();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[SleepTimer] Timer expired! Stopping audio playback.\n");
  EXPECT_THAT(effects.calls, ElementsAre("stop"));
  EXPECT_EQ(app.state().sleep.option, 0);
  EXPECT_FALSE(app.state().sleep.active);
}

TEST_F(AppTest, VolumeNoticeCountsDownOncePerFrame) {
  frame({Action::VolumeDown});
  EXPECT_EQ(app.state().volume_counter, 90u);
  for (int i = 0; i < 89; ++i) app.count_frame();
  EXPECT_EQ(app.state().volume_counter, 1u);
  app.count_frame();
  app.count_frame();
  EXPECT_EQ(app.state().volume_counter, 0u);
  EXPECT_EQ(app.state().frame_counter, 91u);
}

std::vector<std::string> visible_ids(const App& app) {
  std::vector<std::string> ids;
  for (const Channel& c : app.lists().visible) ids.push_back(c.id);
  return ids;
}

std::vector<std::string> category_ids(const App& app) {
  std::vector<std::string> ids;
  for (const Category& c : app.lists().categories) ids.push_back(c.id);
  return ids;
}

// Favourites really written to and read from a file, as the player does.
class FileFavoritesEffects : public FakeEffects {
 public:
  explicit FileFavoritesEffects(FavoritesPaths paths) : file_(std::move(paths)) {}
  void save_favorites(const FavoriteSet& favorites) override { file_.save(favorites); }

 private:
  FavoritesFile file_;
};

TEST(UserStationsInTheApp, OwnTabBeforeFavouritesAndFavouritesSurviveSyncAndRestart) {
  testing::TempDir dir;
  const FavoritesPaths favorites_paths{dir / "favorites.json", dir.path(), dir / "local.json"};
  FileFavoritesEffects effects(favorites_paths);
  const std::vector<std::string> list_file{dir / "my_stations.m3u"};
  auto load_list = [&] {
    ::testing::internal::CaptureStdout();
    std::vector<Channel> stations = load_user_stations(list_file);
    ::testing::internal::GetCapturedStdout();
    return stations;
  };

  // Without the file nothing changes.
  App plain(sample_catalog(), "c.json", {}, effects.clock, effects, load_list());
  plain.derive_lists();
  EXPECT_THAT(category_ids(plain), ElementsAre("all", "vov", "music"));

  ASSERT_TRUE(write_file(list_file[0],
                         "#EXTM3U\n#EXTINF:-1,Mine A\nhttp://a.example/\n"
                         "#EXTINF:-1,Mine B\nhttp://b.example/\n").ok());
  const std::string a = user_station_id("http://a.example/");
  const std::string b = user_station_id("http://b.example/");
  auto app = std::make_unique<App>(sample_catalog(), "c.json", FavoritesFile(favorites_paths).load(),
                                   effects.clock, effects, load_list());
  app->derive_lists();
  EXPECT_THAT(category_ids(*app), ElementsAre("all", "vov", "music", "user"));
  EXPECT_EQ(app->lists().categories.back().name, "Của tôi");
  EXPECT_EQ(app->lists().visible.size(), 10u);  // "all" is the catalog's list
  app->dispatch(Action::PrevCategory);
  app->derive_lists();
  EXPECT_THAT(visible_ids(*app), ElementsAre(a, b));
  app->dispatch(Action::Down);
  app->dispatch(Action::Confirm);
  EXPECT_THAT(effects.calls, ElementsAre("stop", "remove-marker", "start " + b + " 80"));
  app->dispatch(Action::ToggleFavorite);
  app->derive_lists();
  EXPECT_THAT(category_ids(*app), ElementsAre("all", "vov", "music", "user", "fav"));

  // A catalog sync that drops channels and categories keeps the user's tab
  // and the favourite.
  ChannelCatalog synced = sample_catalog();
  synced.channels.resize(2);
  synced.categories = {{"vov", "VOV", ""}};
  app->apply_update_message(ChannelsUpdatedMessage{synced});
  app->derive_lists();
  app->dispatch(Action::PrevCategory);
  app->derive_lists();
  EXPECT_THAT(category_ids(*app), ElementsAre("vov", "user", "fav"));
  EXPECT_EQ(app->lists().filter_id, "fav");
  EXPECT_THAT(visible_ids(*app), ElementsAre(b));

  // The next start finds the favourite in the file and the station in the list.
  app = std::make_unique<App>(synced, "c.json", FavoritesFile(favorites_paths).load(), effects.clock,
                              effects, load_list());
  app->derive_lists();
  app->dispatch(Action::PrevCategory);
  app->derive_lists();
  EXPECT_EQ(app->lists().filter_id, "fav");
  EXPECT_THAT(visible_ids(*app), ElementsAre(b));
  EXPECT_EQ(app->lists().visible[0].name, "Mine B");
}

}  // namespace
}  // namespace ze
