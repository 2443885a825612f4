#include "stream/wav_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>

#include "base/errors.h"
#include "base/files.h"

namespace ze::stream {
namespace {

static_assert(std::endian::native == std::endian::little,
              "samples are written in memory order, which must be little-endian");

constexpr int kChannels = 2;
constexpr int kBytesPerFrame = kChannels * 2;
// The largest data size whose RIFF size (data + 36) still fits in 32 bits,
// in whole frames.
constexpr uint64_t kMaxDataBytes = (0xFFFFFFFFull - 36) / kBytesPerFrame * kBytesPerFrame;

void put_u16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void put_u32(uint8_t* at, uint32_t value) {
  put_u16(at, value & 0xFFFF);
  put_u16(at + 2, value >> 16);
}

Status pwrite_all(int fd, const uint8_t* data, size_t size, off_t offset,
                  const std::string& path) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{path + ": " + errno_text(errno)};
    }
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return ok_status();
}

// base's write_all, with the file named in its error.
Status write_named(int fd, const uint8_t* data, size_t size, const std::string& path) {
  Status written = write_all(fd, std::string_view(reinterpret_cast<const char*>(data), size));
  if (!written.ok()) return Error{path + ": " + written.error()};
  return written;
}

}  // namespace

std::array<uint8_t, kWavHeaderSize> wav_header(int rate, uint32_t data_bytes) {
  std::array<uint8_t, kWavHeaderSize> h{};
  uint8_t* p = h.data();
  std::copy_n("RIFF", 4, p);
  put_u32(p + 4, data_bytes + 36);
  std::copy_n("WAVEfmt ", 8, p + 8);
  put_u32(p + 16, 16);                      // size of the format chunk
  put_u16(p + 20, 1);                       // PCM
  put_u16(p + 22, kChannels);
  put_u32(p + 24, static_cast<uint32_t>(rate));
  put_u32(p + 28, static_cast<uint32_t>(rate) * kBytesPerFrame);  // bytes per second
  put_u16(p + 32, kBytesPerFrame);          // block align
  put_u16(p + 34, 16);                      // bits per sample
  std::copy_n("data", 4, p + 36);
  put_u32(p + 40, data_bytes);
  return h;
}

WavWriter::WavWriter(std::string path) : path_(std::move(path)) {}

WavWriter::~WavWriter() { close(true); }

Result<int> WavWriter::open(int rate) {
  if (fd_.valid()) return Error{path_ + ": WAV file is already open"};
  if (rate <= 0) return Error{path_ + ": invalid sample rate " + std::to_string(rate)};
  streaming_ = path_ == "-";
  UniqueFd fd(streaming_ ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3)
                         : ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return Error{path_ + ": " + errno_text(errno)};
  // A stream's length is not known: its header says "as long as possible",
  // as WAV streams into a pipe usually do.
  auto header = wav_header(rate, streaming_ ? static_cast<uint32_t>(kMaxDataBytes) : 0);
  Status written = streaming_ ? write_named(fd.get(), header.data(), header.size(), path_)
                              : pwrite_all(fd.get(), header.data(), header.size(), 0, path_);
  if (!written.ok()) return Error{written.error()};
  fd_ = std::move(fd);
  rate_ = rate;
  data_bytes_ = 0;
  header_bytes_ = 0;
  return rate;
}

Status WavWriter::write(const int16_t* frames, size_t frame_count) {
  if (!fd_.valid()) return Error{path_ + ": WAV file is not open"};
  uint64_t bytes = uint64_t{frame_count} * kBytesPerFrame;
  if (data_bytes_ + bytes > kMaxDataBytes) {
    return Error{path_ + ": WAV file is full (a WAV file holds at most 4 GiB)"};
  }
  const auto* data = reinterpret_cast<const uint8_t*>(frames);
  if (streaming_) {
    Status sent = write_named(fd_.get(), data, bytes, path_);
    if (sent.ok()) data_bytes_ += bytes;
    return sent;
  }
  Status written = pwrite_all(fd_.get(), data, bytes, static_cast<off_t>(kWavHeaderSize + data_bytes_),
                              path_);
  if (!written.ok()) {
    // Whatever part did reach the file is counted in whole frames, so the
    // header stays true to the file.
    off_t end = ::lseek(fd_.get(), 0, SEEK_END);
    if (end > static_cast<off_t>(kWavHeaderSize)) {
      uint64_t present = static_cast<uint64_t>(end) - kWavHeaderSize;
      data_bytes_ = std::min(present, data_bytes_ + bytes) / kBytesPerFrame * kBytesPerFrame;
    }
    (void)update_header();
    return written;
  }
  data_bytes_ += bytes;
  // Half a second of audio between header updates keeps a killed writer's
  // file almost whole at the cost of one small write per half second.
  if (data_bytes_ - header_bytes_ >= static_cast<uint64_t>(rate_) * kBytesPerFrame / 2) {
    return update_header();
  }
  return ok_status();
}

Status WavWriter::update_header() {
  auto header = wav_header(rate_, static_cast<uint32_t>(data_bytes_));
  uint8_t riff_size[4];
  std::copy_n(header.data() + 4, 4, riff_size);
  Status status = pwrite_all(fd_.get(), riff_size, 4, 4, path_);
  if (status.ok()) status = pwrite_all(fd_.get(), header.data() + 40, 4, 40, path_);
  if (status.ok()) header_bytes_ = data_bytes_;
  return status;
}

void WavWriter::close(bool /*drain*/) {
  if (!fd_.valid()) return;
  if (!streaming_) (void)update_header();
  fd_.reset();
}

}  // namespace ze::stream
