#include "base/curl_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "base/address.h"

namespace ze {
namespace {

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) out += (out.empty() ? "" : " ") + word;
  return out;
}

TEST(CurlCommand, EveryRequestCarriesThePolicyAndOnlyTheLimitsAskedFor) {
  const std::string policy =
      "curl -q -g -s -S -L --max-redirs 10 -k --proto =http,https --proto-redir =http,https";
  struct Case {
    CurlRequest request;
    std::string output;
    std::string rest;  // what follows the policy
  } cases[] = {
      {{.connect_timeout_seconds = 6, .max_time_seconds = 12, .max_filesize = 4194304,
        .ipv4_only = true},
       "",
       "-4 --connect-timeout 6 --max-time 12 --max-filesize 4194304 U"},
      {{.connect_timeout_seconds = 8, .max_time_seconds = 20, .fail_on_http_error = true},
       "/tmp/p.zip",
       "-f --connect-timeout 8 --max-time 20 -o /tmp/p.zip U"},
      {{.connect_timeout_seconds = 10, .stall_seconds = 7, .fail_on_http_error = true,
        .user_agent = "A B", .range = std::make_pair(int64_t{10}, int64_t{19}),
        .headers = {"Icy-MetaData: 1"}, .write_out = "%{url_effective}"},
       "",
       "-f --connect-timeout 10 --speed-limit 1 --speed-time 7 -A A B -H Icy-MetaData: 1 "
       "-r 10-19 --write-out %{url_effective} U"},
      {{.connect_timeout_seconds = 3, .range = std::make_pair(int64_t{500}, int64_t{-1}),
        .heads_on_output = true, .unbuffered = true, .allow_http09 = true},
       "",
       "--connect-timeout 3 -r 500- -D - -N --http0.9 U"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = curl_arguments("curl", c.request, "U", c.output);
    EXPECT_EQ(joined(argv), policy + " " + c.rest);
  }
}

// The stream script runs its own curl; its words must be the program's.
TEST(CurlCommand, TheStreamScriptFollowsTheSamePolicy) {
  std::ifstream file(std::string(ZE_SOURCE_DIR) + "/packaging/bin/play_stream.sh");
  std::stringstream text;
  text << file.rdbuf();
  std::smatch found;
  std::string script = text.str();
  ASSERT_TRUE(std::regex_search(script, found, std::regex(R"(\nfetch\(\) \{[\s\S]*?\n\s*("\$curl"[\s\S]*?)\n\})")));
  std::string line = std::regex_replace(found[1].str(), std::regex(R"((\\\n|\s)+)"), " ");
  line = std::regex_replace(line, std::regex(R"(\s+$)"), "");
  for (auto [variable, value] : {std::pair{"\"$curl\"", "curl"}, {"\"$net_timeout\"", "15"},
                                 {"\"$user_agent\"", "UA"}, {"\"$1\"", "U"}}) {
    line.replace(line.find(variable), std::string(variable).size(), value);
  }
  CurlRequest request{.connect_timeout_seconds = 10, .stall_seconds = 15,
                      .fail_on_http_error = true, .user_agent = "UA"};
  EXPECT_EQ(line, joined(curl_arguments("curl", request, "U")));
}

TEST(Address, OnlyHttpAddressesWithAHostAndNoBlanksPass) {
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {
      {"http://radio.example/live", true},
      {"HTTPS://Radio.Example:8443/a?ids[0]=5&x={1,2}", true},
      {"http://ưđ.vn/phát", true},
      {"http://x/" + std::string(kMaxAddressLength - 9, 'a'), true},
      {"http://x/" + std::string(kMaxAddressLength - 8, 'a'), false},
      {"-o/tmp/x", false},
      {"--script=http://x/", false},
      {"rtmp://radio.example/live", false},
      {"file:///etc/passwd", false},
      {"http://", false},
      {"http:///path", false},
      {"http://?q", false},
      {"http://a b", false},
      {"http://a/\tb", false},
      {"http://a/\nb", false},
      {"http://a/\x7f", false},
      {std::string("http://radio.example/a\0b", 24), false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_stream_address(c.text), c.ok) << c.text;
}

}  // namespace
}  // namespace ze
