#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/files.h"
#include "catalog/catalog_loader.h"
#include "catalog/favorites.h"
#include "temp_dir.h"

namespace ze {
namespace {

using ::testing::HasSubstr;

constexpr const char* kOneChannel =
    R"({"version":"v","categories":[],"channels":[{"id":"a","name":"A","category":"c","streamUrl":"u"}]})";

class CatalogLoaderTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::vector<std::string> candidates{dir / "app.json", dir / "local.json", dir / "package.json"};

  LoadedCatalog load(std::string* log) {
    ::testing::internal::CaptureStdout();
    LoadedCatalog loaded = load_catalog(candidates, dir / "fallback.json");
    *log = ::testing::internal::GetCapturedStdout();
    return loaded;
  }
};

TEST(BuiltinCatalogTest, HasTheShippedStationsInOrder) {
  ChannelCatalog catalog = builtin_catalog();
  EXPECT_EQ(catalog.version, "2026.09.28");
  EXPECT_EQ(catalog.updated_at, "2026-09-28T04:15:00Z");
  ASSERT_EQ(catalog.categories.size(), 6u);
  ASSERT_EQ(catalog.channels.size(), 25u);
  EXPECT_EQ(catalog.categories[5].name, "Âm Nhạc 24/7");
  EXPECT_EQ(catalog.channels[0].name, "VOV1 - Thời sự & Chính trị");
  EXPECT_EQ(catalog.channels[24].id, "viet-dc");
  EXPECT_EQ(catalog.channels[24].stream_url, "");  // no known public address
  EXPECT_EQ(builtin_catalog_text().back(), '\n');
}

TEST_F(CatalogLoaderTest, FirstExistingFileWins) {
  ASSERT_TRUE(write_file(dir / "local.json", kOneChannel).ok());
  ASSERT_TRUE(write_file(dir / "package.json", "{}").ok());
  std::string log;
  LoadedCatalog loaded = load(&log);
  EXPECT_EQ(loaded.path, dir / "local.json");
  EXPECT_EQ(loaded.catalog.channels.size(), 1u);
  EXPECT_EQ(log, "[Catalog] Loaded 1 channels from " + (dir / "local.json") + "\n");
}

TEST_F(CatalogLoaderTest, DirectoryIsChosenThenFallsBackButKeepsThePath) {
  ::mkdir((dir / "app.json").c_str(), 0755);
  ASSERT_TRUE(write_file(dir / "local.json", kOneChannel).ok());
  std::string log;
  LoadedCatalog loaded = load(&log);
  EXPECT_EQ(loaded.path, dir / "app.json");
  EXPECT_EQ(loaded.catalog.channels.size(), 25u);
  EXPECT_EQ(log, "[Catalog] File not found or invalid, using built-in default channels\n");
}

TEST_F(CatalogLoaderTest, InvalidFilesFallBackAndEmptyCatalogsLoad) {
  std::string log;
  EXPECT_EQ(load(&log).path, dir / "fallback.json");
  EXPECT_THAT(log, HasSubstr("built-in default"));
  // One channel without streamUrl spoils the whole file.
  ASSERT_TRUE(write_file(dir / "app.json",
                         R"({"version":"v","categories":[],"channels":[{"id":"a","name":"A","category":"c"}]})")
                  .ok());
  EXPECT_EQ(load(&log).catalog.channels.size(), 25u);
  ASSERT_TRUE(write_file(dir / "app.json", std::string(kOneChannel).insert(40, "\xff")).ok());
  EXPECT_EQ(load(&log).catalog.channels.size(), 25u);
  ASSERT_TRUE(write_file(dir / "app.json", R"({"version":"v","categories":[],"channels":[]})").ok());
  EXPECT_EQ(load(&log).catalog.channels.size(), 0u);
  EXPECT_THAT(log, HasSubstr("Loaded 0 channels"));
}

class FavoritesTest : public ::testing::Test {
 protected:
  FavoriteSet load_favorites(const FavoritesPaths& where) { return FavoritesFile(where).load(); }
  void save_favorites(const FavoriteSet& favorites, const FavoritesPaths& where) {
    FavoritesFile(where).save(favorites);
  }

