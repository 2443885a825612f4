// The JSON documents of the player and their typed records: the channel
// catalog, the update manifest, the background-playback state file and the
// favourites list. Parsing is strict: a missing required key, a repeated key,
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

Result<ChannelCatalog> parse_catalog(std::string_view text);
Result<OtaManifest> parse_manifest(std::string_view text);
Result<PersistedState> parse_state(std::string_view text);
// A JSON array of strings, in document order (repeats kept).
Result<std::vector<std::string>> parse_favorites(std::string_view text);

// Compact JSON with the keys in record order and no final newline; the
// process's start time and name follow `started_at` when they are known.
std::string write_state(const PersistedState& state);
// "[]" when empty; otherwise one id per line indented by two spaces, no
// final newline.
std::string write_favorites(const std::vector<std::string>& ids);

// A JSON string literal with the escapes the written documents use.
std::string json_quote(std::string_view text);

}  // namespace ze
