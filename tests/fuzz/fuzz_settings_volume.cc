// The readers of console and runtime files in the player: the volume from
// the settings file is always a level step of 0 to 100 (80 without a "vol"
// entry), and the mixer values derived from it stay in their ranges; a PID
// read back is a number that reads the same when written out; a Bluetooth
// address is the UTF-8 text trimmed.
#include <string>

#include "base/text.h"
#include "fuzz_check.h"
#include "player/playback_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = ze::fuzz::as_text(data, size);

  int volume = ze::initial_volume_from_settings(text);
  FUZZ_CHECK(volume >= 0 && volume <= 100, "the settings volume is within 0..100");
  FUZZ_CHECK(volume % 5 == 0, "the settings volume is a whole level (5 per level)");
  if (text.find("\"vol\"") == std::string_view::npos) {
    FUZZ_CHECK(volume == ze::kDefaultVolume, "without a \"vol\" entry the volume is the default");
  }
  int level = ze::volume_level(volume);
  FUZZ_CHECK(level >= 0 && level <= 20, "the settings level is within 0..20");
  FUZZ_CHECK(volume == ze::kDefaultVolume || level * 5 == volume,
             "a level read from the settings maps back to itself");
  int mixer = ze::mixer_value(level);
  FUZZ_CHECK(mixer >= 0 && mixer <= 38, "the mixer value is within 0..38");

  std::optional<int32_t> pid = ze::parse_pid_text(text);
  if (pid) {
    std::string written = std::to_string(*pid);
    FUZZ_CHECK(ze::parse_pid_text(written) == pid, "a PID written out reads back");
    FUZZ_CHECK(ze::parse_pid_text(" \t" + written + "\n") == pid,
               "white space around a PID is accepted");
    if (*pid >= 0) FUZZ_CHECK(ze::parse_pid_text("+" + written) == pid, "a plus sign is accepted");
    FUZZ_CHECK(ze::is_valid_utf8(text), "a PID text is UTF-8");
  }

  std::string address = ze::bluetooth_address_from_file_text(text);
  FUZZ_CHECK(ze::is_valid_utf8(address), "a Bluetooth address is UTF-8");
  FUZZ_CHECK(ze::trim_space(address) == address, "a Bluetooth address has no surrounding space");
  FUZZ_CHECK(address.empty() || text.find(address) != std::string_view::npos,
             "a Bluetooth address is part of its file");
  return 0;
}
