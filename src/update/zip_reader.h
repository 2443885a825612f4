// Reads a ZIP archive from an open descriptor with minizip: the entries in
// the archive's order, each entry's name and kind, and its decompressed data
// in pieces, with the CRC-32 checked at the end of every entry. The reader
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
  uint64_t size = 0;          // decompressed size as the directory states it
};

class ZipReader {
 public:
  // Reads the archive's central directory. `fd` stays owned by the caller
  // and must outlive the reader. The error is the library's text.
  static Result<std::unique_ptr<ZipReader>> open(int fd);
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Makes the first (or the next) entry current; false past the last one.
  Result<bool> go_to_first();
  Result<bool> go_to_next();
  Result<ZipEntry> current_entry();

  // Data of the current entry: open, read until 0 bytes come back, close.
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
  void* handle_ = nullptr;  // unzFile
  bool entry_open_ = false;
  uint64_t entry_size_ = 0;  // recorded size of the open entry
  uint64_t entry_read_ = 0;  // bytes handed out of it so far
};

}  // namespace ze
