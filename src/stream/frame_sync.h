// Recognises MP3 and ADTS (AAC) streams from their first frames, so that the
// decoder can open them at once instead of letting FFmpeg probe tens of
// kilobytes, which on a live stream means waiting seconds for them. Other
// formats (MPEG-TS, MP4, streams that begin with an ID3 tag) are left to
// FFmpeg's probing. Pure: bytes in, a verdict out.
#pragma once

#include <cstddef>
#include <string_view>

namespace ze::stream {

enum class FrameFormat {
  Unknown,  // not recognised: probe
  Mp3,      // MPEG audio layer III frames
  Adts,     // AAC in ADTS frames
};

struct FrameGuess {
  FrameFormat format = FrameFormat::Unknown;
  bool need_more = false;  // not decided yet: more bytes may tell
};

// A stream counts as MP3 or ADTS when, after at most kMaxJunkBytes of
// anything (a live stream joined in the middle of a frame), this many frames
// follow each other with the same format, rate and channels.
inline constexpr size_t kSyncFrames = 3;
inline constexpr size_t kMaxJunkBytes = 2048;

// `bytes` are the stream's first bytes so far.
FrameGuess guess_frame_format(std::string_view bytes);

}  // namespace ze::stream
