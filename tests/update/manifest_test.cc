#include "update/manifest.h"

#include <gtest/gtest.h>

namespace ze {
namespace {

TEST(ManifestTest, NeedsIdVersionAndDownloadUrl) {
  Result<OtaManifest> manifest = parse_manifest(R"({"id":"ze","version":"1.1","downloadUrl":"u"})");
  ASSERT_TRUE(manifest.ok());
  EXPECT_EQ(manifest->channels_url, "");
  EXPECT_EQ(manifest->size, std::nullopt);
  EXPECT_EQ(parse_manifest(R"({"id":"ze","version":"1.1","downloadUrl":"u","size":3600000})")->size, 3600000u);
  EXPECT_FALSE(parse_manifest(R"({"id":"ze","version":"1.1","downloadUrl":"u","size":"3.6 MB"})").ok());
  EXPECT_FALSE(parse_manifest(R"({"id":"ze","version":"1.1"})").ok());
  EXPECT_FALSE(parse_manifest("<html>Not Found</html>").ok());
}

}  // namespace
}  // namespace ze
