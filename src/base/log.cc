#include "base/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "base/files.h"

namespace ze {

void log_line(std::string_view line) {
  std::string buffer;
  buffer.reserve(line.size() + 1);
  buffer.append(line);
  buffer.push_back('\n');
  (void)write_all(STDOUT_FILENO, buffer);
}

void exit_process(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

void fatal(std::string_view message) {
  std::string buffer(message);
  buffer.push_back('\n');
  (void)write_all(STDERR_FILENO, buffer);
  std::abort();
}

}  // namespace ze
