// Small file helpers shared by every module: an owning descriptor, whole-file
// reads and writes, atomic replacement, existence tests and removal. Every
// descriptor is opened close-on-exec. Safe to call from any thread.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "base/result.h"

namespace ze {

// Owns one file descriptor and closes it when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes all of `data` to `fd`, retrying short and interrupted writes; the
// error is the system's text.
Status write_all(int fd, std::string_view data);
// Reads what a non-blocking descriptor (a child's pipe) holds now, without
// waiting, to its end or until it would block; keeps at most `limit` bytes
// of it in `kept` (null: keeps nothing).
void read_available(int fd, std::string* kept, size_t limit);
// The whole content of a regular file; anything else (a directory, a named
// pipe, a device) is an error. The error text names the path.
Result<std::string> read_file(const std::string& path);
// Creates or truncates `path` and writes `data` in one write.
Status write_file(const std::string& path, std::string_view data);
// Writes `data` to the temporary file `path` + ".tmp", flushes it to the
// device, renames it over `path` and flushes the folder, so readers see the
// old or the new content, never a mix. A write cut short leaves at most that
// one temporary file, which the next write replaces. Anything but a regular
// file at `path` (a folder, a device, a named pipe, a socket) is left as it
// is and the write fails with an error naming it. Calls for one document
// take turns (see lock_document); calls for different ones never wait for
// each other.
Status write_file_atomic(const std::string& path, std::string_view data);
// The lock write_file_atomic holds while it writes `path`: one per file name,
// so every spelling of a path shares it.
std::unique_lock<std::mutex> lock_document(const std::string& path);
// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed (some
// launchers start programs that way), so that the first files the program
// opens never become its standard input, output or error. Call first thing
// at start-up, before any thread runs.
void open_missing_standard_streams();
// Whether a status query on `path` succeeds (any kind of entry counts).
bool path_exists(const std::string& path);
// Removes a file; a missing file or any other failure is ignored.
void remove_file(const std::string& path);

}  // namespace ze
