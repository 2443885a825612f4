#include "stream/response_head.h"

namespace ze::stream {
namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// "HTTP/1.1 200 OK", "HTTP/2 302", "ICY 200 OK": the status code, or 0.
int status_of(std::string_view line) {
  if (!line.starts_with("HTTP/") && !line.starts_with("ICY ")) return 0;
  size_t space = line.find(' ');
  if (space == std::string_view::npos || space + 4 > line.size()) return 0;
  int code = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

bool looks_like_head(std::string_view bytes) {
  std::string_view known[] = {"HTTP/", "ICY "};
  for (std::string_view start : known) {
    size_t n = std::min(bytes.size(), start.size());
    if (bytes.substr(0, n) == start.substr(0, n)) return true;
  }
  return false;
}

}  // namespace

bool ResponseHeadReader::take_heads(std::vector<uint8_t>& body) {
  for (;;) {
    if (!looks_like_head(held_)) {
      // After a redirect's head, bytes that begin no head are its body.
      if (status_ == 0) {
        state_ = State::Bad;
        return true;
      }
      state_ = State::Body;
      body.insert(body.end(), held_.begin(), held_.end());
      held_.clear();
      return true;
    }
    size_t end = held_.find("\n\r\n");
    size_t skip = 3;
    size_t bare = held_.find("\n\n");
    if (bare != std::string::npos && (end == std::string::npos || bare < end)) end = bare, skip = 2;
    if (end == std::string::npos) {
      if (held_.size() > kMaxHeadBytes) state_ = State::Bad;
      return state_ == State::Bad;
    }
    std::string_view head(held_.data(), end + 1);
    headers_.clear();
    size_t line_end = head.find('\n');
    status_ = status_of(trimmed(head.substr(0, line_end)));
    if (status_ == 0) {
      state_ = State::Bad;
      return true;
    }
    for (size_t at = line_end + 1; at < head.size();) {
      size_t next = head.find('\n', at);
      std::string_view line = head.substr(at, next - at);
      at = next + 1;
      size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      headers_.emplace_back(std::string(trimmed(line.substr(0, colon))),
                            std::string(trimmed(line.substr(colon + 1))));
    }
    held_.erase(0, end + skip);
    const bool interim = status_ < 200 || (status_ >= 300 && status_ < 400);
    if (!interim) {
      state_ = State::Body;
      body.insert(body.end(), held_.begin(), held_.end());
      held_.clear();
      return true;
    }
    if (held_.size() < 5) return false;  // the next head, or the redirect's body
  }
}

ResponseHeadReader::State ResponseHeadReader::feed(const uint8_t* data, size_t size,
                                                    std::vector<uint8_t>& body) {
  if (state_ == State::Body) {
    body.insert(body.end(), data, data + size);
    return state_;
  }
  if (state_ == State::Bad) return state_;
  held_.append(reinterpret_cast<const char*>(data), size);
  take_heads(body);
  return state_;
}

std::optional<std::string> ResponseHeadReader::header(std::string_view name) const {
  for (const auto& [key, value] : headers_) {
    if (same_name(key, name)) return value;
  }
  return std::nullopt;
}

}  // namespace ze::stream
