// The JSON documents of the player and their typed records: the channel
// catalog, the update manifest, the background-playback state file, the
// favourites list and the stream engine's now-playing document. Parsing is strict: a missing required key, a repeated key,
// a value of the wrong type (null included) or text after the document makes
// the whole document invalid. Unknown keys are skipped. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace ze {

struct Category {
  std::string id;
  std::string name;
  std::string name_en;
};

struct Channel {
  std::string id;
  std::string name;
  std::string short_name;
  std::string frequency;
  std::string category;
  std::string color = "E11D48";
  std::string stream_url;
  std::string fallback_url;
  std::string description;
};

struct ChannelCatalog {
  std::string version;
  std::string updated_at;
  std::vector<Category> categories;
  std::vector<Channel> channels;
};

struct OtaManifest {
  std::string id;
  std::string version;
  std::string download_url;
  std::string channels_url;
  std::string summary;
};

// The record of a stream engine left running for background playback. The
// engine's process is named by its PID together with its start time (clock
// ticks after boot) and command name, so that a later process that got the
// same number is never taken for it. Records written before those two were
// kept lack them: such a record names no process for certain.
struct PersistedState {
  std::string station_id;
  std::string station_name;
  std::string stream_url;
  std::string frequency;
  uint32_t pid = 0;
  uint64_t started_at = 0;
  std::optional<uint64_t> process_start;
  std::optional<std::string> process_name;
};

// One title the stream has played.
struct PlayedTitle {
  std::string title;
  std::string artist;
  uint64_t started_at = 0;  // wall-clock seconds since 1970

  bool operator==(const PlayedTitle&) const = default;
};

// What the stream engine knows of what it plays, kept in its now-playing
// document. Every key of the document is optional.
struct NowPlaying {
  std::string title;  // empty: none known
  std::string artist;
  // Newest first, the current title first while it plays; at most
  // kNowPlayingHistory.
  std::vector<PlayedTitle> history;
  std::string station;            // the stream's own name (icy-name)
  std::string codec;              // "MP3", "AAC-LC", "HE-AAC", "HE-AAC v2"; empty: not known yet
  uint32_t bitrate = 0;           // bits per second; 0: not known
  bool bitrate_measured = false;  // measured from the audio, not announced
  uint32_t sample_rate = 0;       // of the stream, Hz
  uint32_t channels = 0;          // of the stream
  std::string carrier;            // "HLS", "ICY" or "HTTP"
  std::string output;             // "ALSA" or "WAV"
  std::string output_name;        // the card ("hw:0,0") or the file

  bool operator==(const NowPlaying&) const = default;
};
inline constexpr size_t kNowPlayingHistory = 10;

Result<ChannelCatalog> parse_catalog(std::string_view text);
Result<OtaManifest> parse_manifest(std::string_view text);
Result<PersistedState> parse_state(std::string_view text);
// A JSON array of strings, in document order (repeats kept).
Result<std::vector<std::string>> parse_favorites(std::string_view text);

// Entries of the history beyond kNowPlayingHistory are left out.
Result<NowPlaying> parse_now_playing(std::string_view text);

// Compact JSON with the keys in record order and no final newline; the
// process's start time and name follow `started_at` when they are known.
std::string write_state(const PersistedState& state);
std::string write_now_playing(const NowPlaying& now);
// "[]" when empty; otherwise one id per line indented by two spaces, no
// final newline.
std::string write_favorites(const std::vector<std::string>& ids);

// A JSON string literal with the escapes the written documents use.
std::string json_quote(std::string_view text);

}  // namespace ze
