// Whole screens drawn from the scenarios in golden/ and compared with the
// pictures stored beside them, which are kept at half size. Set
// ZE_RADIO_UPDATE_GOLDENS=1 to write the pictures afresh after an intended
// change of the screens. The README's pictures are checked the same way
// against what the snapshot and icon tools draw now (`make pictures`
// draws them afresh).
#include <time.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "base/files.h"
#include "base/process.h"
#include "catalog/catalog_loader.h"
#include "graphics/screens.h"
#include "temp_dir.h"
#include "tools/snapshot/png_image.h"
#include "tools/snapshot/scenario.h"

namespace ze {
namespace {

const std::filesystem::path kGoldenDir = ZE_GOLDEN_DIR;

std::vector<std::string> scenarios() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kGoldenDir)) {
    if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Pixels whose channels differ by more than 12 in any of red, green, blue.
size_t differing_pixels(const Image& a, const Image& b) {
  size_t count = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    for (int shift = 0; shift <= 16; shift += 8) {
      int d = int((a.pixels[i] >> shift) & 0xFF) - int((b.pixels[i] >> shift) & 0xFF);
      if (std::abs(d) > 12) {
        ++count;
        break;
      }
    }
  }
  return count;
}

// The recent titles' start times are shown in the local time zone: the
// pictures are drawn in UTC, here and by `make pictures`.
void use_utc() {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
}

TEST(Golden, ScreensMatchTheStoredPictures) {
  use_utc();
  const bool update = std::getenv("ZE_RADIO_UPDATE_GOLDENS") != nullptr;
  auto names = scenarios();
  ASSERT_GE(names.size(), 5u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string scenario_file = (kGoldenDir / (name + ".json")).string();
    auto text = read_file(scenario_file);
    ASSERT_TRUE(text.ok());
    auto scenario = parse_scenario(*text);
    ASSERT_TRUE(scenario.ok()) << scenario.error();
    auto catalog = parse_catalog(builtin_catalog_text());
    ASSERT_TRUE(catalog.ok());
    auto user_stations = scenario_user_stations(*scenario, scenario_file);
    ASSERT_TRUE(user_stations.ok()) << user_stations.error();
    auto frame = make_frame(*scenario, std::move(*catalog), std::move(*user_stations));
    auto fb = Framebuffer::simulated(scenario->width, scenario->height);
    Renderer renderer(fb);
    render_frame(renderer, frame->inputs);
    Image drawn = downscale(fb.pixels(), fb.width(), fb.height(), 2);

    std::string png = (kGoldenDir / (name + ".png")).string();
    if (update) {
      ASSERT_TRUE(write_png(png, drawn.pixels.data(), drawn.width, drawn.height).ok());
      continue;
    }
    auto stored = read_png(png);
    ASSERT_TRUE(stored.ok()) << stored.error();
    ASSERT_EQ(stored->width, drawn.width);
    ASSERT_EQ(stored->height, drawn.height);
    // Allow for small differences between FreeType builds in glyph edges.
    EXPECT_LE(differing_pixels(*stored, drawn), drawn.pixels.size() / 500);
  }
}

// Draws `argv`'s picture into a temporary file and compares it with the
// stored picture `stored`, allowing for FreeType builds as above.
void expect_tool_draws(std::vector<std::string> argv, const std::string& stored_path) {
  SCOPED_TRACE(stored_path);
  testing::TempDir dir;
  const std::string drawn_path = dir.path() + "/drawn.png";
  argv.push_back(drawn_path);
  auto run = run_capture(argv);
  ASSERT_TRUE(run.ok()) << run.error();
  ASSERT_TRUE(run->status.success()) << run->err;
  auto drawn = read_png(drawn_path);
  auto stored = read_png(stored_path);
  ASSERT_TRUE(drawn.ok()) << drawn.error();
  ASSERT_TRUE(stored.ok()) << stored.error() << " (make pictures draws it)";
  ASSERT_EQ(stored->width, drawn->width);
  ASSERT_EQ(stored->height, drawn->height);
  EXPECT_LE(differing_pixels(*stored, *drawn), drawn->pixels.size() / 500)
      << "stale: make pictures draws it afresh";
}

TEST(Golden, TheReadmePicturesAreWhatTheToolsDrawNow) {
  use_utc();
  const std::filesystem::path docs = ZE_DOCS_DIR;
  size_t checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(docs / "screens")) {
    if (entry.path().extension() != ".json") continue;
    std::string picture = (docs / ("screen-" + entry.path().stem().string() + ".png")).string();
    expect_tool_draws({ZE_SNAPSHOT_BIN, entry.path().string()}, picture);
    ++checked;
  }
  EXPECT_GE(checked, 5u);
  expect_tool_draws({ZE_ICON_BIN}, (docs / "icon.png").string());
}

}  // namespace
}  // namespace ze
