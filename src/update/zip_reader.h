// Reads a ZIP archive from an open descriptor: the entries in the archive's
// order, each entry's name and kind, and its decompressed data in pieces
// (zlib inflates), with the CRC-32 checked at the end of every entry. Every
// size and offset comes from the central directory, with its zip64 values
// applied; a local header is read only to find where the entry's data
// begins. The directory is walked exactly as far as the end record (zip64
// or not) says: its entry count and its size must agree, or the archive is
// refused. Bytes before the archive (a stub) are allowed. The reader never
// opens a file of its own, so nothing it holds leaks into children.
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
  uint64_t compressed_size = 0;  // zip64 values applied to both sizes
  uint32_t crc = 0;
};

struct Inflater;  // zlib's stream state; defined with the reader

class ZipReader {
 public:
  // Reads the end of the archive's central directory. `fd` stays owned by
  // the caller and must outlive the reader.
  static Result<std::unique_ptr<ZipReader>> open(int fd);
  ~ZipReader();
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Makes the first (or the next) entry current; false past the last one,
  // an error for a damaged directory entry or a directory that does not end
  // where its end record says.
  Result<bool> go_to_first();
  Result<bool> go_to_next();
  Result<ZipEntry> current_entry();

  // Data of the current entry: open, read until 0 bytes come back, close.
  // Entries other than stored or deflated, and encrypted ones, cannot be
  // opened. Reading never goes past the entry's stated size; closing after
  // the whole entry was read reports a checksum mismatch, or data that
  // ended before the entry's stated size.
  Status open_entry();
  Result<size_t> read_entry(char* buffer, size_t size);
  Status close_entry();

 private:
  explicit ZipReader(int fd);
  Result<bool> read_directory_entry();  // the one at next_header_
  Result<size_t> read_raw(char* buffer, size_t size);

  int fd_;
  uint64_t file_size_ = 0;
  uint64_t base_ = 0;             // bytes before the archive; offsets do not count them
  uint64_t entry_count_ = 0;      // as the end record states
  uint64_t directory_start_ = 0;  // file positions of the directory's bounds
  uint64_t directory_end_ = 0;
  uint64_t index_ = 0;            // of the current entry
  uint64_t next_header_ = 0;      // file position of the next directory entry

  ZipEntry entry_;                // the current entry
  uint64_t local_header_ = 0;     // its file position

  // The open entry.
  bool entry_open_ = false;
  uint64_t raw_position_ = 0;     // file position of its next raw byte
  uint64_t compressed_left_ = 0;  // raw bytes of the entry not yet taken
  uint64_t entry_read_ = 0;       // decompressed bytes handed out so far
  uint32_t entry_crc_ = 0;
  bool inflating_ = false;
  bool stream_end_ = false;
  std::unique_ptr<Inflater> inflater_;
};

}  // namespace ze
