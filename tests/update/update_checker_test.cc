#include "update/update_checker.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/files.h"
#include "catalog/records.h"
#include "temp_dir.h"

namespace ze {
namespace {

constexpr const char* kBase = "https://updates.test";
constexpr const char* kCatalog =
    R"({"version":"2026.10.01","categories":[{"id":"vov","name":"VOV"}],)"
    R"("channels":[{"id":"a","name":"A","category":"vov","streamUrl":"http://a"},)"
    R"({"id":"b","name":"B","category":"vov","streamUrl":"http://b"}]})";

std::string manifest(const std::string& version) {
  return R"({"id":"ze-radio","version":")" + version +
         R"(","downloadUrl":"https://updates.test/ze-radio-2.zip","summary":"s"})";
}

// A curl stand-in: records every call's arguments, answers the manifest and
// the catalog URL from files of the test folder (NAME.body printed, NAME.rc
// the exit status, NAME.fail-once a failing first call).
class CheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_ / "curl",
               "#!/bin/sh\n"
               "d=" + dir_.path() + "\n"
               "echo \"$@\" >> $d/calls\n"
               "for a in \"$@\"; do url=$a; done\n"
               "case $url in */ota/ze-radio.json) k=manifest ;; *) k=catalog ;; esac\n"
               "if [ -e $d/$k.fail-once ]; then rm $d/$k.fail-once; exit 28; fi\n"
               "[ -e $d/$k.body ] && cat $d/$k.body\n"
               "[ -e $d/$k.rc ] && exit $(cat $d/$k.rc)\n"
               "exit 0\n");
    ::chmod((dir_ / "curl").c_str(), 0755);
    config_.base_url = kBase;
    config_.curl = dir_ / "curl";
    config_.catalog_path = dir_ / "channels.json";
  }

  void answer(const std::string& name, const std::string& body) {
    ASSERT_TRUE(write_file(dir_ / name, body).ok());
  }

  // The arguments of every curl call, one line per call.
  std::string calls() {
    Result<std::string> text = read_file(dir_ / "calls");
    return text ? *text : "";
  }

  // Runs the check with the log captured.
  UpdateMessage check() {
    ::testing::internal::CaptureStdout();
    UpdateMessage message = run_update_check(config_);
    log_ = ::testing::internal::GetCapturedStdout();
    return message;
  }

  const std::string manifest_call =
      "-4 -k -s -L --connect-timeout 6 --max-time 12 https://updates.test/ota/ze-radio.json\n";
  const std::string catalog_call =
      "-4 -k -s -L --connect-timeout 5 --max-time 10 https://updates.test/channels.json\n";

  testing::TempDir dir_;
  UpdateCheckConfig config_;
  std::string log_;
};

TEST_F(CheckerTest, NewerManifestIsReportedAndTheCatalogIsLeftAlone) {
  answer("manifest.body", manifest("v1.1"));
  answer("catalog.body", kCatalog);
  UpdateMessage message = check();
  auto* available = std::get_if<UpdateAvailableMessage>(&message);
  ASSERT_NE(available, nullptr);
  EXPECT_EQ(available->manifest.version, "v1.1");
  EXPECT_EQ(available->manifest.download_url, "https://updates.test/ze-radio-2.zip");
  EXPECT_EQ(calls(), manifest_call);
  EXPECT_FALSE(path_exists(config_.catalog_path));
  EXPECT_EQ(log_,
            "[OTA] Checking for system update at: https://updates.test/ota/ze-radio.json\n"
            "[OTA] Newer version available: v1.1 (current: 1.0.0)\n");
}

