#include "stream/response_head.h"

#include <gtest/gtest.h>

#include <string>

namespace ze::stream {
namespace {

using State = ResponseHeadReader::State;

// Feeds `output` in pieces of `piece` bytes, then the end.
State read_all(ResponseHeadReader& reader, const std::string& output, size_t piece) {
  State state = State::NeedMore;
  for (size_t at = 0; at < output.size() && state == State::NeedMore; at += piece) {
    state = reader.feed(std::string_view(output).substr(at, piece));
  }
  return state == State::NeedMore ? reader.end() : state;
}

TEST(ResponseHead, CurlsOutputGivesTheFinalAnswerItsHeadersAndWhereItCameFrom) {
  struct Case {
    const char* name;
    std::string output;  // what curl -D - writes
    State state;
    int status;
    const char* url;
    const char* body;
  } cases[] = {
      {"plain", "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\n\r\nID3", State::Done, 200,
       "http://a/live", "ID3"},
      {"two redirects, relative then absolute",
       "HTTP/1.1 302 Found\r\nLocation: /hls/x/live.m3u8\r\n\r\n"
       "HTTP/1.1 301 Moved\r\nlocation: https://cdn.example/y/live.m3u8?t=1\r\n\r\n"
       "HTTP/2 200 \r\ncontent-type: application/vnd.apple.mpegurl\r\n\r\n#EXTM3U\n",
       State::Done, 200, "https://cdn.example/y/live.m3u8?t=1", "#EXTM3U\n"},
      {"interim answer", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\nabc", State::Done, 200,
       "http://a/live", "abc"},
      {"old Shoutcast through --http0.9",
       "ICY 200 OK\r\nicy-name: Radio\r\nicy-metaint: 8192\r\n\r\n\xFF\xFB", State::Done, 200,
       "http://a/live", "\xFF\xFB"},
      {"bare line feeds", "ICY 404 Resource Not Found\n\n", State::Done, 404, "http://a/live", ""},
      {"a refusal curl -f stops after", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\n",
       State::Done, 404, "http://a/live", ""},
      {"a new address with a space, encoded as curl sends it",
       "HTTP/1.1 302 Found\r\nLocation: /my dir/index.m3u8\r\n\r\nHTTP/1.1 200 OK\r\n\r\n#EXTM3U\n",
       State::Done, 200, "http://a/my%20dir/index.m3u8", "#EXTM3U\n"},
      {"HTTP/0.9: no status line", "\xFF\xFB\x90\x64 audio", State::Bad, 0, "", ""},
      {"garbage status", "HTTP/1.1 abc\r\n\r\n", State::Bad, 0, "", ""},
      {"cut inside the headers", "HTTP/1.1 200 OK\r\nContent-Ty", State::Bad, 0, "", ""},
      {"a redirect and nothing after it", "HTTP/1.1 302 Found\r\nLocation: /b\r\n\r\n", State::Bad,
       0, "", ""},
      {"empty", "", State::Bad, 0, "", ""},
  };
  for (const Case& c : cases) {
    for (size_t piece : {1u, 5u, 4096u}) {
      ResponseHeadReader reader("http://a/live");
      ASSERT_EQ(read_all(reader, c.output, piece), c.state) << c.name << " " << piece;
      if (c.state != State::Done) {
        EXPECT_FALSE(reader.error().empty());
        continue;
      }
      EXPECT_EQ(reader.head().status, c.status) << c.name;
      EXPECT_EQ(reader.head().url, c.url) << c.name;
      if (piece == 4096) EXPECT_EQ(reader.body(), c.body) << c.name;
    }
  }
  ResponseHeadReader icy("http://a/live");
  ASSERT_EQ(read_all(icy, cases[3].output, 3), State::Done);
  EXPECT_EQ(icy.head().header("ICY-METAINT"), "8192");
  EXPECT_EQ(icy.head().header("icy-name"), "Radio");
  EXPECT_FALSE(icy.head().header("Content-Type"));
  EXPECT_EQ(icy.head().status_line(), "ICY 200 OK");
}

// Through a proxy, curl's output for an https address starts with the
// proxy's answer to its CONNECT; the station's head follows.
TEST(ResponseHead, AProxysAnswerToConnectIsNotTakenForTheStations) {
  const std::string connect = "HTTP/1.1 200 Connection established\r\nProxy-agent: p/1\r\n\r\n";
  struct Case {
    const char* name;
    std::string output;
    int status;
    const char* url;
    const char* metaint;  // the icy-metaint header, when there is one
    const char* body;
  } cases[] = {
      {"ICY station", connect + "HTTP/1.1 200 OK\r\nicy-metaint: 8192\r\n\r\n\xFF\xFB", 200,
       "https://a/live", "8192", "\xFF\xFB"},
      {"old Shoutcast", "HTTP/1.0 200 Connection established\r\n\r\nICY 200 OK\r\nicy-metaint: 16\r\n\r\nxyz",
       200, "https://a/live", "16", "xyz"},
      {"a redirect to another host, through a second tunnel",
       connect + "HTTP/2 302\r\nlocation: https://b/x.m3u8\r\n\r\n" + connect +
           "HTTP/2 200\r\n\r\n#EXTM3U\n",
       200, "https://b/x.m3u8", nullptr, "#EXTM3U\n"},
      {"a station's own body that starts like a status line",
       "HTTP/1.1 200 OK\r\nicy-metaint: 1\r\n\r\nHTTP/ is no status\n", 200, "https://a/live", "1",
       "HTTP/ is no status\n"},
      {"a short body", "HTTP/1.1 200 OK\r\nicy-metaint: 2\r\n\r\nHT", 200, "https://a/live", "2", "HT"},
      {"an empty body", "HTTP/1.1 204 No Content\r\n\r\n", 204, "https://a/live", nullptr, ""},
      {"the station refuses", connect + "HTTP/1.1 404 Not Found\r\n\r\n", 404, "https://a/live",
       nullptr, ""},
  };
  for (const Case& c : cases) {
    for (size_t piece : {1u, 5u, 4096u}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(piece));
      ResponseHeadReader reader("https://a/live");
      ASSERT_EQ(read_all(reader, c.output, piece), State::Done) << reader.error();
      EXPECT_EQ(reader.head().status, c.status);
      EXPECT_EQ(reader.head().url, c.url);
      EXPECT_EQ(reader.head().header("icy-metaint"),
                c.metaint ? std::optional<std::string_view>(c.metaint) : std::nullopt);
      EXPECT_FALSE(reader.head().header("Proxy-agent"));
      if (piece == 4096) EXPECT_EQ(reader.body(), c.body);
    }
  }
  // Over plain HTTP no proxy answers for the station: a body that looks
  // like a head stays the body.
  ResponseHeadReader plain("http://a/live");
  ASSERT_EQ(read_all(plain, connect + "HTTP/1.1 200 OK\r\n\r\n", 4096), State::Done);
  EXPECT_TRUE(plain.head().header("Proxy-agent"));
  EXPECT_EQ(plain.body(), "HTTP/1.1 200 OK\r\n\r\n");
}

TEST(ResponseHead, HeadersBeyondTheirLimitAreRefused) {
  ResponseHeadReader reader("http://a/");
  std::string output = "HTTP/1.1 200 OK\r\n";
  while (output.size() <= kMaxResponseHead) output += "X-Filler: " + std::string(100, 'x') + "\r\n";
  EXPECT_EQ(read_all(reader, output, 4096), State::Bad);
  ResponseHeadReader endless_line("http://a/");
  EXPECT_EQ(read_all(endless_line, "HTTP/1.1 200 OK\r\nX: " + std::string(kMaxResponseHead + 1, 'x'), 4096),
            State::Bad);
}

}  // namespace
}  // namespace ze::stream
