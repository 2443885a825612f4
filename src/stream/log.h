// The engine's log: one line per event on standard error, "[ze-stream] "
// first, handed to the kernel in one write so that lines of the two threads
// never mix. Texts that come from outside (URLs, server messages) have their
// control characters escaped, so every line stays one line.
#pragma once

#include <string>
#include <string_view>

#include <fmt/format.h>

namespace ze::stream {

void log_text(std::string_view text);
// Control characters written as \n, \r, \t or \xNN.
std::string escape_controls(std::string_view text);

template <typename... Args>
void log_event(fmt::format_string<Args...> format, Args&&... args) {
  log_text(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace ze::stream
