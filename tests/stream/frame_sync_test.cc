#include "stream/frame_sync.h"

#include <gtest/gtest.h>

#include <string>

namespace ze::stream {
namespace {

// MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417-byte frames.
std::string mp3_frames(size_t count, char rate_bits = 0x00) {
  std::string frame("\xFF\xFB", 2);
  frame += static_cast<char>(0x90 | rate_bits);
  frame += '\x64';
  frame.resize(417, '\x55');
  std::string out;
  for (size_t i = 0; i < count; ++i) out += frame;
  return out;
}

// ADTS, AAC-LC 44.1 kHz stereo, 300-byte frames.
std::string adts_frames(size_t count) {
  const size_t length = 300;
  std::string frame = {'\xFF', '\xF1', '\x50', static_cast<char>(0x80 | (length >> 11)),
                       static_cast<char>((length >> 3) & 0xFF), static_cast<char>((length & 7) << 5 | 0x1F),
                       '\xFC'};
  frame.resize(length, '\x21');
  std::string out;
  for (size_t i = 0; i < count; ++i) out += frame;
  return out;
}

TEST(FrameSync, Mp3AndAdtsAreKnownFromTheirFirstFramesAndOthersAreLeftToProbing) {
  std::string ts(376, '\0');
  ts[0] = ts[188] = 0x47;
  struct Case {
    const char* name;
    std::string bytes;
    FrameFormat format;
    bool need_more;
  } cases[] = {
      {"MP3 from its first frame", mp3_frames(3), FrameFormat::Mp3, false},
      {"MP3 joined in the middle of a frame", mp3_frames(4).substr(300), FrameFormat::Mp3, false},
      {"ADTS", adts_frames(3), FrameFormat::Adts, false},
      {"two MP3 frames so far", mp3_frames(2), FrameFormat::Unknown, true},
      {"the first bytes", std::string("\xFF\xFB", 2), FrameFormat::Unknown, true},
      {"frames that change their rate", mp3_frames(1) + mp3_frames(1, 0x04) + mp3_frames(1),
       FrameFormat::Unknown, true},
      {"an ID3 tag first", "ID3\x04" + mp3_frames(3), FrameFormat::Unknown, false},
      {"MPEG-TS", ts + adts_frames(3), FrameFormat::Unknown, false},
      {"text", std::string(kMaxJunkBytes + 500, 'a'), FrameFormat::Unknown, false},
      {"junk beyond the limit", std::string(kMaxJunkBytes + 1, '\0') + mp3_frames(3), FrameFormat::Unknown,
       false},
  };
  for (const Case& c : cases) {
    FrameGuess guess = guess_frame_format(c.bytes);
    EXPECT_EQ(guess.format, c.format) << c.name;
    EXPECT_EQ(guess.need_more, c.need_more) << c.name;
  }
}

}  // namespace
}  // namespace ze::stream
