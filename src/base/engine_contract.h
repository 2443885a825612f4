// What the player, its stream script (bin/play_stream.sh) and the stream
// engine (ze-stream) agree on: the engine's exit statuses, the environment
// through which the player hands the script its runtime files, and the one
// User-Agent of every request made for a station. The script states the
// same numbers and names once, at its top; a test holds it to these.
#pragma once

namespace ze::contract {

// How ze-stream ends; the values are its exit statuses. A stop by signal N
// ends it with 128 + N instead.
enum class EngineExit : int {
  Ended = 0,         // the stream came to its end
  Lost = 1,          // network or stream lost: worth trying again
  Unplayable = 2,    // this address or format cannot be played: its fallback may be
  DeviceFailed = 3,  // the sound device failed
  OutputClosed = 4,  // the reader of the engine's output went away
};

inline constexpr char kUserAgent[] = "Mozilla/5.0 (Linux; Android 10; TrimUI)";

// The environment variables that tell the script where the runtime files
// are; without them it uses the console's fixed paths (base/paths.h).
inline constexpr char kPidFileEnv[] = "ZE_RADIO_STREAM_PID_FILE";
inline constexpr char kPlayingMarkerEnv[] = "ZE_RADIO_PLAYING_MARKER";
inline constexpr char kNowPlayingEnv[] = "ZE_RADIO_NOW_PLAYING";
inline constexpr char kBluetoothAddressEnv[] = "ZE_RADIO_BT_ADDR_FILE";
inline constexpr char kUserAgentEnv[] = "ZE_RADIO_USER_AGENT";

}  // namespace ze::contract
