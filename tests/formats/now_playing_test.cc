#include "formats/now_playing.h"

#include <gtest/gtest.h>

namespace ze {
namespace {

TEST(NowPlayingDocumentTest, ReadsBackAndEveryKeyIsOptional) {
  NowPlaying now;
  now.title = "Lạc Trôi \"live\"";
  now.artist = "Sơn Tùng\tM-TP";
  for (uint64_t i = 0; i < kNowPlayingHistory + 2; ++i) {
    now.history.push_back({"Bài " + std::to_string(i), i % 2 ? "" : "Mỹ Tâm", 1700000000 - i * 60});
  }
  now.station = "Loopback";
  now.codec = "HE-AAC v2";
  now.bitrate = 48000;
  now.bitrate_measured = true;
  now.sample_rate = 44100;
  now.channels = 2;
  now.carrier = "HLS";
  now.output = "WAV";
  now.output_name = "/tmp/out.wav";
  auto read = parse_now_playing(write_now_playing(now));
  ASSERT_TRUE(read.ok()) << read.error();
  now.history.resize(kNowPlayingHistory);  // written and read: at most ten
  EXPECT_EQ(*read, now);

  auto empty = parse_now_playing("{}");
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty, NowPlaying{});
  for (const char* bad : {R"({"title": 3})", R"({"history": [{"artist": "x", "started_at": 1}]})",
                          R"({"bitrate": -1})", R"({"bitrate_measured": 1})", R"([])",
                          R"({"history": {}})"}) {
    EXPECT_FALSE(parse_now_playing(bad).ok()) << bad;
  }
}

}  // namespace
}  // namespace ze
