#include "player/playback_commands.h"

#include <unistd.h>

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "base/engine_contract.h"
#include "base/text.h"
#include "player/state_record.h"

namespace ze {
namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::vector<std::string> installed_mpv_arguments(
    const std::string& mpv_path, int volume,
    const std::optional<std::string>& bluetooth_address, const std::string& stream_url) {
  std::vector<std::string> argv = {
      mpv_path,
      "--no-video",
      "--really-quiet",
      "--cache=yes",
      "--demuxer-max-bytes=4096KiB",
      "--demuxer-readahead-secs=10",
      fmt::format("--volume={}", volume),
      std::string("--user-agent=") + contract::kUserAgent,
  };
  if (bluetooth_address) {
    argv.push_back("--ao=alsa");
    argv.push_back(bluetooth_address->empty()
                       ? std::string("--audio-device=alsa/bluealsa")
                       : "--audio-device=alsa/bluealsa:DEV=" + *bluetooth_address);
  }
  argv.push_back(stream_url);
  return argv;
}

std::vector<std::string> stream_script_environment(const std::string& pid_file,
                                                   const std::string& playing_marker,
                                                   const std::string& now_playing,
                                                   const std::string& bluetooth_address) {
  auto entry = [](const char* name, const std::string& value) { return std::string(name) + "=" + value; };
  return {entry(contract::kPidFileEnv, pid_file), entry(contract::kPlayingMarkerEnv, playing_marker),
          entry(contract::kNowPlayingEnv, now_playing), entry(contract::kBluetoothAddressEnv, bluetooth_address),
          entry(contract::kUserAgentEnv, contract::kUserAgent)};
}

std::string bluetooth_address_from_file_text(std::string_view text) {
  if (!is_valid_utf8(text)) return "";
  return std::string(trim_space(text));
}

std::string bluetooth_mute_line(const std::string& speaker_mute_file) {
  return fmt::format(
      "echo 1 > {} 2>/dev/null; tinymix set 14 0 2>/dev/null; tinymix set 15 0 2>/dev/null || true",
      shell_word(speaker_mute_file));
}

std::string speaker_mute_line(const std::string& speaker_mute_file) {
  return fmt::format("echo 1 > {} 2>/dev/null || true", shell_word(speaker_mute_file));
}

std::string settings_volume_line(int level, const std::string& settings_file) {
  // At least one digit: a value of any other kind ("12" quoted, -3, null) is
  // left as it is rather than getting the level put in front of it.
  return fmt::format(
      "sed -i 's/\"vol\"[[:space:]]*:[[:space:]]*[0-9][0-9]*/\"vol\": {}/g' {} 2>/dev/null || true",
      level, shell_word(settings_file));
}

std::string stream_state_text(const std::string& station_name, const std::string& stream_url,
                              const std::string& frequency, pid_t pid, uint64_t started_at,
                              const std::optional<ProcessIdentity>& identity) {
  PersistedState state;
  state.station_id = to_lower(station_name);
  state.station_name = station_name;
  state.stream_url = stream_url;
  state.frequency = frequency;
  state.pid = static_cast<uint32_t>(pid);
  state.started_at = started_at;
  if (identity) {
    state.process_start = identity->start_time;
    state.process_name = identity->name;
  }
  return write_state(state);
}

std::string playback_mark_text(const std::string& state_file, uint64_t folder_device) {
  return fmt::format("ZE_RADIO_PLAYBACK={}@{}", state_file, folder_device);
}

std::optional<int32_t> parse_pid_text(std::string_view text) {
  if (!is_valid_utf8(text)) return std::nullopt;
  std::string_view digits = trim_space(text);
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : digits) {
    if (!is_ascii_digit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(value);
}

bool usable_foreign_pid(int64_t pid) {
  if (pid <= 1 || pid > std::numeric_limits<pid_t>::max()) return false;
  return pid != ::getpid() && pid != ::getpgrp();
}

int volume_level(int volume) { return volume * 205 / 1024; }

int mixer_value(int level) { return (20 - level) * 38 / 20; }

int initial_volume_from_settings(std::string_view text) {
  if (!is_valid_utf8(text)) return kDefaultVolume;
  size_t key = text.find("\"vol\"");
  if (key == std::string_view::npos) return kDefaultVolume;
  size_t colon = text.find(':', key);
  if (colon == std::string_view::npos) return kDefaultVolume;
  size_t pos = colon + 1;
  while (pos < text.size()) {
    size_t next = pos;
    if (!is_unicode_space(decode_utf8(text, next))) break;
    pos = next;
  }
  uint64_t number = 0;
  size_t digits = 0;
  for (; pos < text.size() && is_ascii_digit(text[pos]); ++pos, ++digits) {
    number = number * 10 + static_cast<uint64_t>(text[pos] - '0');
    if (number > std::numeric_limits<uint32_t>::max()) return kDefaultVolume;
  }
  if (digits == 0) return kDefaultVolume;
  return static_cast<int>(std::min<uint64_t>(number, 20) * 5);
}

}  // namespace ze
