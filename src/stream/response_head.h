// The status lines and headers that curl writes before a body when asked to
// (-i): with redirects followed, those of every response on the way, then
// the final one's. The reader takes the bytes in pieces, skips the heads of
// interim (1xx) and redirect (3xx) responses, keeps the final head's
// headers (Icecast's icy-metaint, icy-name, icy-br, icy-genre) and hands on
// what follows it: the body. Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ze::stream {

class ResponseHeadReader {
 public:
  enum class State {
    Head,  // more of the head is wanted
    Body,  // the head is complete; every byte from here on is body
    Bad,   // no response head, or one larger than 64 KB
  };

  // Appends the body bytes of `data` to `body`.
  State feed(const uint8_t* data, size_t size, std::vector<uint8_t>& body);
  // Once the head is complete and the body has ended: a redirect's head
  // that no other response followed was the final one after all.
  State state() const { return state_; }

  // A header of the final response, its name in any letter case; the value
  // without surrounding blanks.
  std::optional<std::string> header(std::string_view name) const;
  int status() const { return status_; }

 private:
  // Takes complete heads from held_; false when more bytes are needed.
  bool take_heads(std::vector<uint8_t>& body);

  State state_ = State::Head;
  std::string held_;
  int status_ = 0;
  std::vector<std::pair<std::string, std::string>> headers_;
};

}  // namespace ze::stream
