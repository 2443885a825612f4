// The engine's log: one line per event on standard error, "[ze-stream] "
// first, handed to the kernel in one write so that lines of the two threads
// never mix. Control characters are escaped as in the player's log, so that
// texts from outside (URLs, server messages) keep every line one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace ze::stream {

void log_text(std::string_view text);

template <typename... Args>
void log_event(fmt::format_string<Args...> format, Args&&... args) {
  log_text(fmt::format(format, std::forward<Args>(args)...));
}

// Collapses a run of one kind of event into its first line and a count: a
// failure that repeats for hours costs two lines, not thousands. Used by one
// thread.
class LogRun {
 public:
  // Logs `line` unless the run before was of the same `kind`, which counts it.
  void event(std::string_view kind, const std::string& line);
  // Ends the run: says how often its event repeated, if it did.
  void flush();
  ~LogRun() { flush(); }

 private:
  std::string kind_;
  uint64_t repeats_ = 0;
};

}  // namespace ze::stream
