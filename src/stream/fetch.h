// Every byte the engine takes from the network comes through a curl child:
// the engine has no socket, name lookup or TLS code of its own, so a static
// build loads no shared object at run time. A Fetch streams one response
// body through a pipe; fetch_text reads a whole small document. Waits end
// early when a stop is requested. A Fetch is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/process.h"
#include "base/result.h"

namespace ze::stream {

inline constexpr char kUserAgent[] = "Mozilla/5.0 (Linux; Android 10; TrimUI)";

struct FetchOptions {
  std::string user_agent = kUserAgent;
  int connect_seconds = 10;  // to set up the connection
  int stall_seconds = 15;    // without a byte, the transfer counts as lost
  int max_seconds = 0;       // whole transfer; 0: no limit (an endless stream)
  int64_t max_bytes = 0;     // larger bodies are refused; 0: no limit
  std::optional<std::pair<int64_t, int64_t>> range;  // first and last byte
  // Asks an Icecast or Shoutcast server for its metadata ("Icy-MetaData: 1")
  // and has the response heads written before the body (see
  // stream/response_head.h), where the metadata interval is announced.
  bool icy = false;
};

// How a failed request ended, for the engine's exit status.
enum class FetchFailure {
  Network,   // no connection, timeout, stall, server error (5xx): worth retrying
  Refused,   // the server refused the address (4xx): this URL cannot be played
  Stopped,   // a stop was requested
};

struct FetchError {
  FetchFailure kind = FetchFailure::Network;
  std::string message;  // curl's own message, or what went wrong
};

// curl's argument vector for one request, in the program's one curl policy.
std::vector<std::string> fetch_arguments(const std::string& url, const FetchOptions& options);

class Fetch {
 public:
  static Result<Fetch> start(const std::string& url, const FetchOptions& options);
  Fetch(Fetch&& other) noexcept;
  Fetch& operator=(Fetch&& other) = delete;
  ~Fetch();  // a curl still running is killed and reaped

  // Waits for body bytes and reads up to `size` of them. 0 means the body
  // ended completely; a failure says why.
  std::optional<FetchError> read(uint8_t* data, size_t size, size_t& got);

  const std::string& url() const { return url_; }

 private:
  Fetch(std::string url, PipedProcess child, int stall_seconds)
      : url_(std::move(url)), child_(std::move(child)), stall_seconds_(stall_seconds) {}
  FetchError finish();

  std::string url_;
  std::optional<PipedProcess> child_;
  int stall_seconds_ = 15;
};

// A whole response body (a playlist, a key), at most options.max_bytes.
struct TextResult {
  std::string body;
  std::optional<FetchError> error;
};
TextResult fetch_text(const std::string& url, const FetchOptions& options);

// The classification of curl's exit status and message.
FetchError describe_curl_failure(const ExitStatus& status, const std::string& stderr_text);

}  // namespace ze::stream
