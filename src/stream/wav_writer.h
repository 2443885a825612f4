// WavWriter: an AudioSink that writes a RIFF/WAVE file (PCM, 16-bit
// little-endian stereo) at a path. In a regular file the header's RIFF and
// data sizes are rewritten every half second of audio and at close, so a
// file cut short by a kill still plays up to the last update. Anything else
// (a pipe, a FIFO, a terminal, /dev/stdout) gets a WAV stream written in
// order, whose header states the largest size. Owns the file's descriptor.
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

// The path "-" is standard output. Waits (for a FIFO's reader, for a full
// pipe to drain) end when `stop_fd` becomes readable.
class WavWriter : public AudioSink {
 public:
  explicit WavWriter(std::string path, int stop_fd = -1);
  ~WavWriter() override;  // closes the file like close(true)
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Creates or truncates the file (a FIFO: waits for its reader) and writes
  // a header with empty sizes; returns `rate` unchanged.
  Result<int> open(int rate) override;
  // Appends the frames. A failed write (a full disk) is an error naming the
  // file; the header then counts the whole frames that did reach the file.
  Status write(const int16_t* frames, size_t frame_count) override;
  void close(bool drain) override;
  bool output_closed() const override { return reader_gone_; }

  const std::string& path() const { return path_; }
  // Bytes of samples written so far.
  uint64_t data_bytes() const { return data_bytes_; }

 private:
  Status update_header();
  Result<UniqueFd> open_output();
  Status send(const uint8_t* data, size_t size);

  std::string path_;
  UniqueFd fd_;
  int rate_ = 0;
  uint64_t data_bytes_ = 0;
  uint64_t header_bytes_ = 0;  // the data size the header states
  bool streaming_ = false;     // not a regular file: written in order
  bool reader_gone_ = false;   // a pipe's reader closed its end
  int stop_fd_ = -1;
};

}  // namespace ze::stream
