// Reads a ZIP archive from an open descriptor with minizip: the entries in
// the archive's order, each entry's name and kind, and its decompressed data
// in pieces, with the CRC-32 checked at the end of every entry. The central
// directory is walked exactly as far as the end record (zip64 or not) says:
// its entry count and its size must agree, or the archive is refused. The reader
// never opens a file of its own, so nothing it holds leaks into children.
// Owned and used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/result.h"

namespace ze {

struct ZipEntry {
  std::string name;        // as stored; may hold NUL characters
  bool is_directory = false;  // the name ends with "/" or "\"
  bool is_symlink = false;    // made on Unix with the file type of a link
  bool encrypted = false;
  uint16_t method = 0;        // compression method; only 0 and 8 can be read
  uint64_t size = 0;             // decompressed size as the directory states it
  uint64_t compressed_size = 0;  // zip64 extra field applied to both sizes
  uint32_t crc = 0;
  bool offset_beyond_32_bits = false;  // local header only a zip64 record can locate
};

struct Inflater;  // zlib's stream state; defined with the reader

class ZipReader {
 public:
  // Reads the archive's central directory. `fd` stays owned by the caller
  // and must outlive the reader. The error is the library's text.
  static Result<std::unique_ptr<ZipReader>> open(int fd);
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Makes the first (or the next) entry current; false past the last one,
  // an error when the directory does not end where its end record says.
  Result<bool> go_to_first();
  Result<bool> go_to_next();
  Result<ZipEntry> current_entry();

  // Data of the current entry: open, read until 0 bytes come back, close.
  // Entries other than stored or deflated cannot be opened.
  // Closing after the whole entry was read reports a checksum mismatch, or
  // data that ended before the entry's recorded size.
  Status open_entry();
  Result<size_t> read_entry(char* buffer, size_t size);
  Status close_entry();

  // The text for a minizip or zlib status code.
  static std::string error_text(int code);

  struct Stream;  // minizip's view of the descriptor; defined with the reader

 private:
  ZipReader() = default;
  std::unique_ptr<Stream> stream_;
  Status check_directory_end();

  void* handle_ = nullptr;  // unzFile
  uint64_t entry_count_ = 0;      // as the end record states
  uint64_t directory_end_ = 0;    // directory offset + size, as the end record states
  uint64_t index_ = 0;            // of the current entry
  Result<size_t> read_raw(char* buffer, size_t size);

  // The open entry. minizip hands out its raw bytes (it ignores the sizes of
  // a zip64 extra field); inflating and the CRC-32 are done here.
  bool entry_open_ = false;
  ZipEntry entry_;
  uint64_t compressed_left_ = 0;  // raw bytes of the entry not yet taken
  uint64_t entry_read_ = 0;       // decompressed bytes handed out so far
  uint32_t entry_crc_ = 0;
  bool inflating_ = false;
  bool stream_end_ = false;
  std::unique_ptr<Inflater> inflater_;
};

}  // namespace ze
