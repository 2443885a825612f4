#include "update/zip_reader.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "base/errors.h"

namespace ze {

struct Inflater {
  Inflater() {
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) std::abort();  // out of memory at start
  }
  ~Inflater() { inflateEnd(&stream); }
  void reset() {
    inflateReset(&stream);
    stream.avail_in = 0;
  }
  z_stream stream{};
  char input[8192];
};

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kDirectorySignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kLocatorSize = 20;
constexpr size_t kDirectoryHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr uint64_t kMarker = 0xFFFFFFFF;  // a 32-bit field whose value is in the zip64 extra field

constexpr uint64_t kUnixHost = 3;  // "version made by", high byte
constexpr uint64_t kFileTypeMask = 0170000;
constexpr uint64_t kSymlinkType = 0120000;

const char* const kNoDirectory = "invalid Zip archive: no readable central directory";

uint64_t little_endian(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

// Reads exactly `size` bytes at `offset`; `short_text` is the error when
// the file ends first.
Status read_at(int fd, uint64_t offset, void* out, size_t size,
               const char* short_text = "unexpected end of the archive file") {
  size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, static_cast<char*>(out) + done, size - done,
                          static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Error{errno_text(errno)};
    if (got == 0) return Error{short_text};
    done += static_cast<size_t>(got);
  }
  return ok_status();
}

bool signature_at(int fd, uint64_t offset, uint32_t signature) {
  unsigned char bytes[4];
  return read_at(fd, offset, bytes, sizeof bytes) && little_endian(bytes, 4) == signature;
}

// What the records at the end of the archive say about its directory.
struct DirectoryEnd {
  uint64_t entries = 0;
  uint64_t offset = 0;  // of the directory, not counting bytes before the archive
  uint64_t size = 0;
  uint64_t record = 0;  // file position of the record right after the directory
};

// The last end record in the file's final 64 KiB and, when a zip64 locator
// stands right before it, the zip64 end record. That record is looked for
// right before the locator first, where it is unless the archive has bytes
// before it, then where the locator says; when it is in neither place the
// 32-bit values stand, as other readers take them.
std::optional<DirectoryEnd> find_directory_end(int fd, uint64_t file_size) {
  if (file_size < kEndSize) return std::nullopt;
  const uint64_t tail_size = std::min<uint64_t>(file_size, 0xFFFF + kEndSize);
  std::vector<unsigned char> tail(tail_size);
  if (!read_at(fd, file_size - tail_size, tail.data(), tail.size())) return std::nullopt;
  for (size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
    const unsigned char* end = tail.data() + at;
    if (little_endian(end, 4) != kEndSignature) continue;
    const uint64_t end_position = file_size - tail_size + at;
    DirectoryEnd found{little_endian(end + 10, 2), little_endian(end + 16, 4),
                       little_endian(end + 12, 4), end_position};
    unsigned char locator[kLocatorSize];
    if (end_position < kLocatorSize ||
        !read_at(fd, end_position - kLocatorSize, locator, sizeof locator) ||
        little_endian(locator, 4) != kZip64LocatorSignature) {
      return found;
    }
    std::optional<uint64_t> record;
    const uint64_t locator_position = end_position - kLocatorSize;
    const uint64_t stated = little_endian(locator + 8, 8);
    if (locator_position >= kZip64EndSize &&
        signature_at(fd, locator_position - kZip64EndSize, kZip64EndSignature)) {
      record = locator_position - kZip64EndSize;
    } else if (stated < locator_position && signature_at(fd, stated, kZip64EndSignature)) {
      record = stated;
    }
    unsigned char zip64[kZip64EndSize];
    if (!record || !read_at(fd, *record, zip64, sizeof zip64)) return found;
    return DirectoryEnd{little_endian(zip64 + 32, 8), little_endian(zip64 + 48, 8),
                        little_endian(zip64 + 40, 8), *record};
  }
  return std::nullopt;
}

