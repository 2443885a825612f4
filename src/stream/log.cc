#include "stream/log.h"

#include <unistd.h>

#include <cerrno>

namespace ze::stream {

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += fmt::format("\\x{:02x}", byte);
    } else {
      out += c;
    }
  }
  return out;
}

void log_text(std::string_view text) {
  std::string line = "[ze-stream] " + escape_controls(text) + "\n";
  std::string_view left = line;
  while (!left.empty()) {
    ssize_t n = ::write(STDERR_FILENO, left.data(), left.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    left.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace ze::stream
