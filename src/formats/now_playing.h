// The stream engine's now-playing document: what the engine knows of the
// stream it plays (titles with their history, the stream's name and format,
// where the sound goes). The engine writes it; the player reads it. Every
// key is optional when read. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace ze {

// One title the stream has played.
struct PlayedTitle {
  std::string title;
  std::string artist;
  uint64_t started_at = 0;  // wall-clock seconds since 1970

  bool operator==(const PlayedTitle&) const = default;
};

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

// Entries of the history beyond kNowPlayingHistory are left out.
Result<NowPlaying> parse_now_playing(std::string_view text);
// Compact JSON with every key, in the order above; no final newline.
std::string write_now_playing(const NowPlaying& now);

}  // namespace ze
