#include "update/zip_reader.h"

#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <optional>
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

// The archive file as minizip's I/O layer sees it: positioned reads on the
// caller's descriptor.
struct ZipReader::Stream {
  int fd = -1;
  uint64_t position = 0;
  int error = 0;  // errno of the last failed read or seek
};

namespace {

using Stream = ZipReader::Stream;

voidpf ZCALLBACK stream_open(voidpf opaque, const void*, int) {
  auto* stream = static_cast<Stream*>(opaque);
  stream->position = 0;
  return stream;
}

uLong ZCALLBACK stream_read(voidpf, voidpf handle, void* buffer, uLong size) {
  auto* stream = static_cast<Stream*>(handle);
  uLong done = 0;
  while (done < size) {
    ssize_t got = ::pread(stream->fd, static_cast<char*>(buffer) + done, size - done,
                          static_cast<off_t>(stream->position));
    if (got < 0) {
      if (errno == EINTR) continue;
      stream->error = errno;
      break;
    }
    if (got == 0) break;
    done += static_cast<uLong>(got);
    stream->position += static_cast<uint64_t>(got);
  }
  return done;
}

uLong ZCALLBACK stream_write(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK stream_tell(voidpf, voidpf handle) {
  return static_cast<Stream*>(handle)->position;
}

long ZCALLBACK stream_seek(voidpf, voidpf handle, ZPOS64_T offset, int origin) {
  auto* stream = static_cast<Stream*>(handle);
  uint64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
    base = stream->position;
  } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
    struct stat st {};
    if (::fstat(stream->fd, &st) != 0) {
      stream->error = errno;
      return -1;
    }
    base = static_cast<uint64_t>(st.st_size);
  } else if (origin != ZLIB_FILEFUNC_SEEK_SET) {
    return -1;
  }
  stream->position = base + offset;
  return 0;
}

int ZCALLBACK stream_close(voidpf, voidpf) { return 0; }

int ZCALLBACK stream_error(voidpf, voidpf handle) {
  return static_cast<Stream*>(handle)->error != 0 ? 1 : 0;
}

// The end of the central directory, read the way minizip reads it: the last
// end record in the file's final 64 KiB, and the zip64 end record when a
// zip64 locator stands right before it.
struct DirectoryBounds {
  uint64_t entries = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
};

uint64_t little_endian(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

bool read_at(int fd, uint64_t offset, unsigned char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

std::optional<DirectoryBounds> read_directory_bounds(int fd) {
  constexpr size_t kEndRecord = 22;
  constexpr size_t kLocator = 20;
  constexpr size_t kZip64EndRecord = 56;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < kEndRecord) return std::nullopt;
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  const uint64_t tail_size = std::min<uint64_t>(file_size, 0xFFFF + kEndRecord + kLocator);
  std::vector<unsigned char> tail(tail_size);
  if (!read_at(fd, file_size - tail_size, tail.data(), tail.size())) return std::nullopt;
  for (size_t at = tail.size() - kEndRecord + 1; at-- > 0;) {
    const unsigned char* end = tail.data() + at;
    if (little_endian(end, 4) != 0x06054b50) continue;
    DirectoryBounds bounds{little_endian(end + 10, 2), little_endian(end + 16, 4),
                           little_endian(end + 12, 4)};
    if (at >= kLocator && little_endian(end - kLocator, 4) == 0x07064b50) {
      unsigned char record[kZip64EndRecord];
      if (!read_at(fd, little_endian(end - kLocator + 8, 8), record, sizeof record) ||
          little_endian(record, 4) != 0x06064b50) {
        return std::nullopt;
      }
      bounds = {little_endian(record + 32, 8), little_endian(record + 48, 8),
                little_endian(record + 40, 8)};
    }
    return bounds;
  }
  return std::nullopt;
}

// The zip64 extra field (id 1) holds, in this order, the 64-bit values of
// those of the uncompressed size, compressed size and local header offset
// that the directory marks with 0xFFFFFFFF. minizip 1.1 on 64-bit systems
// never applies it, so it is read here.
void apply_zip64_extra(std::string_view extra, ZipEntry& entry) {
  constexpr uint64_t kMarker = 0xFFFFFFFF;
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  size_t at = 0;
  while (at + 4 <= extra.size()) {
    uint64_t id = little_endian(p + at, 2);
    size_t length = static_cast<size_t>(little_endian(p + at + 2, 2));
    at += 4;
    if (at + length > extra.size()) return;
    if (id == 1) {
      size_t field = at;
      auto take = [&](uint64_t& value) {
        if (value != kMarker || field + 8 > at + length) return false;
        value = little_endian(p + field, 8);
        field += 8;
        return true;
      };
      take(entry.size);
      take(entry.compressed_size);
      uint64_t offset = kMarker;
      entry.offset_beyond_32_bits = take(offset);
      return;
    }
    at += length;
  }
}

constexpr uLong kUnixHost = 3;          // "version made by", high byte
constexpr uLong kFileTypeMask = 0170000;
constexpr uLong kSymlinkType = 0120000;

}  // namespace

