#include "update/zip_reader.h"

#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "base/errors.h"

namespace ze {

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
  return reader;
}

ZipReader::~ZipReader() {
  if (handle_ == nullptr) return;
  if (entry_open_) unzCloseCurrentFile(handle_);
  unzClose(handle_);
}

Result<bool> ZipReader::go_to_first() {
  int rc = unzGoToFirstFile(handle_);
  if (rc == UNZ_END_OF_LIST_OF_FILE) return false;  // an empty archive
  if (rc != UNZ_OK) return Error{error_text(rc)};
  return true;
}

Result<bool> ZipReader::go_to_next() {
  int rc = unzGoToNextFile(handle_);
  if (rc == UNZ_END_OF_LIST_OF_FILE) return false;
  if (rc != UNZ_OK) return Error{error_text(rc)};
  return true;
}

Result<ZipEntry> ZipReader::current_entry() {
  unz_file_info64 info{};
  int rc = unzGetCurrentFileInfo64(handle_, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  std::string name(info.size_filename + 1, '\0');
  rc = unzGetCurrentFileInfo64(handle_, &info, name.data(), name.size(), nullptr, 0, nullptr, 0);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  name.resize(info.size_filename);

  ZipEntry entry;
  entry.is_directory = !name.empty() && (name.back() == '/' || name.back() == '\\');
  entry.name = std::move(name);
  entry.is_symlink = (info.version >> 8) == kUnixHost &&
                     ((info.external_fa >> 16) & kFileTypeMask) == kSymlinkType;
  entry.encrypted = (info.flag & 1) != 0;
  entry.size = info.uncompressed_size;
  return entry;
}

Status ZipReader::open_entry() {
  // Without a password minizip would hand out the encrypted bytes as data.
  Result<ZipEntry> entry = current_entry();
  if (!entry) return Error{entry.error()};
  if (entry->encrypted) return Error{"encrypted entries are not supported"};
  int rc = unzOpenCurrentFile(handle_);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  entry_open_ = true;
  entry_size_ = entry->size;
  entry_read_ = 0;
  return ok_status();
}

Result<size_t> ZipReader::read_entry(char* buffer, size_t size) {
  int got = unzReadCurrentFile(handle_, buffer, static_cast<unsigned>(size));
  if (got < 0) {
    if (got == UNZ_ERRNO && stream_->error != 0) return Error{errno_text(stream_->error)};
    return Error{error_text(got)};
  }
  entry_read_ += static_cast<uint64_t>(got);
  return static_cast<size_t>(got);
}

Status ZipReader::close_entry() {
  entry_open_ = false;
  int rc = unzCloseCurrentFile(handle_);
  if (rc != UNZ_OK) return Error{error_text(rc)};
  // minizip checks the CRC only when the data reached the recorded size.
  if (entry_read_ != entry_size_) return Error{"entry data ends before its recorded size"};
  return ok_status();
}

}  // namespace ze
