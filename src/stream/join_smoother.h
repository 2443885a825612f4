// Smooths the joins between streams in the engine's output (a live stream
// connected again, a new playlist entry, a discontinuity or skipped HLS
// segments): the digital silence a decoder gives at a stream's start is
// dropped, and the old stream's last milliseconds fade out while the new
// one's first fade in, so that a join is neither a gap nor a click. It holds
// back the last few milliseconds of output for that. Pure PCM logic on
// interleaved 16-bit stereo frames; used by the decoder's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ze::stream {

class JoinSmoother {
 public:
  explicit JoinSmoother(int rate);

  // What follows belongs to a new stream.
  void begin_stream();
  // Takes `frames` frames; appends to `out` those ready for output.
  void feed(const int16_t* pcm, size_t frames, std::vector<int16_t>& out);
  // The end of all audio: appends what is held back.
  void end(std::vector<int16_t>& out);

 private:
  void join(std::vector<int16_t>& out);

  const size_t fade_frames_;    // a few milliseconds
  const size_t max_skipped_;    // silence dropped at a join at most
  std::vector<int16_t> tail_;   // the last frames given, held back
  bool joining_ = false;        // a new stream began and has given no sound yet
  size_t skipped_ = 0;          // silent frames dropped at this join
  size_t fade_in_left_ = 0;     // frames of the new stream still fading in
};

}  // namespace ze::stream
