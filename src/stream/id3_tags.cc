#include "stream/id3_tags.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "stream/title_text.h"

namespace ze::stream {
namespace {

uint32_t synchsafe(const uint8_t* p) {
  return (uint32_t{p[0]} << 21) | (uint32_t{p[1]} << 14) | (uint32_t{p[2]} << 7) | p[3];
}

uint32_t big_endian(const uint8_t* p, size_t n) {
  uint32_t value = 0;
  for (size_t i = 0; i < n; ++i) value = (value << 8) | p[i];
  return value;
}

// Undoes unsynchronisation: every 0xFF 0x00 pair loses its 0x00.
std::vector<uint8_t> resynchronised(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    out.push_back(bytes[i]);
    if (bytes[i] == 0xFF && i + 1 < bytes.size() && bytes[i + 1] == 0x00) ++i;
  }
  return out;
}

// Where the text that starts `bytes` ends in an encoding: the length of its
// content, and of the content with its terminator.
std::pair<size_t, size_t> text_extent(uint8_t encoding, std::span<const uint8_t> bytes) {
  if (encoding == 1 || encoding == 2) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      if (bytes[i] == 0 && bytes[i + 1] == 0) return {i, i + 2};
    }
    return {bytes.size() & ~size_t{1}, bytes.size()};
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == 0) return {i, i + 1};
  }
  return {bytes.size(), bytes.size()};
}

struct Frame {
  std::string_view id;
  std::span<const uint8_t> body;
};

bool is_frame_id_char(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// The frames of a tag body (after the header and any extended header), and
// in `end` where they end. In a 2.4 tag, the header's unsynchronisation flag
// says that every frame is unsynchronised, whatever the frame's own flag.
std::vector<Frame> frames_of(std::span<const uint8_t> body, int version, bool unsynchronised,
                             std::vector<std::vector<uint8_t>>& storage, size_t* end = nullptr) {
  std::vector<Frame> frames;
  const size_t id_size = version == 2 ? 3 : 4;
  const size_t header_size = version == 2 ? 6 : 10;
  size_t at = 0;
  while (at + header_size <= body.size()) {
    const uint8_t* header = body.data() + at;
    bool valid_id = true;
    for (size_t i = 0; i < id_size; ++i) valid_id = valid_id && is_frame_id_char(header[i]);
    if (!valid_id) break;  // padding, or damage
    size_t size = version == 2   ? big_endian(header + 3, 3)
                  : version == 4 ? synchsafe(header + 4)
                                 : big_endian(header + 4, 4);
    if (size > body.size() - at - header_size) {
      at = body.size();  // a frame cut short by the end runs to it
      break;
    }
    std::span<const uint8_t> content = body.subspan(at + header_size, size);
    std::string_view id(reinterpret_cast<const char*>(header), id_size);
    at += header_size + size;
    if (version == 4) {
      uint8_t format = header[9];
      if (format & 0x0C) continue;  // compressed or encrypted: not read
      if (format & 0x40) content = content.subspan(std::min<size_t>(1, content.size()));
      if (format & 0x01) content = content.subspan(std::min<size_t>(4, content.size()));
      if ((format & 0x02) || unsynchronised) {
        storage.push_back(resynchronised(content));
        content = storage.back();
      }
    } else if (version == 3 && (header[9] & 0xC0)) {
      continue;  // compressed or encrypted
    }
    frames.push_back({id, content});
  }
  if (end) *end = at;
  return frames;
}

// A tag's body without its extended header.
std::span<const uint8_t> without_extended_header(std::span<const uint8_t> body, int version,
                                                 uint8_t flags) {
  if (version < 3 || !(flags & 0x40) || body.size() < 4) return body;
  size_t extended = version == 4 ? synchsafe(body.data()) : big_endian(body.data(), 4) + 4;
  return body.subspan(std::min(extended, body.size()));
}

}  // namespace

std::optional<size_t> id3_tag_size(std::span<const uint8_t> header) {
  if (header.size() < kId3HeaderSize || std::memcmp(header.data(), "ID3", 3) != 0) return std::nullopt;
  if (header[3] == 0xFF || header[4] == 0xFF) return std::nullopt;
  for (size_t i = 6; i < 10; ++i) {
    if (header[i] & 0x80) return std::nullopt;
  }
  return kId3HeaderSize + synchsafe(header.data() + 6) + ((header[5] & 0x10) ? 10 : 0);
}

std::string decode_id3_text(uint8_t encoding, std::span<const uint8_t> bytes) {
  bytes = bytes.first(text_extent(encoding, bytes).first);
  std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  switch (encoding) {
    case 1:
      // With its byte-order mark, or big-endian without one.
      if (std::optional<std::string> marked = utf8_from_utf16(raw)) return *std::move(marked);
      return utf8_from_utf16_units(raw, true);
    case 2:
      return utf8_from_utf16_units(raw, true);
    default:
      // UTF-8 that is not valid is read as the undeclared bytes it is.
      return decode_undeclared(raw);
  }
}

size_t id3_frames_end(std::span<const uint8_t> tag) {
  if (!id3_tag_size(tag) || tag[3] < 2 || tag[3] > 4) return std::min(tag.size(), kId3HeaderSize);
  const int version = tag[3];
  std::span<const uint8_t> body = without_extended_header(tag.subspan(kId3HeaderSize), version, tag[5]);
  std::vector<std::vector<uint8_t>> storage;
  size_t end = 0;
  frames_of(body, version, false, storage, &end);
  while (end < body.size() && body[end] == 0) ++end;  // padding
  return tag.size() - body.size() + end;
}

Id3Titles read_id3_titles(std::span<const uint8_t> tag) {
  Id3Titles found;
  std::optional<size_t> size = id3_tag_size(tag);
  if (!size) return found;
  const int version = tag[3];
  if (version < 2 || version > 4) return found;
  const uint8_t flags = tag[5];
  std::span<const uint8_t> body = tag.subspan(kId3HeaderSize, std::min(*size, tag.size()) - kId3HeaderSize);
  if (flags & 0x10) body = body.first(body.size() >= 10 ? body.size() - 10 : 0);
  std::vector<std::vector<uint8_t>> storage;
  if (version < 4 && (flags & 0x80)) {
    storage.push_back(resynchronised(body));
    body = storage.back();
  }
  body = without_extended_header(body, version, flags);
  for (const Frame& frame : frames_of(body, version, version == 4 && (flags & 0x80), storage)) {
    if (frame.body.empty()) continue;
    const uint8_t encoding = frame.body[0];
    if (encoding > 3) continue;
    std::span<const uint8_t> text = frame.body.subspan(1);
    if (frame.id == "TIT2" || frame.id == "TT2") {
      found.title = decode_id3_text(encoding, text);
    } else if (frame.id == "TPE1" || frame.id == "TP1") {
      found.artist = decode_id3_text(encoding, text);
    } else if (frame.id == "TXXX" || frame.id == "TXX") {
      auto [length, with_end] = text_extent(encoding, text);
      std::string description = decode_id3_text(encoding, text.first(length));
      std::string value = decode_id3_text(encoding, text.subspan(with_end));
      if (equals_ascii_ci(description, "title") || equals_ascii_ci(description, "StreamTitle")) {
        if (!found.title) found.title = std::move(value);
      } else if (equals_ascii_ci(description, "artist")) {
        if (!found.artist) found.artist = std::move(value);
      }
    }
  }
  return found;
}

}  // namespace ze::stream
