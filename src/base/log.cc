#include "base/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace ze {
namespace {

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

void log_line(std::string_view line) {
  std::string buffer;
  buffer.reserve(line.size() + 1);
  buffer.append(line);
  buffer.push_back('\n');
  write_all(STDOUT_FILENO, buffer.data(), buffer.size());
}

void exit_process(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

void fatal(std::string_view message) {
  std::string buffer(message);
  buffer.push_back('\n');
  write_all(STDERR_FILENO, buffer.data(), buffer.size());
  std::abort();
}

}  // namespace ze