std::string ZipReader::error_text(int code) {
  switch (code) {
    case UNZ_ERRNO: return "I/O error while reading the archive";
    case UNZ_PARAMERROR: return "invalid parameter";
    case UNZ_BADZIPFILE: return "invalid Zip archive or unsupported compression method";
    case UNZ_INTERNALERROR: return "internal error of the Zip reader";
    case UNZ_CRCERROR: return "checksum mismatch (CRC-32)";
    case Z_DATA_ERROR: return "corrupt compressed data";
    case Z_MEM_ERROR: return "out of memory";
    case Z_STREAM_ERROR: return "invalid compressed stream";
    case Z_BUF_ERROR: return "truncated compressed data";
    default: return "Zip error " + std::to_string(code);
  }
}

Result<std::unique_ptr<ZipReader>> ZipReader::open(int fd) {
  std::unique_ptr<ZipReader> reader(new ZipReader());
  reader->stream_ = std::make_unique<Stream>();
  reader->stream_->fd = fd;
  zlib_filefunc64_def functions{};
  functions.zopen64_file = stream_open;
  functions.zread_file = stream_read;
  functions.zwrite_file = stream_write;
  functions.ztell64_file = stream_tell;
  functions.zseek64_file = stream_seek;
  functions.zclose_file = stream_close;
  functions.zerror_file = stream_error;
  functions.opaque = reader->stream_.get();
  reader->handle_ = unzOpen2_64("archive", &functions);
  if (reader->handle_ == nullptr) {
    if (reader->stream_->error != 0) return Error{errno_text(reader->stream_->error)};
    return Error{"invalid Zip archive: no readable central directory"};
  }
  std::optional<DirectoryBounds> bounds = read_directory_bounds(fd);
  if (!bounds) return Error{"invalid Zip archive: no readable central directory"};
  reader->entry_count_ = bounds->entries;
  reader->directory_end_ = bounds->offset + bounds->size;
  return reader;
}

ZipReader::~ZipReader() {
  if (handle_ == nullptr) return;
  if (entry_open_) unzCloseCurrentFile(handle_);
  unzClose(handle_);
}

// The walk counts the entries itself: minizip cannot tell an archive of
// exactly 65,535 entries from an old zip64 writer's marker and reads past
// the last one. Once the count is reached, the directory must end where the
// end record says; entries beyond the count would otherwise go unnoticed.
Result<bool> ZipReader::go_to_first() {
  index_ = 0;
  if (entry_count_ == 0) {
    if (directory_end_ != 0 && unzGoToFirstFile(handle_) == UNZ_OK) {
      return Error{"the central directory holds entries its end record does not count"};
    }
    return false;
  }
  int rc = unzGoToFirstFile(handle_);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  return true;
}

Result<bool> ZipReader::go_to_next() {
  if (index_ + 1 >= entry_count_) {
    Status end = check_directory_end();
    if (!end) return Error{end.error()};
    return false;
  }
  int rc = unzGoToNextFile(handle_);
  if (rc == UNZ_END_OF_LIST_OF_FILE) {
    return Error{"the central directory holds fewer entries than its end record counts"};
  }
  if (rc != UNZ_OK) return Error{error_text(rc)};
  ++index_;
  return true;
}