// The zip64 extra field (id 1) holds, in this order, the 64-bit values of
// those of the size, the compressed size and the local header offset that
// the directory entry marks with 0xFFFFFFFF, and only of those: a value for
// an unmarked field (Go's writer adds the offset) is ignored. A marked
// compressed size or offset without its value leaves the entry unreadable;
// a marked size without one is taken as it stands, as an old writer may
// have meant it.
Status apply_zip64_extra(std::string_view extra, uint64_t& size, uint64_t& compressed,
                         uint64_t& offset) {
  const bool need_compressed = compressed == kMarker;
  const bool need_offset = offset == kMarker;
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint64_t id = little_endian(p + at, 2);
    const size_t length = static_cast<size_t>(little_endian(p + at + 2, 2));
    at += 4;
    if (at + length > extra.size()) break;
    if (id == 1) {
      size_t field = at;
      auto take = [&](uint64_t& value) {
        if (value != kMarker || field + 8 > at + length) return;
        value = little_endian(p + field, 8);
        field += 8;
      };
      take(size);
      take(compressed);
      take(offset);
      break;
    }
    at += length;
  }
  if (need_compressed && compressed == kMarker) {
    return Error{"invalid Zip archive: an entry's compressed size is missing from its zip64 field"};
  }
  if (need_offset && offset == kMarker) {
    return Error{"invalid Zip archive: an entry's offset is missing from its zip64 field"};
  }
  return ok_status();
}

std::string zlib_error_text(int code) {
  switch (code) {
    case Z_DATA_ERROR: return "corrupt compressed data";
    case Z_MEM_ERROR: return "out of memory";
    case Z_STREAM_ERROR: return "invalid compressed stream";
    case Z_BUF_ERROR: return "truncated compressed data";
    default: return "zlib error " + std::to_string(code);
  }
}

}  // namespace

Result<std::unique_ptr<ZipReader>> ZipReader::open(int fd) {
  std::unique_ptr<ZipReader> reader(new ZipReader(fd));
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Error{errno_text(errno)};
  reader->file_size_ = static_cast<uint64_t>(st.st_size);
  std::optional<DirectoryEnd> end = find_directory_end(fd, reader->file_size_);
  // The directory ends right before the record that follows it; whatever
  // its offset leaves unexplained lies before the archive.
  if (!end || end->size > end->record || end->offset > end->record - end->size) {
    return Error{kNoDirectory};
  }
  reader->base_ = end->record - end->size - end->offset;
  reader->entry_count_ = end->entries;
  reader->directory_start_ = end->record - end->size;
  reader->directory_end_ = end->record;
  return reader;
}

ZipReader::ZipReader(int fd) : fd_(fd) {}

ZipReader::~ZipReader() = default;

// The walk counts the entries itself and reads each directory entry only
// within the directory's stated bounds. Once the count is reached, the
// directory must end where the end record says; entries beyond the count
// would otherwise go unnoticed.
Result<bool> ZipReader::go_to_first() {
  entry_open_ = false;
  index_ = 0;
  next_header_ = directory_start_;
  if (entry_count_ == 0) {
    if (directory_end_ != directory_start_) {
      return Error{"the central directory holds entries its end record does not count"};
    }
    return false;
  }
  return read_directory_entry();
}

Result<bool> ZipReader::go_to_next() {
  entry_open_ = false;
  if (index_ + 1 >= entry_count_) {
    if (next_header_ < directory_end_) {
      return Error{"the central directory holds more entries than its end record counts"};
    }
    return false;
  }
  ++index_;
  return read_directory_entry();
}

Result<bool> ZipReader::read_directory_entry() {
  if (next_header_ == directory_end_) {
    return Error{"the central directory holds fewer entries than its end record counts"};
  }
  const char* const kTooLarge = "the central directory is larger than its end record says";
  unsigned char header[kDirectoryHeaderSize];
  if (directory_end_ - next_header_ < kDirectoryHeaderSize) return Error{kTooLarge};
  Status read = read_at(fd_, next_header_, header, sizeof header);
  if (!read) return Error{read.error()};
  if (little_endian(header, 4) != kDirectorySignature) {
    return Error{"invalid Zip archive: damaged central directory entry"};
  }
  const size_t name_size = little_endian(header + 28, 2);
  const size_t extra_size = little_endian(header + 30, 2);
  const size_t comment_size = little_endian(header + 32, 2);
  const uint64_t total = kDirectoryHeaderSize + name_size + extra_size + comment_size;
  if (directory_end_ - next_header_ < total) return Error{kTooLarge};
  std::string name_and_extra(name_size + extra_size, '\0');
  read = read_at(fd_, next_header_ + kDirectoryHeaderSize, name_and_extra.data(),
                 name_and_extra.size());
  if (!read) return Error{read.error()};

  ZipEntry entry;
  entry.name = name_and_extra.substr(0, name_size);
  entry.is_directory =
      !entry.name.empty() && (entry.name.back() == '/' || entry.name.back() == '\\');
  const uint64_t made_by = little_endian(header + 4, 2);
  const uint64_t attributes = little_endian(header + 38, 4);
  entry.is_symlink =
      (made_by >> 8) == kUnixHost && ((attributes >> 16) & kFileTypeMask) == kSymlinkType;
  entry.encrypted = (little_endian(header + 8, 2) & 1) != 0;
  entry.method = static_cast<uint16_t>(little_endian(header + 10, 2));
  entry.crc = static_cast<uint32_t>(little_endian(header + 16, 4));
  entry.compressed_size = little_endian(header + 20, 4);
  entry.size = little_endian(header + 24, 4);
  uint64_t offset = little_endian(header + 42, 4);
  Status zip64 = apply_zip64_extra(std::string_view(name_and_extra).substr(name_size),
                                   entry.size, entry.compressed_size, offset);
  if (!zip64) return Error{zip64.error()};
  entry_ = std::move(entry);
  // Past the end of the file (or of the number range) it is found unreadable
  // when the entry is opened.
  local_header_ = offset > file_size_ ? file_size_ : base_ + offset;
  next_header_ += total;
  return true;
}

