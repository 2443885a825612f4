// The engine's log: one line per event on standard error, "[ze-stream] "
// first, handed to the kernel in one write so that lines of the two threads
// never mix. Control characters are escaped as in the player's log, so that
// texts from outside (URLs, server messages) keep every line one line.
#pragma once

#include <string_view>

#include <fmt/format.h>

namespace ze::stream {

void log_text(std::string_view text);

template <typename... Args>
void log_event(fmt::format_string<Args...> format, Args&&... args) {
  log_text(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace ze::stream
