#include <gtest/gtest.h>

#include "base/files.h"
#include "base/process.h"
#include "catalog/catalog_loader.h"
#include "temp_dir.h"
#include "tools/snapshot/png_image.h"
#include "tools/snapshot/scenario.h"

namespace ze {
namespace {

ChannelCatalog sample_catalog() {
  ChannelCatalog catalog;
  catalog.categories = {{"all", "Tất Cả", "All"}, {"vov", "VOV", "VOV"}, {"voh", "VOH", "VOH"}};
  for (auto [id, category] : {std::pair{"a", "vov"}, {"b", "voh"}, {"c", "vov"}}) {
    Channel channel;
    channel.id = id;
    channel.name = std::string("Kênh ") + id;
    channel.category = category;
    catalog.channels.push_back(channel);
  }
  return catalog;
}

std::vector<std::string> ids(std::span<const Channel> channels) {
  std::vector<std::string> out;
  for (const Channel& c : channels) out.push_back(c.id);
  return out;
}

TEST(Scenario, EmptyDocumentGivesStartUpValues) {
  auto s = parse_scenario("{}");
  ASSERT_TRUE(s.ok()) << s.error();
  EXPECT_EQ(s->width, 1280u);
  EXPECT_EQ(s->height, 720u);
  EXPECT_EQ(s->screen, Screen::ChannelList);
  EXPECT_EQ(s->volume, 80);
  EXPECT_EQ(s->dial, 91.0f);
  EXPECT_TRUE(s->playback.is(PlaybackStatus::Kind::Idle));
  EXPECT_TRUE(s->update.is(UpdateStatus::Kind::Idle));
  EXPECT_FALSE(s->catalog_path);
}

TEST(Scenario, ErrorsNameTheKey) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"width": -1})", "\"width\""},
      {R"({"width": 0})", "\"width\""},
      {R"({"screen": "Menu"})", "\"screen\""},
      {R"({"volume": 101})", "\"volume\""},
      {R"({"sleepOption": 5})", "\"sleepOption\""},
      {R"({"playback": {"state": "Paused"}})", "\"playback.state\""},
      {R"({"update": {"progress": "half"}})", "\"update.progress\""},
      {R"({"favorites": [1]})", "\"favorites\""},
      {R"({"frame": 4294967296})", "\"frame\""},
      {R"({"colour": 1})", "\"colour\""},
      {R"({"userStations": true})", "\"userStations\""},
  };
  for (auto [json, key] : cases) {
    auto s = parse_scenario(json);
    ASSERT_FALSE(s.ok()) << json;
    EXPECT_NE(s.error().find(key), std::string::npos) << s.error();
  }
  EXPECT_FALSE(parse_scenario("[1]").ok());
  EXPECT_FALSE(parse_scenario("{").ok());
}

