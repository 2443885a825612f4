// Audio served as one response: an endless live stream (Icecast, Shoutcast)
// or a file over HTTP. Icecast's metadata blocks are cut out of the audio
// and their titles placed where they came. A live connection that breaks is
// opened again at once and then every second or two until the stall limit
// (drop_out.h): what the server sent meanwhile is lost, but playback goes on
// as soon as the network allows, as a new stream. A file of known length
// goes on from the byte where it broke, through a range request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "stream/fetch.h"
#include "stream/icy_metadata.h"
#include "stream/source_context.h"

namespace ze::stream {

// The body of a response: the audio, with Icecast's metadata blocks taken
// out when the head announces them.
struct IcyBody {
  explicit IcyBody(const ResponseHead& head);

  // Takes body bytes as they came.
  void take(const uint8_t* data, size_t size);
  SourceFacts facts() const { return {icecast ? "ICY" : "HTTP", station, genre, bitrate}; }

  std::optional<IcyDeinterleaver> icy;
  std::vector<uint8_t> audio;
  // Metadata blocks with the number of audio bytes before them in `audio`.
  std::vector<std::pair<size_t, std::string>> placed;
  std::string station;
  std::string genre;
  uint32_t bitrate = 0;
  bool icecast = false;
  uint64_t received = 0;  // body bytes taken, metadata blocks included
};

// The metadata interval `head` announces when it cannot be read: its blocks
// cannot be taken out of the audio, so the stream must be asked for without.
std::optional<std::string> unreadable_metaint(const ResponseHead& head);

// Plays the response `first` of `url`, whose first bytes are in `body`
// (`complete`: the body has ended already). `titles`: the stream was asked
// for its metadata, and its new connections are too.
Finish play_live_stream(SourceContext& context, Fetch first, const std::string& url, IcyBody body,
                        bool complete, bool titles);

}  // namespace ze::stream
