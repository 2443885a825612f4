#include "stream/response_head.h"

#include <algorithm>

#include "base/text.h"
#include "formats/playlist.h"

namespace ze::stream {
namespace {

constexpr size_t kMaxReason = 100;
// A status line is shorter than this; bytes after a head that run longer
// without a line end are a body.
constexpr size_t kMaxStatusLine = 1024;

std::string_view trim_blanks(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// Whether `text` could still become the start of a status line.
bool may_start_status(std::string_view text) {
  for (std::string_view prefix : {std::string_view("HTTP/"), std::string_view("ICY ")}) {
    size_t n = std::min(text.size(), prefix.size());
    if (text.substr(0, n) == prefix.substr(0, n)) return true;
  }
  return false;
}

// "HTTP/1.1 302 Found", "HTTP/2 200", "ICY 200 OK".
bool parse_status_line(std::string_view line, ResponseHead& head) {
  size_t space = line.find(' ');
  if (space == std::string_view::npos) return false;
  std::string_view protocol = line.substr(0, space);
  if (protocol != "ICY" && !(protocol.starts_with("HTTP/") && protocol.size() > 5)) return false;
  std::string_view rest = trim_blanks(line.substr(space + 1));
  if (rest.size() < 3 || !std::all_of(rest.begin(), rest.begin() + 3, [](char c) {
        return c >= '0' && c <= '9';
      })) {
    return false;
  }
  if (rest.size() > 3 && rest[3] != ' ' && rest[3] != '\t') return false;
  head.protocol = std::string(protocol);
  head.status = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
  std::string_view reason = trim_blanks(rest.substr(3));
  head.reason.clear();
  for (char c : reason.substr(0, kMaxReason)) {
    head.reason.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
  }
  return true;
}

// Whether `head`, complete, may be a proxy's answer to curl's CONNECT for
// an https address ("HTTP/1.1 200 Connection established"): curl passes it
// on like any other head, and the station's own head follows it.
bool may_be_tunnel(const ResponseHead& head) {
  return head.status >= 200 && head.status < 300 && head.protocol.starts_with("HTTP/") &&
         equals_ascii_ci(std::string_view(head.url).substr(0, 6), "https:");
}

// Whether `rest`, the bytes after a head, begins with a whole status line;
// nothing while more bytes may tell.
std::optional<bool> starts_with_status_line(std::string_view rest) {
  if (!may_start_status(rest)) return false;
  size_t newline = rest.find('\n');
  if (newline == std::string_view::npos) {
    if (rest.size() < kMaxStatusLine) return std::nullopt;
    return false;
  }
  std::string_view line = rest.substr(0, newline);
  if (line.ends_with('\r')) line.remove_suffix(1);
  ResponseHead ignored;
  return parse_status_line(line, ignored);
}

}  // namespace

std::optional<std::string_view> ResponseHead::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equals_ascii_ci(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

std::string ResponseHead::status_line() const {
  std::string name = protocol == "ICY" ? "ICY" : "HTTP";
  std::string line = name + " " + std::to_string(status);
  if (!reason.empty()) line += " " + reason;
  return line;
}

ResponseHeadReader::ResponseHeadReader(std::string url) { head_.url = std::move(url); }

ResponseHeadReader::State ResponseHeadReader::fail(std::string why) {
  error_ = std::move(why);
  state_ = State::Bad;
  return state_;
}

ResponseHeadReader::State ResponseHeadReader::feed(std::string_view bytes) {
  if (state_ != State::NeedMore) return state_;
  pending_.append(bytes);
  return parse();
}

ResponseHeadReader::State ResponseHeadReader::end() {
  // Every whole line has been read as it came: what is left is unfinished,
  // unless it is the body after a head that may have been a proxy's.
  if (state_ != State::NeedMore) return state_;
  if (tunnel_or_final_) {
    state_ = State::Done;
    return state_;
  }
  return fail(head_.status == 0 && !in_block_ ? "the answer ended before its status line"
                                              : "the answer ended inside its headers");
}

ResponseHeadReader::State ResponseHeadReader::parse() {
  size_t pos = 0;
  for (;;) {
    if (consumed_ + pos > kMaxResponseHead) return fail("the response headers are larger than 64 KB");
    std::string_view rest = std::string_view(pending_).substr(pos);
    if (tunnel_or_final_) {
      // A proxy's head is followed at once by the station's status line;
      // anything else is the body of a final answer.
      std::optional<bool> tunnel = starts_with_status_line(rest);
      if (!tunnel) break;
      tunnel_or_final_ = false;
      if (!*tunnel) {
        consumed_ += pos;
        pending_.erase(0, pos);
        state_ = State::Done;
        return state_;
      }
    }
    if (!in_block_ && !may_start_status(rest)) {
      return fail(head_.redirects == 0 && head_.status == 0 ? "the server sent no HTTP status line"
                                                            : "a redirect without its next answer");
    }
    size_t newline = rest.find('\n');
    if (newline == std::string_view::npos) {
      if (rest.size() > kMaxResponseHead) return fail("the response headers are larger than 64 KB");
      break;
    }
    std::string_view line = rest.substr(0, newline);
    if (line.ends_with('\r')) line.remove_suffix(1);
    pos += newline + 1;
    if (!in_block_) {
      block_ = ResponseHead{};
      if (!parse_status_line(line, block_)) return fail("the server sent no HTTP status line");
      in_block_ = true;
      continue;
    }
    if (!line.empty()) {
      if ((line[0] == ' ' || line[0] == '\t') && !block_.headers.empty()) {
        // A folded line continues the header before it.
        block_.headers.back().second += " " + std::string(trim_blanks(line));
        continue;
      }
      size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0) continue;  // not a header: ignored
      block_.headers.emplace_back(std::string(trim_blanks(line.substr(0, colon))),
                                  std::string(trim_blanks(line.substr(colon + 1))));
      continue;
    }
    // The empty line: this response's head is complete.
    in_block_ = false;
    block_.url = head_.url;
    block_.redirects = head_.redirects;
    std::optional<std::string_view> location = block_.header("Location");
    bool followed = block_.status >= 300 && block_.status < 400 && location && !location->empty();
    bool interim = block_.status >= 100 && block_.status < 200;
    head_ = std::move(block_);
    if (followed) {
      head_.url = resolve_url(head_.url, *location);
      ++head_.redirects;
    }
    if (followed || interim) continue;
    if (may_be_tunnel(head_)) {
      tunnel_or_final_ = true;
      continue;
    }
    consumed_ += pos;
    pending_.erase(0, pos);
    state_ = State::Done;
    return state_;
  }
  consumed_ += pos;
  pending_.erase(0, pos);
  return state_;
}

}  // namespace ze::stream
