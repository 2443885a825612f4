#include "update/update_checker.h"

#include <sys/stat.h>

#include <sodium.h>

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
// the exit status, NAME.fail-once a failing first call, NAME.endless an
// answer that never ends).
class CheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_ / "curl",
               "#!/bin/sh\n"
               "d=" + dir_.path() + "\n"
               "echo \"$@\" >> $d/calls\n"
               "for a in \"$@\"; do url=$a; done\n"
               "case $url in */ota/ze-radio.json) k=manifest ;; *.sig) k=signature ;; "
               "*) k=catalog ;; esac\n"
               "if [ -e $d/$k.fail-once ]; then rm $d/$k.fail-once; exit 28; fi\n"
               "[ -e $d/$k.endless ] && exec yes '{}'\n"
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
      "-q -g -s -S -L --max-redirs 10 -k --proto =http,https --proto-redir =http,https "
      "-4 --connect-timeout 6 --max-time 12 --max-filesize 4194304 "
      "https://updates.test/ota/ze-radio.json\n";
  const std::string catalog_call =
      "-q -g -s -S -L --max-redirs 10 -k --proto =http,https --proto-redir =http,https "
      "-4 --connect-timeout 5 --max-time 10 --max-filesize 4194304 "
      "https://updates.test/channels.json\n";

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

  // A manifest whose version is not a version is refused with the rule; the
  // catalog is synchronised as after any unusable manifest.
  answer("manifest.body", manifest("1.x.5"));
  message = check();
  EXPECT_TRUE(std::holds_alternative<ChannelsUpdatedMessage>(message));
  EXPECT_NE(log_.find("[OTA] Manifest refused: '1.x.5' is not a version (numbers separated by "
                      "dots, as 1.2.3, with an optional leading v and an optional pre-release "
                      "after '-', as 1.3-rc1)\n[OTA] Syncing channels from: "),
            std::string::npos) << log_;
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

// Manifests and catalogs that are too large or nested too deep are refused
// before they are parsed; the manifest silently, the catalog with an error.
TEST_F(CheckerTest, OversizedOrDeeplyNestedDocumentsAreRefusedUnparsed) {
  const std::string deep = std::string(65, '[') + std::string(65, ']');
  const std::string padded = std::string(kCatalog) + std::string(kMaxDocumentSize, ' ');
  struct Case {
    std::string text;
    std::string error;  // empty: within the limits
  } cases[] = {
      {std::string(64, '[') + std::string(64, ']'), ""},
      {"[\"" + std::string(100, '[') + "\\\"\"]", ""},  // brackets inside a string
      {deep, "document nested deeper than 64 levels"},
      {padded, "document larger than 4194304 bytes"},
  };
  for (const Case& c : cases) {
    Status bounded = check_document_bounds(c.text);
    EXPECT_EQ(bounded.ok() ? "" : bounded.error(), c.error) << c.text.substr(0, 80);
  }

  answer("manifest.body", "{\"id\":\"ze-radio\",\"x\":" + deep + "}");
  answer("catalog.body", padded);
  ASSERT_TRUE(write_file(config_.catalog_path, "old").ok());
  UpdateMessage message = check();
  ASSERT_TRUE(std::holds_alternative<UpdateErrorMessage>(message));
  EXPECT_EQ(std::get<UpdateErrorMessage>(message).text,
            "Invalid remote channels format: document larger than 4194304 bytes");
  EXPECT_NE(log_.find("[OTA] Manifest refused: document nested deeper than 64 levels\n"),
            std::string::npos) << log_;
  EXPECT_EQ(*read_file(config_.catalog_path), "old");

  // Answers that never end (no length for curl to refuse) are cut off at the
  // limit while they arrive, and the manifest is not asked for again.
  answer("manifest.endless", "");
  answer("catalog.endless", "");
  ::unlink((dir_ / "calls").c_str());
  message = check();
  ASSERT_TRUE(std::holds_alternative<UpdateErrorMessage>(message));
  EXPECT_EQ(std::get<UpdateErrorMessage>(message).text,
            "Invalid remote channels format: document larger than 4194304 bytes");
  EXPECT_EQ(log_.find("Primary manifest failed"), std::string::npos) << log_;
  EXPECT_NE(log_.find("[OTA] Manifest refused: document larger than 4194304 bytes\n"),
            std::string::npos) << log_;
  EXPECT_NE(log_.find("[OTA] Catalog refused: document larger than 4194304 bytes\n"),
            std::string::npos) << log_;
  EXPECT_EQ(calls(), manifest_call + catalog_call);
  EXPECT_EQ(*read_file(config_.catalog_path), "old");
}

