#include "base/curl_command.h"

namespace ze {

std::vector<std::string> curl_arguments(const std::string& curl, const CurlRequest& request,
                                        const std::string& url, const std::string& output_path) {
  std::vector<std::string> argv = {curl,         "-q",          "-g",  "-s", "-S",
                                   "-L",         "--max-redirs", std::to_string(kCurlMaxRedirects),
                                   "-k",         "--proto",     "=http,https",
                                   "--proto-redir", "=http,https"};
  auto add = [&argv](std::initializer_list<std::string> words) {
    argv.insert(argv.end(), words);
  };
  if (request.ipv4_only) add({"-4"});
  if (request.fail_on_http_error) add({"-f"});
  add({"--connect-timeout", std::to_string(request.connect_timeout_seconds)});
  if (request.max_time_seconds > 0) add({"--max-time", std::to_string(request.max_time_seconds)});
  if (request.stall_seconds > 0) {
    add({"--speed-limit", "1", "--speed-time", std::to_string(request.stall_seconds)});
  }
  if (request.max_filesize > 0) add({"--max-filesize", std::to_string(request.max_filesize)});
  if (!request.user_agent.empty()) add({"-A", request.user_agent});
  for (const std::string& header : request.headers) add({"-H", header});
  if (request.range) {
    std::string last = request.range->second >= 0 ? std::to_string(request.range->second) : "";
    add({"-r", std::to_string(request.range->first) + "-" + last});
  }
  if (!request.write_out.empty()) add({"--write-out", request.write_out});
  if (request.heads_on_output) add({"-D", "-"});
  if (request.unbuffered) add({"-N"});
  if (request.allow_http09) add({"--http0.9"});
  if (!output_path.empty()) add({"-o", output_path});
  argv.push_back(url);
  return argv;
}

}  // namespace ze