  testing::TempDir dir;
  FavoritesPaths paths{dir / "app/favorites.json", dir / "app", dir / "favorites.json"};
};

TEST_F(FavoritesTest, LoadsTheAppFileFirstAndCollapsesRepeats) {
  EXPECT_TRUE(load_favorites(paths).empty());
  ASSERT_TRUE(write_file(paths.local_file, R"(["a","b","a"])").ok());
  EXPECT_EQ(load_favorites(paths), (FavoriteSet{"a", "b"}));
  ::mkdir(paths.app_dir.c_str(), 0755);
  ASSERT_TRUE(write_file(paths.app_file, R"(["c"])").ok());
  EXPECT_EQ(load_favorites(paths), (FavoriteSet{"c"}));
  ASSERT_TRUE(write_file(paths.app_file, R"(["c", 5])").ok());
  EXPECT_TRUE(load_favorites(paths).empty());
}

TEST_F(FavoritesTest, SavesWhereTheAppFolderDecides) {
  save_favorites({"x", "y"}, paths);
  EXPECT_EQ(*read_file(paths.local_file), "[\n  \"x\",\n  \"y\"\n]");
  ::mkdir(paths.app_dir.c_str(), 0755);
  save_favorites({}, paths);
  EXPECT_EQ(*read_file(paths.app_file), "[]");
  EXPECT_EQ(load_favorites(paths), FavoriteSet{});
  // An unwritable place is silently dropped.
  FavoritesPaths nowhere{dir / "none/f.json", dir / "none", dir / "none/g.json"};
  save_favorites({"x"}, nowhere);
  EXPECT_FALSE(path_exists(nowhere.local_file));
}

TEST_F(FavoritesTest, ADamagedFileIsKeptAsideBeforeTheFirstSaveOverIt) {
  ::mkdir(paths.app_dir.c_str(), 0755);
  const std::string bad = paths.app_file + ".bad";
  const std::string damaged = "[\n  \"vov1\",\n  \"voh2\"\n  \"xone\"\n]";  // a comma missing
  ASSERT_TRUE(write_file(paths.app_file, damaged).ok());
  ASSERT_TRUE(write_file(bad, "older").ok());
  FavoritesFile file(paths);
  EXPECT_TRUE(file.load().empty());
  ::testing::internal::CaptureStdout();
  file.save({"vov1"});
  file.save({"vov1", "vov2"});
  std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(log, "[Favorites] Kept unreadable " + paths.app_file + " as " + bad + "\n");
  EXPECT_EQ(*read_file(bad), damaged);
  EXPECT_EQ(*read_file(paths.app_file), "[\n  \"vov1\",\n  \"vov2\"\n]");

  // A good file, or none at all, is simply replaced.
  ASSERT_EQ(::unlink(bad.c_str()), 0);
  EXPECT_EQ(file.load(), (FavoriteSet{"vov1", "vov2"}));
  file.save({});
  ASSERT_EQ(::unlink(paths.app_file.c_str()), 0);
  EXPECT_TRUE(file.load().empty());
  file.save({"a"});
  EXPECT_FALSE(path_exists(bad));
  // A damaged file that is not the one written to stays where it is.
  ASSERT_EQ(::unlink(paths.app_file.c_str()), 0);
  ASSERT_EQ(::rmdir(paths.app_dir.c_str()), 0);
  ASSERT_TRUE(write_file(paths.local_file, "{").ok());
  FavoritesFile local(paths);
  EXPECT_TRUE(local.load().empty());
  ::mkdir(paths.app_dir.c_str(), 0755);
  local.save({"b"});
  EXPECT_EQ(*read_file(paths.local_file), "{");
  EXPECT_FALSE(path_exists(paths.local_file + ".bad"));
}

}  // namespace
}  // namespace ze
