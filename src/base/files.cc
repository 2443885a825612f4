#include "base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

#include "base/errors.h"

namespace ze {
namespace {

Error path_error(const std::string& path, int error) {
  return Error{path + ": " + errno_text(error)};
}

// What a file of this mode is, in words, when it is not a regular file.
const char* kind_of(mode_t mode) {
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a file";
}

Status write_named(int fd, std::string_view data, const std::string& path) {
  Status written = write_all(fd, data);
  if (!written) return Error{path + ": " + written.error()};
  return written;
}

}  // namespace

Status write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error{errno_text(errno)};
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return ok_status();
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void read_available(int fd, std::string* kept, size_t limit) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    if (kept != nullptr && kept->size() < limit) {
      kept->append(buffer, std::min(static_cast<size_t>(n), limit - kept->size()));
    }
  }
}

Result<std::string> read_file(const std::string& path) {
  // Opened without blocking, so that a named pipe at the path cannot hang
  // the caller; only regular files are read.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return path_error(path, errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return path_error(path, errno);
  if (S_ISDIR(st.st_mode)) return path_error(path, EISDIR);
  if (!S_ISREG(st.st_mode)) return path_error(path, EINVAL);
  std::string data;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return path_error(path, errno);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

Status write_file(const std::string& path, std::string_view data) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return path_error(path, errno);
  return write_named(fd.get(), data, path);
}

std::unique_lock<std::mutex> lock_document(const std::string& path) {
  // Keyed by the file name alone: two spellings of one path share a lock,
  // and documents of different names never wait for each other. The names
  // are the program's few documents, so the table stays small.
  static std::mutex table_lock;
  static std::map<std::string, std::mutex, std::less<>> locks;  // guarded by table_lock
  std::string_view name = path;
  if (size_t slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::mutex* lock;
  {
    std::lock_guard<std::mutex> table(table_lock);
    auto found = locks.find(name);
    if (found == locks.end()) found = locks.try_emplace(std::string(name)).first;
    lock = &found->second;
  }
  return std::unique_lock<std::mutex>(*lock);
}

Status write_file_atomic(const std::string& path, std::string_view data) {
  // One fixed temporary name per document: a write cut short by a kill or a
  // power cut leaves at most that one file, which the next write of the same
  // document replaces, so leftovers never pile up. Writers of one document
  // take turns, so two of them never share the temporary file; writers of
  // different documents go on side by side.
  std::unique_lock<std::mutex> lock = lock_document(path);
  // The rename replaces whatever stands at the path: a device node such as
  // /dev/null, a named pipe or a socket would become a plain file for every
  // program that uses it. Only a regular file (a link to one counts) or
  // nothing is replaced.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) return path_error(path, EISDIR);
    return Error{path + ": " + kind_of(st.st_mode) + ", not a regular file: left as it is"};
  }
  std::string temp = path + ".tmp";
  {
    // A leftover is removed rather than opened, so whatever it is (even a
    // link planted at the name) the data go into a new file of our own.
    ::unlink(temp.c_str());
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) return path_error(temp, errno);
    Status written = write_named(fd.get(), data, temp);
    if (written && ::fsync(fd.get()) != 0) written = path_error(temp, errno);
    if (!written) {
      ::unlink(temp.c_str());
      return written;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    return path_error(path, error);
  }
  // The rename lives in the folder: flushing it too keeps a power cut right
  // after the save from bringing the old content back. Best effort, since
  // some file systems refuse to flush a folder.
  std::string::size_type slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return ok_status();
}

void open_missing_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Not close-on-exec: these are the streams every child inherits.
    int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace ze