Status ZipReader::check_directory_end() {
  unz_file_info64 info{};
  int rc = unzGetCurrentFileInfo64(handle_, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  constexpr uint64_t kHeaderSize = 46;  // central directory header without its names
  uint64_t end = unzGetOffset64(handle_) + kHeaderSize + info.size_filename +
                 info.size_file_extra + info.size_file_comment;
  if (end < directory_end_) {
    return Error{"the central directory holds more entries than its end record counts"};
  }
  if (end > directory_end_) return Error{"the central directory is larger than its end record says"};
  return ok_status();
}

Result<ZipEntry> ZipReader::current_entry() {
  unz_file_info64 info{};
  int rc = unzGetCurrentFileInfo64(handle_, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  std::string name(info.size_filename + 1, '\0');
  std::string extra(info.size_file_extra, '\0');
  rc = unzGetCurrentFileInfo64(handle_, &info, name.data(), name.size(), extra.data(),
                               extra.size(), nullptr, 0);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  name.resize(info.size_filename);

  ZipEntry entry;
  entry.is_directory = !name.empty() && (name.back() == '/' || name.back() == '\\');
  entry.name = std::move(name);
  entry.is_symlink = (info.version >> 8) == kUnixHost &&
                     ((info.external_fa >> 16) & kFileTypeMask) == kSymlinkType;
  entry.encrypted = (info.flag & 1) != 0;
  entry.method = static_cast<uint16_t>(info.compression_method);
  entry.size = info.uncompressed_size;
  entry.compressed_size = info.compressed_size;
  entry.crc = static_cast<uint32_t>(info.crc);
  apply_zip64_extra(extra, entry);
  return entry;
}

Status ZipReader::open_entry() {
  Result<ZipEntry> entry = current_entry();
  if (!entry) return Error{entry.error()};
  // Without a password minizip would hand out the encrypted bytes as data.
  if (entry->encrypted) return Error{"encrypted entries are not supported"};
  // minizip hands out the raw bytes of any method it cannot decompress
  // (bzip2 among them) whenever the sizes happen to agree.
  if (entry->method != 0 && entry->method != Z_DEFLATED) {
    return Error{"unsupported compression method " + std::to_string(entry->method) +
                 " (only stored and deflated entries can be read)"};
  }
  if (entry->offset_beyond_32_bits) return Error{"entries beyond 4 GiB are not supported"};
  int method = 0;
  int level = 0;
  int rc = unzOpenCurrentFile2(handle_, &method, &level, 1);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  entry_open_ = true;
  entry_ = std::move(entry).value();
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
  size_t want = static_cast<size_t>(std::min<uint64_t>(size, compressed_left_));
  size_t done = 0;
  while (done < want) {
    int got = unzReadCurrentFile(handle_, buffer + done, static_cast<unsigned>(want - done));
    if (got < 0) {
      if (got == UNZ_ERRNO && stream_->error != 0) return Error{errno_text(stream_->error)};
      return Error{error_text(got)};
    }
    if (got == 0) return Error{"entry data ends before its recorded size"};
    done += static_cast<size_t>(got);
  }
  compressed_left_ -= done;
  return done;
}

Result<size_t> ZipReader::read_entry(char* buffer, size_t size) {
  size_t produced = 0;
  if (!inflating_) {
    Result<size_t> got = read_raw(buffer, size);
    if (!got) return got;
    produced = *got;
  } else {
    z_stream& z = inflater_->stream;
    while (produced == 0 && !stream_end_) {
      if (z.avail_in == 0) {
        if (compressed_left_ == 0) return Error{error_text(Z_BUF_ERROR)};
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
        return Error{error_text(rc == Z_NEED_DICT ? Z_DATA_ERROR : rc)};
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
  entry_open_ = false;
  int rc = unzCloseCurrentFile(handle_);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  if (entry_read_ != entry_.size) return Error{"entry data ends before its recorded size"};
  if (entry_crc_ != entry_.crc) return Error{error_text(UNZ_CRCERROR)};
  return ok_status();
}

}  // namespace ze