// The detached signature of `data` as publish-update writes it.
std::string sign(const std::string& data, const unsigned char* with) {
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size(), with);
  char text[sodium_base64_ENCODED_LEN(crypto_sign_BYTES, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(text, sizeof text, signature, sizeof signature,
                    sodium_base64_VARIANT_ORIGINAL);
  return std::string(text) + "\n";
}

// A build with a key stores only a catalog whose signature (at the catalog's
// URL + ".sig") is valid for exactly its bytes.
TEST_F(CheckerTest, KeyedBuildAcceptsOnlyACorrectlySignedCatalog) {
  ASSERT_GE(sodium_init(), 0);
  UpdateKey key, other;
  unsigned char secret[crypto_sign_SECRETKEYBYTES], other_secret[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(key.bytes.data(), secret);
  crypto_sign_keypair(other.bytes.data(), other_secret);
  config_.key = key;
  answer("manifest.body", manifest("1.0.0"));
  const std::string body = kCatalog;
  std::string flipped = body;
  flipped[10] ^= 0x01;
  std::string bad_signature = sign(body, secret);
  bad_signature[5] = bad_signature[5] == 'A' ? 'B' : 'A';
  struct Case {
    const char* what;
    std::string catalog;
    std::optional<std::string> signature;
    std::string error;  // empty: accepted
  } cases[] = {
      {"signed", body, sign(body, secret), ""},
      {"unsigned", body, std::nullopt,
       "Catalog refused: no signature at https://updates.test/channels.json.sig"},
      {"other key", body, sign(body, other_secret), "Catalog refused: signature does not match"},
      {"flipped catalog byte", flipped, sign(body, secret),
       "Catalog refused: signature does not match"},
      {"flipped signature byte", body, bad_signature, "Catalog refused: signature does not match"},
      {"not a signature", body, "<html>404</html>",
       "Catalog refused: signature is not the base64 of 64 bytes"},
      {"endless signature", body, "endless",
       "Catalog refused: signature at https://updates.test/channels.json.sig larger than 4096 "
       "bytes"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file(config_.catalog_path, "old").ok());
    answer("catalog.body", c.catalog);
    ::unlink((dir_ / "signature.body").c_str());
    ::unlink((dir_ / "signature.rc").c_str());
    ::unlink((dir_ / "signature.endless").c_str());
    if (c.signature == "endless") {
      answer("signature.endless", "");
    } else if (c.signature) {
      answer("signature.body", *c.signature);
    } else {
      answer("signature.rc", "22");
    }
    UpdateMessage message = check();
    if (c.error.empty()) {
      EXPECT_TRUE(std::holds_alternative<ChannelsUpdatedMessage>(message)) << c.what;
      EXPECT_EQ(*read_file(config_.catalog_path), body) << c.what;
    } else {
      ASSERT_TRUE(std::holds_alternative<UpdateErrorMessage>(message)) << c.what;
      EXPECT_EQ(std::get<UpdateErrorMessage>(message).text, c.error) << c.what;
      EXPECT_NE(log_.find("[OTA] " + c.error + "\n"), std::string::npos) << log_;
      EXPECT_EQ(*read_file(config_.catalog_path), "old") << c.what;
    }
  }
}

// A build with a key stores a rightly signed catalog only when its version
// is newer than the catalog it holds (the stored file's, else the built-in
// one's, 2026.09.28): an older one signed in its day is refused, an equal
// one leaves the file as it is. A build without a key stores what it gets.
TEST_F(CheckerTest, KeyedBuildRefusesAnOlderSignedCatalog) {
  ASSERT_GE(sodium_init(), 0);
  UpdateKey key;
  unsigned char secret[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(key.bytes.data(), secret);
  answer("manifest.body", manifest("1.0.0"));
  auto catalog = [](const std::string& version, const std::string& name) {
    return R"({"version":")" + version + R"(","categories":[{"id":"vov","name":"VOV"}],)"
           R"("channels":[{"id":"a","name":")" + name + R"(","category":"vov","streamUrl":"http://a"}]})";
  };
  const std::string stored = catalog("2026.12.01", "Stored");
  struct Case {
    std::optional<std::string> held;  // the file before the check; none: no file
    std::string offered;
    bool keyed;
    std::string error;   // empty: a catalog is sent
    bool written;        // the file now holds the offered catalog
    std::string line;    // logged
  } cases[] = {
      {stored, catalog("2025.01.01", "Old"), true,
       "Catalog refused: version 2025.01.01 is older than the stored catalog's 2026.12.01", false,
       "[OTA] Catalog refused: version 2025.01.01 is older than the stored catalog's 2026.12.01"},
      {stored, catalog("2026.12.1-rc1", "Candidate"), true,
       "Catalog refused: version 2026.12.1-rc1 is older than the stored catalog's 2026.12.01",
       false, ""},
      {stored, catalog("v2026.12.01.0", "Same"), true, "", false,
       "[OTA] Channels already up to date (version v2026.12.01.0)"},
      {stored, catalog("2026.12.02", "Newer"), true, "", true,
       "[OTA] Successfully updated channels.json (version 2026.12.02)"},
      {std::nullopt, catalog("2026.09.27", "Old"), true,
       "Catalog refused: version 2026.09.27 is older than the built-in catalog's 2026.09.28",
       false, ""},
      {"not a catalog", catalog("2026.09.29", "Newer"), true, "", true, ""},
      {stored, catalog("2026.x", "Odd"), true,
       "Catalog refused: version '2026.x' is not a version (numbers separated by dots, as 1.2.3, "
       "with an optional leading v and an optional pre-release after '-', as 1.3-rc1)", false, ""},
      {stored, catalog("2025.01.01", "Old"), false, "", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offered);
    ::unlink(config_.catalog_path.c_str());
    if (c.held) ASSERT_TRUE(write_file(config_.catalog_path, *c.held).ok());
    config_.key = c.keyed ? std::optional<UpdateKey>(key) : std::nullopt;
    answer("catalog.body", c.offered);
    answer("signature.body", sign(c.offered, secret));
    UpdateMessage message = check();
    if (c.error.empty()) {
      ASSERT_TRUE(std::holds_alternative<ChannelsUpdatedMessage>(message));
    } else {
      ASSERT_TRUE(std::holds_alternative<UpdateErrorMessage>(message));
      EXPECT_EQ(std::get<UpdateErrorMessage>(message).text, c.error);
    }
    Result<std::string> now = read_file(config_.catalog_path);
    if (c.written) {
      EXPECT_EQ(now.ok() ? *now : "", c.offered);
    } else {
      EXPECT_EQ(now.ok() ? std::optional(*now) : std::nullopt, c.held);
    }
    if (!c.line.empty()) EXPECT_NE(log_.find(c.line + "\n"), std::string::npos) << log_;
  }
}

}  // namespace
}  // namespace ze
