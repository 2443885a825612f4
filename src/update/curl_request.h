// The one shape of every curl command the update code runs: IPv4, no
// certificate check, silent, redirects followed, a connect timeout and a
// total time limit. Pure; the caller runs the command through the process
// module.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace ze {

struct CurlRequest {
  int connect_timeout_seconds = 0;
  int max_time_seconds = 0;
  long long max_filesize = 0;       // larger answers are refused; 0: no limit
  bool fail_on_http_error = false;  // an HTTP error is a failed request (-f), not a body
};

// The argument vector fetching `url`, to standard output or to `output_path`
// when one is given.
inline std::vector<std::string> curl_arguments(const std::string& curl, const CurlRequest& request,
                                               const std::string& url,
                                               const std::string& output_path = {}) {
  std::vector<std::string> argv = {curl,
                                   "-4",
                                   "-k",
                                   "-s",
                                   "-L",
                                   "--connect-timeout",
                                   std::to_string(request.connect_timeout_seconds),
                                   "--max-time",
                                   std::to_string(request.max_time_seconds)};
  if (request.fail_on_http_error) argv.insert(argv.begin() + 4, "-f");
  if (request.max_filesize > 0) {
    argv.insert(argv.end(), {"--max-filesize", std::to_string(request.max_filesize)});
  }
  if (!output_path.empty()) argv.insert(argv.end(), {"-o", output_path});
  argv.push_back(url);
  return argv;
}

// curl ends itself at its --max-time; one second later the caller stops
// waiting for it all the same, so that a curl that hangs past its own limit
// cannot hold the caller for ever.
inline std::chrono::milliseconds curl_wait_limit(const CurlRequest& request) {
  return std::chrono::seconds(request.max_time_seconds + 1);
}

}  // namespace ze
