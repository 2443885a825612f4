// Where decoded audio goes: interleaved signed 16-bit little-endian stereo.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/result.h"

namespace ze::stream {

class AudioSink {
 public:
  virtual ~AudioSink() = default;
  // Opens for 16-bit stereo at `rate` Hz (or the nearest the device takes);
  // returns the rate used. Called once.
  virtual Result<int> open(int rate) = 0;
  // Writes interleaved stereo frames; blocks until they are queued.
  virtual Status write(const int16_t* frames, size_t frame_count) = 0;
  // Ends output: a device drains briefly (or drops when `drain` is false)
  // and closes; a file gets its header completed.
  virtual void close(bool drain) = 0;
};

}  // namespace ze::stream
