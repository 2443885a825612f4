// WavWriter: an AudioSink that writes a RIFF/WAVE file (PCM, 16-bit
// little-endian stereo) at a path. The header's RIFF and data sizes are
// rewritten every half second of audio and at close, so a file cut short by
// a kill still plays up to the last update. Owns the file's descriptor.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/files.h"
#include "stream/audio_sink.h"

namespace ze::stream {

inline constexpr size_t kWavHeaderSize = 44;

// The 44-byte header of a 16-bit stereo PCM WAV file at `rate` Hz holding
// `data_bytes` bytes of samples.
std::array<uint8_t, kWavHeaderSize> wav_header(int rate, uint32_t data_bytes);

// The path "-" is standard output: a WAV stream for a pipe, whose header
// cannot be completed and so states the largest size.
class WavWriter : public AudioSink {
 public:
  explicit WavWriter(std::string path);
  ~WavWriter() override;  // closes the file like close(true)
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Creates or truncates the file and writes a header with empty sizes;
  // returns `rate` unchanged.
  Result<int> open(int rate) override;
  // Appends the frames. A failed write (a full disk) is an error naming the
  // file; the header then counts the whole frames that did reach the file.
  Status write(const int16_t* frames, size_t frame_count) override;
  void close(bool drain) override;

  const std::string& path() const { return path_; }
  // Bytes of samples written so far.
  uint64_t data_bytes() const { return data_bytes_; }

 private:
  Status update_header();

  std::string path_;
  UniqueFd fd_;
  int rate_ = 0;
  uint64_t data_bytes_ = 0;
  uint64_t header_bytes_ = 0;  // the data size the header states
  bool streaming_ = false;     // "-": standard output, written in order
};

}  // namespace ze::stream
