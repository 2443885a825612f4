#include "stream/wav_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
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

// A pipe takes this much without blocking once poll says it is writable.
constexpr size_t kPipeChunk = 4096;
// How often a FIFO without a reader is tried again.
constexpr int kReaderPollMilliseconds = 50;

// Waits until `fd` may be written or `stop_fd` is readable; false on a stop.
bool wait_writable(int fd, int stop_fd) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
    int n = ::poll(fds, stop_fd >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (stop_fd >= 0 && (fds[1].revents & POLLIN)) return false;
    return true;
  }
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

WavWriter::WavWriter(std::string path, int stop_fd) : path_(std::move(path)), stop_fd_(stop_fd) {}

Result<UniqueFd> WavWriter::open_output() {
  if (path_ == "-") {
    UniqueFd fd(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    if (!fd.valid()) return Error{"standard output: " + errno_text(errno)};
    streaming_ = true;
    return fd;
  }
  // Without blocking: a FIFO that has no reader yet fails with ENXIO and is
  // tried again until one comes (or a stop).
  for (;;) {
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644));
    if (fd.valid()) {
      struct stat st {};
      if (::fstat(fd.get(), &st) != 0) return Error{path_ + ": " + errno_text(errno)};
      streaming_ = !S_ISREG(st.st_mode);
      if (!streaming_) {
        if (::ftruncate(fd.get(), 0) != 0) return Error{path_ + ": " + errno_text(errno)};
        int flags = ::fcntl(fd.get(), F_GETFL);
        if (flags >= 0) (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
      }
      return fd;
    }
    if (errno == EINTR) continue;
    if (errno != ENXIO) return Error{path_ + ": " + errno_text(errno)};
    pollfd stop{stop_fd_, POLLIN, 0};
    (void)::poll(&stop, stop_fd_ >= 0 ? 1 : 0, kReaderPollMilliseconds);
    if (stop_fd_ >= 0 && (stop.revents & POLLIN)) return Error{path_ + ": stopped while waiting for a reader"};
  }
}

// Writes in order to a pipe, FIFO or device: a piece at a time once it can
// be taken, so that a reader that stops reading never blocks a stop (base's
// write_all would wait in write() for as long as the reader does).
Status WavWriter::send(const uint8_t* data, size_t size) {
  while (size > 0) {
    if (!wait_writable(fd_.get(), stop_fd_)) return Error{path_ + ": stopped"};
    ssize_t n = ::write(fd_.get(), data, std::min(size, kPipeChunk));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == EPIPE) reader_gone_ = true;
      return Error{path_ + ": " + errno_text(errno)};
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return ok_status();
}

WavWriter::~WavWriter() { close(true); }

Result<int> WavWriter::open(int rate) {
  if (fd_.valid()) return Error{path_ + ": WAV file is already open"};
  if (rate <= 0) return Error{path_ + ": invalid sample rate " + std::to_string(rate)};
  Result<UniqueFd> fd = open_output();
  if (!fd) return Error{fd.error()};
  fd_ = std::move(*fd);
  // A stream's length is not known: its header says "as long as possible",
  // as WAV streams into a pipe usually do.
  auto header = wav_header(rate, streaming_ ? static_cast<uint32_t>(kMaxDataBytes) : 0);
  Status written = streaming_ ? send(header.data(), header.size())
                              : pwrite_all(fd_.get(), header.data(), header.size(), 0, path_);
  if (!written.ok()) {
    fd_.reset();
    return Error{written.error()};
  }
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
    Status sent = send(data, bytes);
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
