// Which title the listener is shown, and from which byte of the audio on.
// A title the stream says itself (an Icecast metadata block, an ID3 tag in
// an HLS segment) wins over the playlist's #EXTINF title for good; a title
// equal to the one shown is dropped; each is normalised, the station's own
// name is never taken for a title, and each goes into the queue at the byte
// of the audio it came with. Used by the source thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "stream/queue_writer.h"

namespace ze::stream {

class TitlePlacement {
 public:
  explicit TitlePlacement(QueueWriter& writer) : writer_(writer) {}

  // The stream's own name (icy-name), which is no title.
  void set_station(std::string name) { station_ = std::move(name); }
  // An Icecast metadata block that came after `offset` bytes of the current
  // stream's audio.
  void icy_block(const std::string& block, uint64_t offset);
  // An ID3 tag carried by the audio from `offset` on.
  void id3_tag(std::span<const uint8_t> tag, uint64_t offset);
  // A media playlist's title for the segment whose audio begins at `offset`.
  void playlist_title(const std::string& raw, uint64_t offset);

 private:
  void place(TitleChange change, uint64_t offset);

  QueueWriter& writer_;
  std::string station_;
  std::optional<TitleChange> last_;
  bool inband_ = false;  // the stream has said its titles itself
};

}  // namespace ze::stream
