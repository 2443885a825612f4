// Icecast and Shoutcast metadata: a server asked with "Icy-MetaData: 1"
// that answers with an icy-metaint of N puts a metadata block after every N
// audio bytes: one length byte L, then 16 × L bytes of text such as
// "StreamTitle='Artist - Song';StreamUrl='';", padded with NUL bytes. The
// de-interleaver takes the body in pieces as they arrive and separates the
// two exactly, so that not one audio byte is lost or added. Used by one
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ze::stream {

// An icy-metaint header value: a whole number from 1 up (servers use 8192
// to 65536, but any interval is read the same way, without a buffer of its
// size). Nothing for anything else: such a server's blocks cannot be found,
// and it must be asked again without "Icy-MetaData: 1".
std::optional<size_t> parse_icy_metaint(std::string_view value);

class IcyDeinterleaver {
 public:
  explicit IcyDeinterleaver(size_t metaint) : metaint_(metaint), audio_left_(metaint) {}

  // Appends the audio bytes of `data` to `audio` and every metadata block
  // completed in it (without its padding) to `blocks`. A block of length 0
  // (no change) adds nothing.
  void feed(const uint8_t* data, size_t size, std::vector<uint8_t>& audio,
            std::vector<std::string>& blocks);

 private:
  enum class Part { Audio, Length, Block };

  const size_t metaint_;
  Part part_ = Part::Audio;
  size_t audio_left_;       // audio bytes before the next length byte
  size_t block_left_ = 0;   // metadata bytes still to come
  std::string block_;
};

// The raw bytes of StreamTitle='...'; in a metadata block: "" for an
// explicitly empty title, nothing when the block carries no StreamTitle.
std::optional<std::string> icy_stream_title(std::string_view block);

}  // namespace ze::stream