Result<ZipEntry> ZipReader::current_entry() { return entry_; }

Status ZipReader::open_entry() {
  // Without a password the data would be the encrypted bytes.
  if (entry_.encrypted) return Error{"encrypted entries are not supported"};
  if (entry_.method != 0 && entry_.method != Z_DEFLATED) {
    return Error{"unsupported compression method " + std::to_string(entry_.method) +
                 " (only stored and deflated entries can be read)"};
  }
  // Only the lengths of the local header's name and extra field are used:
  // its sizes may be zip64 markers, zero (data descriptors) or anything else.
  unsigned char header[kLocalHeaderSize];
  if (local_header_ > file_size_ || file_size_ - local_header_ < kLocalHeaderSize ||
      !read_at(fd_, local_header_, header, sizeof header) ||
      little_endian(header, 4) != kLocalSignature) {
    return Error{"invalid Zip archive: no local header where the directory says"};
  }
  entry_open_ = true;
  raw_position_ = local_header_ + kLocalHeaderSize + little_endian(header + 26, 2) +
                  little_endian(header + 28, 2);
  compressed_left_ = entry_.compressed_size;
  entry_read_ = 0;
  entry_crc_ = static_cast<uint32_t>(crc32(0, nullptr, 0));
  inflating_ = entry_.method == Z_DEFLATED;
  stream_end_ = false;
  if (inflating_) {
    if (!inflater_) inflater_ = std::make_unique<Inflater>();
    inflater_->reset();
  }
  return ok_status();
}

// Up to `size` raw bytes of the open entry, never past its compressed size.
Result<size_t> ZipReader::read_raw(char* buffer, size_t size) {
  const size_t want = static_cast<size_t>(std::min<uint64_t>(size, compressed_left_));
  Status read = read_at(fd_, raw_position_, buffer, want, "entry data ends before its recorded size");
  if (!read) return Error{read.error()};
  raw_position_ += want;
  compressed_left_ -= want;
  return want;
}

Result<size_t> ZipReader::read_entry(char* buffer, size_t size) {
  if (!entry_open_) return Error{"no entry is open"};
  size_t produced = 0;
  if (!inflating_) {
    Result<size_t> got = read_raw(buffer, size);
    if (!got) return got;
    produced = *got;
  } else {
    z_stream& z = inflater_->stream;
    while (produced == 0 && !stream_end_) {
      if (z.avail_in == 0) {
        if (compressed_left_ == 0) return Error{zlib_error_text(Z_BUF_ERROR)};
        Result<size_t> got = read_raw(inflater_->input, sizeof inflater_->input);
        if (!got) return got;
        z.next_in = reinterpret_cast<Bytef*>(inflater_->input);
        z.avail_in = static_cast<uInt>(*got);
      }
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = static_cast<uInt>(std::min<size_t>(size, UINT32_MAX));
      int rc = inflate(&z, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        stream_end_ = true;
      } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        return Error{zlib_error_text(rc == Z_NEED_DICT ? Z_DATA_ERROR : rc)};
      }
      produced = size - z.avail_out;
    }
  }
  entry_read_ += produced;
  if (entry_read_ > entry_.size) return Error{"entry data is longer than its recorded size"};
  entry_crc_ = static_cast<uint32_t>(
      crc32(entry_crc_, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(produced)));
  return produced;
}

Status ZipReader::close_entry() {
  if (!entry_open_) return Error{"no entry is open"};
  entry_open_ = false;
  if (entry_read_ != entry_.size) return Error{"entry data ends before its recorded size"};
  if (entry_crc_ != entry_.crc) return Error{"checksum mismatch (CRC-32)"};
  return ok_status();
}

}  // namespace ze