TEST(Scenario, ListsAreDerivedFromCatalogAndFavourites) {
  Scenario s;
  auto frame = make_frame(s, sample_catalog());
  EXPECT_EQ(frame->inputs.categories.size(), 3u);
  EXPECT_EQ(ids(frame->inputs.channels), (std::vector<std::string>{"a", "b", "c"}));

  s.category_index = 1;
  frame = make_frame(s, sample_catalog());
  EXPECT_EQ(ids(frame->inputs.channels), (std::vector<std::string>{"a", "c"}));

  s.favorites = {"c", "b"};
  s.category_index = 3;
  s.selection = 9;
  frame = make_frame(s, sample_catalog());
  ASSERT_EQ(frame->inputs.categories.size(), 4u);
  EXPECT_EQ(frame->inputs.categories[3].name, "Yêu Thích ⭐");
  EXPECT_EQ(ids(frame->inputs.channels), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(frame->inputs.selection, 1u);  // held to the last row

  s.category_index = 7;  // out of range: back to the first tab
  frame = make_frame(s, sample_catalog());
  EXPECT_EQ(frame->inputs.category_index, 0u);
  EXPECT_EQ(frame->inputs.channels.size(), 3u);
}

TEST(Scenario, UserStationsGetTheirTabBeforeTheFavourites) {
  Scenario s;
  s.favorites = {"a"};
  s.category_index = 3;
  Channel mine;
  mine.id = "user-1";
  mine.category = "user";
  auto frame = make_frame(s, sample_catalog(), {mine});
  ASSERT_EQ(frame->inputs.categories.size(), 5u);
  EXPECT_EQ(frame->inputs.categories[3].name, "Của tôi");
  EXPECT_EQ(frame->inputs.categories[4].id, "fav");
  EXPECT_EQ(ids(frame->inputs.channels), (std::vector<std::string>{"user-1"}));
}

// One program that uses the catalog loader and the snapshot library links:
// the built-in catalog exists once.
TEST(Scenario, DrawsThePlayersBuiltInCatalog) {
  LoadedCatalog loaded = load_catalog({}, "/nonexistent/channels.json");
  ASSERT_FALSE(loaded.catalog.channels.empty());
  auto frame = make_frame(Scenario{}, builtin_catalog());
  EXPECT_EQ(frame->inputs.channels.size(), loaded.catalog.channels.size());  // "all" tab
  EXPECT_EQ(frame->inputs.categories.size(), loaded.catalog.categories.size());
}

TEST(SnapshotTool, WritesAPictureOfTheScenarioSize) {
  testing::TempDir dir;
  ASSERT_TRUE(write_file(dir / "s.json", R"({"width": 320, "height": 240})").ok());
  auto run = run_capture({ZE_SNAPSHOT_BIN, dir / "s.json", dir / "out.png"});
  ASSERT_TRUE(run.ok());
  EXPECT_TRUE(run->status.success()) << run->err;
  auto image = read_png(dir / "out.png");
  ASSERT_TRUE(image.ok()) << image.error();
  EXPECT_EQ(image->width, 320u);
  EXPECT_EQ(image->height, 240u);
  EXPECT_EQ(image->pixels[5 * 320 + 5], 0xFF1E293Bu);  // header band
}

TEST(SnapshotTool, BadScenarioExitsWithStatusTwoNamingTheKey) {
  testing::TempDir dir;
  ASSERT_TRUE(write_file(dir / "s.json", R"({"selection": "first"})").ok());
  auto run = run_capture({ZE_SNAPSHOT_BIN, dir / "s.json", dir / "out.png"});
  ASSERT_TRUE(run.ok());
  EXPECT_EQ(run->status.value, 2);
  EXPECT_NE(run->err.find("\"selection\""), std::string::npos) << run->err;
  EXPECT_FALSE(path_exists(dir / "out.png"));

  ASSERT_TRUE(write_file(dir / "s.json", R"({"catalog": "/nonexistent/channels.json"})").ok());
  run = run_capture({ZE_SNAPSHOT_BIN, dir / "s.json", dir / "out.png"});
  EXPECT_EQ(run->status.value, 2);
  EXPECT_NE(run->err.find("\"catalog\""), std::string::npos) << run->err;

  ASSERT_TRUE(write_file(dir / "s.json", R"({"userStations": "missing.m3u"})").ok());
  run = run_capture({ZE_SNAPSHOT_BIN, dir / "s.json", dir / "out.png"});
  EXPECT_EQ(run->status.value, 2);
  // A relative list is looked for beside the scenario.
  EXPECT_NE(run->err.find("\"userStations\": " + (dir / "missing.m3u")), std::string::npos)
      << run->err;

  run = run_capture({ZE_SNAPSHOT_BIN, dir / "s.json"});
  EXPECT_EQ(run->status.value, 2);
}

TEST(IconTool, DrawsARoundedSquareIconOfTheAskedSize) {
  testing::TempDir dir;
  auto run = run_capture({ZE_ICON_BIN, dir / "icon.png", "96"});
  ASSERT_TRUE(run.ok());
  EXPECT_TRUE(run->status.success()) << run->err;
  auto image = read_png(dir / "icon.png");
  ASSERT_TRUE(image.ok()) << image.error();
  EXPECT_EQ(image->width, 96u);
  EXPECT_EQ(image->height, 96u);
  EXPECT_EQ(image->pixels[0] >> 24, 0u);               // transparent corner
  EXPECT_EQ(image->pixels[48 * 96 + 2], 0xFF0F172Au);  // dark square
  EXPECT_EQ(image->pixels[20 * 96 + 14], 0xFFE11D48u); // red badge

  run = run_capture({ZE_ICON_BIN, dir / "icon.png", "big"});
  EXPECT_EQ(run->status.value, 2);
}

}  // namespace
}  // namespace ze
