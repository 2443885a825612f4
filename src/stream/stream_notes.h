// What the engine learns of a stream beside its audio: the source thread's
// notes (a new title, how the stream is carried and what it calls itself),
// each travelling through the ByteQueue with the byte position of the audio
// it belongs to, and the decoder's facts of the audio itself. Plain records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ze::stream {

// What plays from here on; an empty title: nothing is announced now.
struct TitleChange {
  std::string title;   // normalised
  std::string artist;  // normalised, may be empty
  bool operator==(const TitleChange&) const = default;
};

// How the stream the source opened is carried, from its response headers
// and playlist.
struct SourceFacts {
  std::string carrier;         // "HLS", "ICY" or "HTTP"
  std::string station;         // icy-name, normalised
  std::string genre;           // icy-genre, normalised
  uint32_t bitrate = 0;        // announced (icy-br), bits per second; 0: none
};

struct StreamNote {
  std::optional<TitleChange> title;
  std::optional<SourceFacts> facts;
};

// The decoded audio's format, as the listener hears it.
struct AudioFacts {
  std::string codec;           // "MP3", "AAC-LC", "HE-AAC", "HE-AAC v2", or FFmpeg's name
  uint32_t sample_rate = 0;    // Hz
  uint32_t channels = 0;
  uint32_t bitrate = 0;        // bits per second; 0: not known yet
  bool bitrate_measured = false;
  bool operator==(const AudioFacts&) const = default;
};

}  // namespace ze::stream
