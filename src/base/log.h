// The program's log: one line per event on standard output. Each line is
// handed to the kernel in a single write, so lines from different threads
// never interleave. Safe to call from any thread.
#pragma once

#include <string_view>

#include <fmt/format.h>

namespace ze {

// Writes `line` followed by a line feed with one write(2) call.
void log_line(std::string_view line);

template <typename... Args>
void logf(fmt::format_string<Args...> format, Args&&... args) {
  log_line(fmt::format(format, std::forward<Args>(args)...));
}

// Flushes stdio and ends the process with `status` without running static
// destructors: detached worker threads may still be running.
[[noreturn]] void exit_process(int status);

// Prints `message` on standard error and aborts.
[[noreturn]] void fatal(std::string_view message);

}  // namespace ze
