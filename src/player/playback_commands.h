// The data side of playback: argument vectors of the players, the fixed shell
// lines for the speaker mute and the settings file, the texts of the runtime
// files, and the reading of PIDs and of the console's volume setting. Pure
// functions; the AudioPlayer runs what they describe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/process.h"

namespace ze {

inline constexpr const char* kSpeakerMuteFile = "/sys/class/speaker/mute";
// The volume when the console's settings give none.
inline constexpr int kDefaultVolume = 80;

// Argument vector of an installed mpv at `mpv_path`. `bluetooth_address` is
// set (possibly empty) when audio goes to a Bluetooth device.
std::vector<std::string> installed_mpv_arguments(
    const std::string& mpv_path, int volume,
    const std::optional<std::string>& bluetooth_address, const std::string& stream_url);

// The environment entries ("NAME=value") that hand the stream script the
// runtime files it keeps (base/engine_contract.h) and the user agent of its
// requests, so that a player whose files lie elsewhere (a test) reaches the
// engine with them.
std::vector<std::string> stream_script_environment(const std::string& pid_file,
                                                   const std::string& playing_marker,
                                                   const std::string& now_playing,
                                                   const std::string& bluetooth_address);

// The Bluetooth address as read from its file: surrounding white space
// removed; unreadable text (not UTF-8) counts as empty.
std::string bluetooth_address_from_file_text(std::string_view text);

// Shell line run before an mpv start on Bluetooth: mutes the speaker and
// silences mixer controls 14 and 15.
std::string bluetooth_mute_line(const std::string& speaker_mute_file);
// Shell line run on a volume change while on Bluetooth.
std::string speaker_mute_line(const std::string& speaker_mute_file);
// Shell line that rewrites every numeric "vol" entry of the settings file to
// `level`; entries of any other value are left unchanged.
std::string settings_volume_line(int level, const std::string& settings_file);

// Compact state-file record of a started stream engine; `identity` is its
// process's start time and command name when they could be read.
std::string stream_state_text(const std::string& station_name, const std::string& stream_url,
                              const std::string& frequency, pid_t pid, uint64_t started_at,
                              const std::optional<ProcessIdentity>& identity);

// The text of the playback mark (see playback_mark in audio_player.h):
// "ZE_RADIO_PLAYBACK=" STATE_FILE "@" and the device number of the folder
// that holds it.
std::string playback_mark_text(const std::string& state_file, uint64_t folder_device);

// The number in a PID file: white space trimmed, a signed 32-bit decimal
// with an optional sign. Nothing when it is not such a number.
std::optional<int32_t> parse_pid_text(std::string_view text);

// Whether a PID read from a runtime file may be signalled: it must name one
// ordinary process, so 0, 1, negative values, values beyond pid_t and this
// program's own process and process group are refused (their signals would
// reach this program, every process, or an unrelated group).
bool usable_foreign_pid(int64_t pid);

// Volume (0 to 100) to the settings level (0 to 20), and level to the value
// of mixer control 3.
int volume_level(int volume);
int mixer_value(int level);

// Initial volume from the text of the console's settings file; 80 when it has
// no usable "vol" entry.
int initial_volume_from_settings(std::string_view text);

}  // namespace ze
