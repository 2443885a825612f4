// The head of an HTTP response as curl hands it over: curl runs with
// "-D -", so every response's status line and headers come first on its
// standard output (each redirect it followed, then the final one), and the
// body follows. A server that answers "ICY 200 OK" (old Shoutcast) reaches us
// the same way through curl's --http0.9, its status line and headers being
// part of the body. ResponseHeadReader reads either until the final
// response's empty line and keeps what it learnt: the status, the headers
// (icy-metaint and friends for whoever needs them) and the address that
// finally answered, against which relative addresses in the body resolve.
// Through a proxy, an https request's output starts with the proxy's answer
// to curl's CONNECT ("HTTP/1.1 200 Connection established"); a 2xx head for
// an https address followed at once by another status line is such an
// answer, and the head after it is the station's.
// Pure: bytes in, records out; used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ze::stream {

// More header bytes than this (all responses together) and the answer is refused.
inline constexpr size_t kMaxResponseHead = 65536;

struct ResponseHead {
  std::string protocol;  // "HTTP/1.1", "HTTP/2", "ICY", ...
  int status = 0;
  std::string reason;    // the rest of the status line, trimmed and bounded
  std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
  std::string url;       // the address that answered, after every redirect
  int redirects = 0;

  // The first header called `name` (in any letter case), or nothing.
  std::optional<std::string_view> header(std::string_view name) const;
  // "HTTP 404 Not Found", "ICY 200 OK": the status line for messages.
  std::string status_line() const;
};

class ResponseHeadReader {
 public:
  // `url` is the address asked for.
  explicit ResponseHeadReader(std::string url);

  enum class State {
    NeedMore,  // feed more bytes (or call end)
    Done,      // head() is the final response; body() holds the first body bytes
    Bad,       // error() says why
  };

  // Takes the next bytes of curl's output.
  State feed(std::string_view bytes);
  // curl's output ended: a head still waiting for its decision is settled.
  State end();

  const ResponseHead& head() const { return head_; }
  const std::string& error() const { return error_; }
  // Bytes after the head: the start of the body. Taken by the caller.
  std::string& body() { return pending_; }

 private:
  State parse();
  State fail(std::string why);

  ResponseHead head_;
  ResponseHead block_;
  std::string pending_;
  size_t consumed_ = 0;  // header bytes taken so far
  bool in_block_ = false;
  // head_ is a 2xx answer for an https address, which a proxy's answer to
  // CONNECT would be: the bytes after it decide.
  bool tunnel_or_final_ = false;
  State state_ = State::NeedMore;
  std::string error_;
};

}  // namespace ze::stream
