// What is done to an HLS segment's bytes on their way to the decoder:
// AES-128-CBC decryption of whole segments (as #EXT-X-KEY METHOD=AES-128
// asks) and the removal of the ID3 tags that packed audio segments begin
// with. Both take the bytes in pieces as they arrive. Used by one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

struct AVAES;

namespace ze::stream {

class SegmentDecryptor {
 public:
  SegmentDecryptor(const std::array<uint8_t, 16>& key, const std::array<uint8_t, 16>& iv);
  ~SegmentDecryptor();

  bool ready() const { return aes_ != nullptr; }
  // Decrypts what it can of `data` and appends the plain bytes to `out`;
  // the last block is held back for its padding.
  void feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
  // Appends the last block without its PKCS#7 padding; false when the
  // segment is not whole blocks or its padding is wrong (a wrong key).
  bool end(std::vector<uint8_t>& out);

 private:
  void decrypt_blocks(size_t blocks, std::vector<uint8_t>& out);

  AVAES* aes_ = nullptr;
  std::array<uint8_t, 16> iv_;
  std::vector<uint8_t> pending_;
};

// Removes ID3v2 tags at the start of a segment: packed audio segments (ADTS
// or MP3 in HLS) begin with a timestamp tag that the audio demuxers would
// otherwise meet in the middle of their stream, often with the title. The
// tags removed are kept for reading (those up to 256 KB). A tag whose size
// runs past the end of its segment ends where its frames do, so that a wrong
// size never swallows the segment's audio.
class Id3Stripper {
 public:
  // Appends to `out` what follows the tags.
  void feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
  // A segment shorter than a tag header passes as it is; the audio after the
  // frames of a tag cut short by the segment's end is appended.
  void end(std::vector<uint8_t>& out);
  // The whole tags removed since the last call.
  std::vector<std::vector<uint8_t>> take_tags() { return std::exchange(tags_, {}); }

 private:
  void pass_head(std::vector<uint8_t>& out);

  std::vector<uint8_t> head_;
  uint64_t skip_ = 0;
  bool done_ = false;
  bool keeping_ = false;     // the tag being skipped is kept for reading
  std::vector<uint8_t> tag_;  // the tag being skipped, as far as it is held
  std::vector<std::vector<uint8_t>> tags_;
};

}  // namespace ze::stream
