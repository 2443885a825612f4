#include "update/version.h"

#include <gtest/gtest.h>

namespace ze {
namespace {

TEST(VersionTest, NewerVersionsWinOverTheRunningOne) {
  for (const char* newer : {"1.0.1", "1.1", "2", "v1.1", "vv2.0", "1.0.0.0", "1.0.0.1"}) {
    EXPECT_TRUE(is_newer_version(newer, "1.0.0")) << newer;
  }
}

TEST(VersionTest, EqualOlderAndUnreadableVersionsAreNotNewer) {
  for (const char* older : {"1.0.0", "v1.0.0", "1.0", "0.9.9", "1.0.0-beta", "beta", "", "V2.0"}) {
    EXPECT_FALSE(is_newer_version(older, "1.0.0")) << older;
  }
}

TEST(VersionTest, PiecesKeepTheirDigitPrefixAndDropEmptyOrOversizedValues) {
  EXPECT_EQ(version_numbers("v1.0.0-beta"), (std::vector<uint32_t>{1, 0, 0}));
  EXPECT_EQ(version_numbers("1..2.x.3rc"), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(version_numbers("4294967295.4294967296.7"), (std::vector<uint32_t>{4294967295u, 7}));
  EXPECT_EQ(version_numbers("99999999999999999999999.1"), (std::vector<uint32_t>{1}));
  EXPECT_TRUE(version_numbers("release").empty());
  // Numbers compare as unsigned values, not as text.
  EXPECT_TRUE(is_newer_version("1.10", "1.9"));
}

}  // namespace
}  // namespace ze
