// AudioSink: where the stream engine puts its decoded audio, 16-bit
// little-endian interleaved stereo. Implemented by the sound card (AlsaPcm,
// which writes it in the layout the card takes) and by a WAV file
// (WavWriter). A sink is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result.h"

namespace ze::stream {

class AudioSink {
 public:
  virtual ~AudioSink() = default;
  // Opens for 16-bit little-endian stereo at `rate` Hz (or the nearest rate
  // the device takes) and returns the rate used. Called once.
  virtual Result<int> open(int rate) = 0;
  // Writes `frame_count` interleaved stereo frames (2 samples each); blocks
  // until they are queued. A sound card's underrun is recovered here.
  virtual Status write(const int16_t* frames, size_t frame_count) = 0;
  // Ends output: a sound card plays what is queued for a short while (or
  // drops it when `drain` is false) and is closed; a WAV file gets its
  // header sizes filled in. Safe to call more than once and before open.
  virtual void close(bool drain) = 0;
  // After a failed write: the output's reader went away (a pipe whose
  // reader closed), which is no fault of a device.
  virtual bool output_closed() const { return false; }
  // What the output was set up as, for the log once it is open (a sound
  // card's format, channels and sizes); empty when there is nothing to say.
  virtual std::string description() const { return {}; }
};

}  // namespace ze::stream
