#include "stream/frame_sync.h"

#include <cstdint>
#include <optional>

namespace ze::stream {
namespace {

// What must stay the same from frame to frame, and the frame's length.
struct FrameHeader {
  uint32_t fixed = 0;
  size_t length = 0;
};

uint8_t at(std::string_view bytes, size_t i) { return static_cast<uint8_t>(bytes[i]); }

// MPEG audio layer III, versions 1, 2 and 2.5.
std::optional<FrameHeader> mp3_header(std::string_view bytes, size_t i) {
  static constexpr int kBitrates[2][15] = {
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},  // MPEG-1
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},     // MPEG-2 and 2.5
  };
  static constexpr int kRates[3] = {44100, 48000, 32000};
  uint8_t b1 = at(bytes, i + 1), b2 = at(bytes, i + 2);
  if (at(bytes, i) != 0xFF || (b1 & 0xE0) != 0xE0) return std::nullopt;
  int version = (b1 >> 3) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
  int layer = (b1 >> 1) & 3;    // 1: layer III
  int bitrate_index = b2 >> 4;
  int rate_index = (b2 >> 2) & 3;
  if (version == 1 || layer != 1 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3) {
    return std::nullopt;
  }
  bool mpeg1 = version == 3;
  int rate = kRates[rate_index] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  int bitrate = kBitrates[mpeg1 ? 0 : 1][bitrate_index] * 1000;
  size_t length = static_cast<size_t>((mpeg1 ? 144 : 72) * bitrate / rate + ((b2 >> 1) & 1));
  uint32_t fixed = (uint32_t{b1} << 8 | (b2 & 0x0C)) << 8 | (at(bytes, i + 3) & 0xC0);
  return FrameHeader{fixed, length};
}

std::optional<FrameHeader> adts_header(std::string_view bytes, size_t i) {
  uint8_t b1 = at(bytes, i + 1), b2 = at(bytes, i + 2), b3 = at(bytes, i + 3);
  if (at(bytes, i) != 0xFF || (b1 & 0xF6) != 0xF0) return std::nullopt;
  if (((b2 >> 2) & 0x0F) > 12) return std::nullopt;  // no such sampling rate
  size_t length = (size_t{b3} & 3) << 11 | size_t{at(bytes, i + 4)} << 3 | at(bytes, i + 5) >> 5;
  size_t header = (b1 & 1) ? 7 : 9;
  if (length < header) return std::nullopt;
  uint32_t fixed = uint32_t{b1} << 16 | uint32_t{b2} << 8 | (b3 & 0xC0);
  return FrameHeader{fixed, length};
}

enum class Chain { Yes, No, NeedMore };

// Whether kSyncFrames alike frames follow each other from `start`.
template <typename Parse>
Chain chain_at(std::string_view bytes, size_t start, size_t header_bytes, Parse parse) {
  size_t pos = start;
  std::optional<uint32_t> fixed;
  for (size_t n = 0; n < kSyncFrames; ++n) {
    if (pos + header_bytes > bytes.size()) return Chain::NeedMore;
    std::optional<FrameHeader> frame = parse(bytes, pos);
    if (!frame || (fixed && frame->fixed != *fixed)) return Chain::No;
    fixed = frame->fixed;
    pos += frame->length;
  }
  return Chain::Yes;
}

}  // namespace

FrameGuess guess_frame_format(std::string_view bytes) {
  // An ID3 tag may be long (pictures); MPEG-TS packets carry ADTS frames
  // inside them: both are FFmpeg's to recognise.
  if (bytes.size() < 3) return {FrameFormat::Unknown, true};
  if (bytes.starts_with("ID3")) return {};
  if (at(bytes, 0) == 0x47) {
    if (bytes.size() <= 188) return {FrameFormat::Unknown, true};
    if (at(bytes, 188) == 0x47) return {};
  }
  bool undecided = false;
  size_t last_start = std::min(bytes.size(), kMaxJunkBytes + 1);
  for (size_t start = 0; start < last_start; ++start) {
    if (at(bytes, start) != 0xFF) continue;
    Chain mp3 = chain_at(bytes, start, 4, mp3_header);
    if (mp3 == Chain::Yes) return {FrameFormat::Mp3, false};
    Chain adts = chain_at(bytes, start, 7, adts_header);
    if (adts == Chain::Yes) return {FrameFormat::Adts, false};
    if (mp3 == Chain::NeedMore || adts == Chain::NeedMore) undecided = true;
  }
  return {FrameFormat::Unknown, undecided || bytes.size() <= kMaxJunkBytes};
}

}  // namespace ze::stream
