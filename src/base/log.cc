#include "base/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "base/files.h"

namespace ze {

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += fmt::format("\\x{:02x}", byte);
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F
      out += fmt::format("\\u{{{:04x}}}", next);
      ++i;
    } else if (byte == 0xE2 && next == 0x80 && i + 2 < text.size() &&
               (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {  // U+2028, U+2029
      out += text[i + 2] == '\xA8' ? "\\u{2028}" : "\\u{2029}";
      i += 2;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

std::string hide_passwords(std::string_view text) {
  std::string out;
  size_t copied = 0;
  for (size_t mark = text.find("://"); mark != std::string_view::npos;
       mark = text.find("://", mark + 3)) {
    size_t start = mark + 3;
    size_t end = start;
    while (end < text.size()) {
      auto c = static_cast<unsigned char>(text[end]);
      if (c <= 0x20 || c == 0x7F || c == '/' || c == '?' || c == '#') break;
      ++end;
    }
    std::string_view authority = text.substr(start, end - start);
    size_t at = authority.rfind('@');
    size_t colon = authority.substr(0, at == std::string_view::npos ? 0 : at).find(':');
    if (at == std::string_view::npos || colon == std::string_view::npos) continue;
    out.append(text, copied, start + colon + 1 - copied);
    out += "***";
    copied = start + at;
  }
  if (copied == 0) return std::string(text);
  out.append(text.substr(copied));
  return out;
}

void log_line(std::string_view line) {
  std::string buffer = hide_passwords(line);
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
