// Every byte the engine takes from the network comes through a curl child:
// the engine has no socket, name lookup or TLS code of its own, so a static
// build loads no shared object at run time. A Fetch is one request: opening
// it waits for the response's head (status, headers, the address that
// finally answered, see response_head.h) and checks its status; reading
// then streams the body through a pipe. fetch_text reads a whole small
// document. Waits end early when a stop is requested. A Fetch is used by one
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/engine_contract.h"
#include "base/process.h"
#include "base/result.h"
#include "stream/response_head.h"

namespace ze::stream {

struct FetchOptions {
  std::string user_agent = contract::kUserAgent;
  int connect_seconds = 10;  // to set up the connection
  int idle_seconds = 15;     // without a byte, the transfer counts as broken
  // curl's own limit without a byte, when it must outlast idle_seconds (a
  // stalled live connection kept while another is tried); 0: idle_seconds.
  int curl_idle_seconds = 0;
  int max_seconds = 0;       // whole transfer; 0: no limit (an endless stream)
  int64_t max_bytes = 0;     // larger bodies are refused; 0: no limit
  // First and last byte wanted; a last byte below 0 means to the end.
  std::optional<std::pair<int64_t, int64_t>> range;
  // Asks an Icecast or Shoutcast server for its metadata ("Icy-MetaData: 1");
  // the metadata interval comes back in the head's icy-metaint.
  bool icy = false;
};

// A failed request is an Error of kind Network (no connection, timeout,
// stall, server error 5xx: worth retrying), Refused (the server refused the
// address with 4xx, or its answer is no HTTP: this URL cannot be played) or
// Stopped (a stop was requested). Its message is curl's own, or what went
// wrong.

// curl's argument vector for one request, in the program's one curl policy,
// with the response heads on standard output. `http09` lets answers without
// an HTTP status line through (curl 7.64 and later know the option).
std::vector<std::string> fetch_arguments(const std::string& url, const FetchOptions& options,
                                         bool http09 = true);

class Fetch {
 public:
  // Starts curl and waits for the head of the final response. A status of
  // 400 and above, a redirect without an address and an answer that is no
  // HTTP are errors. Falls back to a curl without --http0.9 when the one
  // installed does not know it (once for the whole run).
  static Result<Fetch> open(const std::string& url, const FetchOptions& options);
  Fetch(Fetch&& other) noexcept;
  Fetch& operator=(Fetch&& other) = delete;
  ~Fetch();  // a curl still running is killed and reaped

  // Waits for body bytes and reads up to `size` of them; how many came. 0
  // means the body ended completely; a failure says why.
  Result<size_t> read(uint8_t* data, size_t size);

  // Waits up to `milliseconds` (less when a stop is requested) for body
  // bytes or the body's end, without breaking the transfer: true when read
  // would not wait.
  bool ready(int milliseconds);

  // The final response: status, headers, the address that answered.
  const ResponseHead& head() const { return head_; }
  // From now on, this long without a byte breaks the transfer.
  void set_idle_seconds(int seconds) { idle_seconds_ = seconds; }

 private:
  Fetch(PipedProcess child, int idle_seconds) : child_(std::move(child)), idle_seconds_(idle_seconds) {}
  Result<size_t> read_pipe(uint8_t* data, size_t size, int limit_seconds);
  // Reaps curl once its output ended: nothing when the whole body came.
  std::optional<Error> finish();
  void kill_curl();

  std::optional<PipedProcess> child_;
  int idle_seconds_ = 15;
  ResponseHead head_;
  std::string early_body_;  // body bytes that came with the head
  size_t early_taken_ = 0;
  // The whole body came and curl has been reaped (an empty or short body can
  // end before its head is settled): what follows early_body_ is the end.
  bool complete_ = false;
};

// A whole response body (a playlist, a key), at most options.max_bytes, with
// the address that finally served it.
struct FetchedText {
  std::string body;
  std::string url;
};
Result<FetchedText> fetch_text(const std::string& url, const FetchOptions& options);

// The classification of curl's exit status and message.
Error describe_curl_failure(const ExitStatus& status, const std::string& stderr_text);
// The classification of a final response's status (200 to 299 pass).
std::optional<Error> describe_status(const ResponseHead& head);

}  // namespace ze::stream