TEST_F(CheckerTest, UpToDateManifestSynchronisesAndStoresTheExactCatalogBytes) {
  answer("manifest.body", manifest("1.0.0"));
  std::string body = std::string(kCatalog) + "\n\n";  // stored unchanged, spacing included
  answer("catalog.body", body);
  ASSERT_TRUE(write_file(config_.catalog_path, "old").ok());
  UpdateMessage message = check();
  auto* updated = std::get_if<ChannelsUpdatedMessage>(&message);
  ASSERT_NE(updated, nullptr);
  EXPECT_EQ(updated->catalog.channels.size(), 2u);
  EXPECT_EQ(*read_file(config_.catalog_path), body);
  EXPECT_EQ(calls(), manifest_call + catalog_call);
  EXPECT_EQ(log_,
            "[OTA] Checking for system update at: https://updates.test/ota/ze-radio.json\n"
            "[OTA] Already up to date: 1.0.0\n"
            "[OTA] Syncing channels from: https://updates.test/channels.json\n"
            "[OTA] Successfully updated channels.json (version 2026.10.01)\n");
  // Nothing but the catalog and the stub's files is left in the folder.
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

TEST_F(CheckerTest, FailedManifestIsRetriedOnceThenTheCatalogFollows) {
  answer("manifest.fail-once", "");
  answer("manifest.body", manifest("2.0"));
  UpdateMessage retried = check();
  EXPECT_TRUE(std::holds_alternative<UpdateAvailableMessage>(retried));
  EXPECT_EQ(calls(), manifest_call + manifest_call);
  EXPECT_NE(log_.find("[OTA] Primary manifest failed, trying fallback: "
                      "https://updates.test/ota/ze-radio.json\n"),
            std::string::npos);

  // Failing twice, unparsable or incomplete: silently on to the catalog.
  answer("catalog.body", kCatalog);
  for (const std::string& bad : {std::string("<html>404 Not Found</html>"),
                                 std::string(R"({"id":"ze-radio","version":"9.0"})")}) {
    ::unlink((dir_ / "calls").c_str());
    answer("manifest.body", bad);
    EXPECT_TRUE(std::holds_alternative<ChannelsUpdatedMessage>(check())) << bad;
    EXPECT_EQ(calls(), manifest_call + catalog_call);
  }
  ::unlink((dir_ / "calls").c_str());
  answer("manifest.rc", "7");
  EXPECT_TRUE(std::holds_alternative<ChannelsUpdatedMessage>(check()));
  EXPECT_EQ(calls(), manifest_call + manifest_call + catalog_call);
}

TEST_F(CheckerTest, CatalogFailuresAreReportedAndLeaveTheStoredCatalog) {
  answer("manifest.rc", "6");
  ASSERT_TRUE(write_file(config_.catalog_path, "old").ok());

  answer("catalog.rc", "6");
  UpdateMessage down = check();
  ASSERT_TRUE(std::holds_alternative<UpdateErrorMessage>(down));
  EXPECT_EQ(std::get<UpdateErrorMessage>(down).text,
            "Unable to download latest channels. Check Wi-Fi connection.");

  answer("catalog.rc", "0");  // status 0 with nothing printed
  EXPECT_EQ(std::get<UpdateErrorMessage>(check()).text,
            "Unable to download latest channels. Check Wi-Fi connection.");

  const std::string page = "<html><body>404 Not Found</body></html>";
  answer("catalog.body", page);
  EXPECT_EQ(std::get<UpdateErrorMessage>(check()).text,
            "Invalid remote channels format: " + parse_catalog(page).error());
  EXPECT_EQ(*read_file(config_.catalog_path), "old");

  config_.curl = dir_ / "no-such-curl";
  EXPECT_EQ(std::get<UpdateErrorMessage>(check()).text,
            "Network request failed: No such file or directory (os error 2)");
  EXPECT_EQ(*read_file(config_.catalog_path), "old");
}

TEST_F(CheckerTest, UnwritableCatalogPathIsAWarningAndTheCatalogIsStillSent) {
  answer("manifest.body", manifest("0.9.9"));
  answer("catalog.body", R"({"version":"empty","categories":[],"channels":[]})");
  ASSERT_EQ(::mkdir(config_.catalog_path.c_str(), 0755), 0);
  UpdateMessage message = check();
  auto* updated = std::get_if<ChannelsUpdatedMessage>(&message);
  ASSERT_NE(updated, nullptr);
  EXPECT_TRUE(updated->catalog.channels.empty());
  EXPECT_NE(log_.find("\n[OTA] Warning: Could not save channels.json to disk: "
                      "Is a directory (os error 21)\n"),
            std::string::npos)
      << log_;
}

}  // namespace
}  // namespace ze
