// The record of a stream engine left running for background playback, kept
// in the state file between runs of the player. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace ze {

// The engine's process is named by its PID together with its start time
// (clock ticks after boot) and command name, so that a later process that
// got the same number is never taken for it. Records written before those
// two were kept lack them: such a record names no process for certain.
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

// Strict: a missing key, a repeated key or a value of the wrong type makes
// the whole record invalid; unknown keys are skipped.
Result<PersistedState> parse_state(std::string_view text);
// Compact JSON with the keys in record order and no final newline; the
// process's start time and name follow `started_at` when they are known.
std::string write_state(const PersistedState& state);

}  // namespace ze
