// The one shape of every curl command the program and its stream engine run:
// curl's own configuration files ignored (-q, which must come first), URLs
// taken literally (-g: "[0]" or "{a,b}" in a query are not ranges or sets),
// only http and https (after redirects too, at most kCurlMaxRedirects of
// them), no certificate check (the console has no certificate store), quiet
// but with curl's error text on standard error, and the caller's time and
// size limits. Pure; callers run the command through the process module.
// packaging/bin/play_stream.sh builds the same list for its own curl.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ze {

inline constexpr int kCurlMaxRedirects = 10;

struct CurlRequest {
  int connect_timeout_seconds = 10;
  int max_time_seconds = 0;         // the whole transfer; 0: no limit (a live stream)
  int stall_seconds = 0;            // no byte for this long ends the transfer; 0: no limit
  long long max_filesize = 0;       // larger answers with a length are refused; 0: no limit
  bool fail_on_http_error = false;  // an HTTP error is a failed request (-f), not a body
  bool ipv4_only = false;           // -4
  std::string user_agent = {};      // -A when not empty
  // First and last byte (-r); a last byte below 0 means to the end.
  std::optional<std::pair<int64_t, int64_t>> range = {};
  std::vector<std::string> headers = {};                  // extra request headers (-H)
  std::string write_out = {};                             // --write-out format when not empty
  // Every response's status line and headers first on standard output, the
  // redirects' included (-D -), for a caller that reads them itself.
  bool heads_on_output = false;
  bool unbuffered = false;   // bytes passed on as they arrive (-N)
  bool allow_http09 = false; // answers without an HTTP status line ("ICY 200 OK") pass (--http0.9, curl 7.64+)
};

// The argument vector running `curl` (a program name or path) on `url`,
// writing the body to standard output or to `output_path` when one is given.
std::vector<std::string> curl_arguments(const std::string& curl, const CurlRequest& request,
                                        const std::string& url,
                                        const std::string& output_path = {});

// curl ends itself at its --max-time; one second later the caller stops
// waiting for it all the same, so that a curl that hangs past its own limit
// cannot hold the caller for ever.
inline std::chrono::milliseconds curl_wait_limit(const CurlRequest& request) {
  return std::chrono::seconds(request.max_time_seconds + 1);
}

}  // namespace ze
