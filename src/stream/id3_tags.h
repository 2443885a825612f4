// The song title and artist in an ID3v2 tag (versions 2.2 to 2.4): the
// TIT2 and TPE1 frames (TT2 and TP1 in 2.2), or TXXX frames described
// "title", "artist" or "StreamTitle". Each frame's text is decoded from the
// encoding it declares: ISO-8859-1, UTF-16 with a byte order mark, UTF-16BE
// or UTF-8. Pure functions; a damaged tag gives what could be read of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace ze::stream {

inline constexpr size_t kId3HeaderSize = 10;
// Larger tags are not kept for reading (they would carry pictures, not a
// title); their bytes are still taken out of the audio.
inline constexpr size_t kMaxKeptId3Bytes = 256 * 1024;

// The whole size of the tag whose 10-byte header starts `header` (its
// footer included), or nothing when it is no ID3v2 header.
std::optional<size_t> id3_tag_size(std::span<const uint8_t> header);

struct Id3Titles {
  std::optional<std::string> title;   // UTF-8, not yet normalised
  std::optional<std::string> artist;
};

// Where the frames of the tag that starts `tag` end, and the zero padding
// after them: the length its size field should have given. For a tag whose
// declared size runs past the bytes that follow it.
size_t id3_frames_end(std::span<const uint8_t> tag);

// Reads one whole tag, header first.
Id3Titles read_id3_titles(std::span<const uint8_t> tag);

// Text in an ID3 frame's encoding (0 ISO-8859-1, 1 UTF-16 with byte order
// mark, 2 UTF-16BE, 3 UTF-8) as UTF-8, up to its first terminator. Text
// declared ISO-8859-1 that is valid UTF-8 is taken as UTF-8 (a common
// tagger's fault), otherwise as Windows-1252.
std::string decode_id3_text(uint8_t encoding, std::span<const uint8_t> bytes);

}  // namespace ze::stream
