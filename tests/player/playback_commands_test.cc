#include "player/playback_commands.h"

#include <unistd.h>

#include <map>
#include <regex>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "player/audio_player.h"
#include "base/engine_contract.h"
#include "base/files.h"
#include "base/process.h"
#include "temp_dir.h"

namespace ze {
namespace {

TEST(PlaybackCommandsTest, DefaultShellLinesAreTheConsoleOnes) {
  EXPECT_EQ(bluetooth_mute_line(kSpeakerMuteFile),
            "echo 1 > /sys/class/speaker/mute 2>/dev/null; tinymix set 14 0 2>/dev/null; "
            "tinymix set 15 0 2>/dev/null || true");
  EXPECT_EQ(speaker_mute_line(kSpeakerMuteFile),
            "echo 1 > /sys/class/speaker/mute 2>/dev/null || true");
  EXPECT_EQ(settings_volume_line(17, "/mnt/UDISK/system.json"),
            "sed -i 's/\"vol\"[[:space:]]*:[[:space:]]*[0-9][0-9]*/\"vol\": 17/g' "
            "/mnt/UDISK/system.json 2>/dev/null || true");
}

// The console's own software reads the settings file: the rewrite changes
// numeric values only and never turns valid JSON into invalid JSON.
TEST(PlaybackCommandsTest, SettingsRewriteReplacesOnlyNumericVolumes) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\"vol\": 12, \"bgm\": 1}", "{\"vol\": 17, \"bgm\": 1}"},
      {"{\"vol\":3}", "{\"vol\": 17}"},
      {"{\"vol\" :\t 20,\n\"a\": {\"vol\": 0}}", "{\"vol\": 17,\n\"a\": {\"vol\": 17}}"},
      {"{\"vol\": \"12\"}", "{\"vol\": \"12\"}"},
      {"{\"vol\": -3}", "{\"vol\": -3}"},
      {"{\"vol\": null}", "{\"vol\": null}"},
      {"{\"vol\": [4]}", "{\"vol\": [4]}"},
  };
  testing::TempDir dir;
  for (auto [before, after] : cases) {
    ASSERT_TRUE(write_file(dir / "system.json", before).ok());
    ASSERT_TRUE(run_wait({"sh", "-c", settings_volume_line(17, dir / "system.json")},
                         Output::Discard).ok());
    EXPECT_EQ(read_file(dir / "system.json").value(), after) << before;
  }
}

TEST(PlaybackCommandsTest, PidTextAcceptsSignedDecimalsWithBlanksOnly) {
  EXPECT_EQ(parse_pid_text("  4242 \n"), 4242);
  EXPECT_EQ(parse_pid_text("+17"), 17);
  EXPECT_EQ(parse_pid_text("-2147483648"), INT32_MIN);
  for (const char* bad : {"", " \n", "+", "-", "12a", "1 2", "2147483648", "0x10", "\xff" "1"}) {
    EXPECT_EQ(parse_pid_text(bad), std::nullopt) << bad;
  }
}

TEST(PlaybackCommandsTest, RecordedPidsThatWouldReachThisProgramOrEveryoneAreRefused) {
  EXPECT_TRUE(usable_foreign_pid(4242));
  for (int64_t bad : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{-4242},
                      int64_t{::getpid()}, int64_t{::getpgrp()}, int64_t{1} << 31,
                      int64_t{4294967295}}) {
    EXPECT_FALSE(usable_foreign_pid(bad)) << bad;
  }
}

TEST(PlaybackCommandsTest, InitialVolumeComesFromTheFirstVolEntry) {
  EXPECT_EQ(initial_volume_from_settings("{\"vol\": 12}"), 60);
  EXPECT_EQ(initial_volume_from_settings("{\"vol\":0}"), 0);
  EXPECT_EQ(initial_volume_from_settings("{\"vol\" :\n\t 25, \"vol\": 3}"), 100);
  EXPECT_EQ(initial_volume_from_settings("{\"vol\":\u00a0\u3000" "7}"), 35);
  EXPECT_EQ(initial_volume_from_settings("{\"vol\": \"12\"}"), 80);
  EXPECT_EQ(initial_volume_from_settings("{\"vol\": 4294967296}"), 80);
  EXPECT_EQ(initial_volume_from_settings("{\"vol\" 5}"), 80);
  EXPECT_EQ(initial_volume_from_settings("{\"vol\": 5, \"x\": \"\xff\"}"), 80);

  testing::TempDir dir;
  EXPECT_EQ(load_initial_volume(dir / "missing.json"), 80);
  ASSERT_TRUE(write_file(dir / "system.json", "{\n  \"vol\": 12,\n  \"bgm\": 1\n}").ok());
  EXPECT_EQ(load_initial_volume(dir / "system.json"), 60);
}

// The stream script states the engine's exit statuses, the environment it
// takes its runtime files from and its user agent as the programs do.
TEST(StreamScriptContract, ScriptAgreesWithThePlayerAndTheEngine) {
  std::string script = read_file(ZE_STREAM_SCRIPT).value();
  using contract::EngineExit;
  const std::map<std::string, EngineExit> names = {
      {"ended", EngineExit::Ended},
      {"lost", EngineExit::Lost},
      {"unplayable", EngineExit::Unplayable},
      {"device_failed", EngineExit::DeviceFailed},
      {"output_closed", EngineExit::OutputClosed},
  };
  std::map<std::string, int> stated;
  const std::regex assignment(R"(\nexit_([a-z_]+)=([0-9]+))");
  for (auto it = std::sregex_iterator(script.begin(), script.end(), assignment); it != std::sregex_iterator(); ++it) {
    stated[(*it)[1]] = std::stoi((*it)[2]);
  }
  ASSERT_EQ(stated.size(), names.size());
  for (const auto& [name, exit] : names) EXPECT_EQ(stated[name], static_cast<int>(exit)) << name;
  // Every exit with a number other than a signal's is one of the named ones.
  EXPECT_FALSE(std::regex_search(script, std::regex(R"(exit [0-9](\s|$))"))) << "an unnamed exit status";

  EXPECT_NE(script.find(fmt::format("${{{}:-\"{}\"}}", contract::kUserAgentEnv, contract::kUserAgent)),
            std::string::npos);
  for (const char* name : {contract::kPidFileEnv, contract::kPlayingMarkerEnv, contract::kNowPlayingEnv,
                           contract::kBluetoothAddressEnv}) {
    EXPECT_NE(script.find(fmt::format("${{{}:-/tmp/", name)), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace ze
