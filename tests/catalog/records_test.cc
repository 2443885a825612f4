#include "catalog/records.h"

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

namespace ze {
namespace {

constexpr const char* kMinimalChannel =
    R"({"id":"a","name":"A","category":"c","streamUrl":"http://s"})";

std::string catalog_with(const std::string& channel, const std::string& extra = "") {
  return R"({"version":"1","categories":[{"id":"c","name":"C"}],"channels":[)" + channel + "]" +
         extra + "}";
}

TEST(CatalogRecordsTest, OptionalKeysTakeTheirDefaults) {
  Result<ChannelCatalog> catalog = parse_catalog(catalog_with(kMinimalChannel));
  ASSERT_TRUE(catalog.ok()) << catalog.error();
  const Channel& channel = catalog->channels.at(0);
  EXPECT_EQ(channel.color, "E11D48");
  EXPECT_EQ(channel.short_name, "");
  EXPECT_EQ(channel.frequency, "");
  EXPECT_EQ(channel.fallback_url, "");
  EXPECT_EQ(channel.description, "");
  EXPECT_EQ(catalog->updated_at, "");
  EXPECT_EQ(catalog->categories.at(0).name_en, "");
}

TEST(CatalogRecordsTest, MissingRequiredKeyInvalidatesTheWholeCatalog) {
  for (const char* key : {"id", "name", "category", "streamUrl"}) {
    std::string channel = kMinimalChannel;
    size_t at = channel.find(std::string("\"") + key + "\"");
    size_t comma = channel.find_first_of(",}", channel.find(':', at) + 1);
    channel.erase(at, comma - at + (channel[comma] == ',' ? 1 : 0));
    if (channel.back() != '}') channel += "}";
    if (channel[channel.size() - 2] == ',') channel.erase(channel.size() - 2, 1);
    Result<ChannelCatalog> catalog =
        parse_catalog(catalog_with(std::string(kMinimalChannel) + "," + channel));
    ASSERT_FALSE(catalog.ok()) << key;
    EXPECT_NE(catalog.error().find(std::string("missing field `") + key + "`"), std::string::npos)
        << catalog.error();
  }
}

TEST(CatalogRecordsTest, UnknownKeysAreSkippedWhateverTheirType) {
  std::string channel = R"({"id":"a","name":"A","category":"c","streamUrl":"u","x":{"y":[1,null]}})";
  Result<ChannelCatalog> catalog = parse_catalog(catalog_with(channel, R"(,"extra":[true])"));
  ASSERT_TRUE(catalog.ok()) << catalog.error();

  // Numbers too large for a double, too: skipped under unread keys, still
  // refused where a record reads them.
  const std::string huge = "1" + std::string(400, '0');
  for (const std::string& value : {std::string("1e400"), std::string("-1E+400"), huge,
                                   std::string("[1e400, \"1e400\", {\"k\": -9e999}]")}) {
    std::string odd = R"({"id":"a","name":"A","category":"c","streamUrl":"u","n":)" + value + "}";
    Result<ChannelCatalog> skipped = parse_catalog(catalog_with(odd, ",\"extra\": " + value));
    ASSERT_TRUE(skipped.ok()) << value << ": " << skipped.error();
    EXPECT_EQ(skipped->channels.at(0).stream_url, "u");
  }
  Result<ChannelCatalog> quoted = parse_catalog(
      catalog_with(R"({"id":"a","name":"A \"1e400\"","category":"c","streamUrl":"u"})"));
  ASSERT_TRUE(quoted.ok());
  EXPECT_EQ(quoted->channels.at(0).name, "A \"1e400\"");
  EXPECT_FALSE(parse_catalog(catalog_with(R"({"id":1e400,"name":"A","category":"c","streamUrl":"u"})")).ok());
  for (const char* broken : {"01e400", "1e400.5", "--1e400", "1.e400"}) {
    EXPECT_FALSE(parse_catalog(catalog_with(kMinimalChannel, std::string(",\"x\":") + broken)).ok())
        << broken;
  }
}

TEST(CatalogRecordsTest, DuplicateKeysNullsAndTrailingTextAreInvalid) {
  Result<ChannelCatalog> twice =
      parse_catalog(R"({"version":"1","categories":[],"categories":[],"channels":[]})");
  ASSERT_FALSE(twice.ok());
  EXPECT_NE(twice.error().find("duplicate field `categories`"), std::string::npos);
  std::string dup_optional = R"({"id":"a","name":"A","category":"c","streamUrl":"u","color":"1","color":"2"})";
  EXPECT_FALSE(parse_catalog(catalog_with(dup_optional)).ok());
  std::string null_color = R"({"id":"a","name":"A","category":"c","streamUrl":"u","color":null})";
  EXPECT_FALSE(parse_catalog(catalog_with(null_color)).ok());
  EXPECT_FALSE(parse_catalog(catalog_with(kMinimalChannel) + "x").ok());
  EXPECT_FALSE(parse_catalog("\xEF\xBB\xBF" + catalog_with(kMinimalChannel)).ok());
  EXPECT_TRUE(parse_catalog(" \n" + catalog_with(kMinimalChannel) + " \n").ok());
  // A NUL byte after the document (as a file padded with zeros) is text
  // after it too, whatever follows; so are NUL bytes in the other documents.
  using namespace std::string_literals;
  EXPECT_FALSE(parse_catalog(catalog_with(kMinimalChannel) + "\0"s).ok());
  EXPECT_FALSE(parse_catalog(catalog_with(kMinimalChannel) + "\0\0garbage"s).ok());
  EXPECT_FALSE(parse_manifest(R"({"id":"ze","version":"1.1","downloadUrl":"u"})"s + "\0x"s).ok());
  EXPECT_FALSE(parse_favorites("[]\0]"s).ok());
  EXPECT_FALSE(parse_state(write_state(PersistedState{}) + "\0"s).ok());
  // The same key in two different objects is fine.
  EXPECT_TRUE(parse_catalog(catalog_with(std::string(kMinimalChannel) + "," + kMinimalChannel)).ok());
  std::string number_name = R"({"id":"a","name":5,"category":"c","streamUrl":"u"})";
  EXPECT_FALSE(parse_catalog(catalog_with(number_name)).ok());
}

// Reading a document takes about the time of its size, whatever it holds:
// 200,000 empty objects parse within a few times the time of as many empty
// arrays (the same bytes), and a repeat is found among 20,000 keys of one
// object as among two.
TEST(CatalogRecordsTest, DocumentsParseInTimeLinearInTheirSize) {
  const std::string head = R"({"id":"ze","version":"1.1","downloadUrl":"u","x":)";
  auto holding = [&](const char* item) {
    std::string text = head + "[";
    for (int i = 0; i < 200000; ++i) (text += i == 0 ? "" : ",") += item;
    return text + "]}";
  };
  // The fastest of a few runs, taken in turns, so that both kinds meet the
  // same load of a shared machine.
  auto duration = [](const std::string& text) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(parse_manifest(text).ok());
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
        .count();
  };
  const std::string objects = holding("{}");
  const std::string arrays = holding("[]");
  double objects_time = 1e9;
  double arrays_time = 1e9;
  for (int run = 0; run < 5; ++run) {
    objects_time = std::min(objects_time, duration(objects));
    arrays_time = std::min(arrays_time, duration(arrays));
  }
  EXPECT_LT(objects_time, 5 * arrays_time)
      << objects_time << " ms for objects, " << arrays_time << " ms for arrays";

  std::string wide = head + "{";
  for (int i = 0; i < 20000; ++i) wide += "\"k" + std::to_string(i) + "\":{},";
  EXPECT_TRUE(parse_manifest(wide + "\"last\":0}}").ok());
  Result<OtaManifest> repeated = parse_manifest(wide + "\"k0\":0}}");
  ASSERT_FALSE(repeated.ok());
  EXPECT_EQ(repeated.error(), "duplicate field `k0`");
}

TEST(CatalogRecordsTest, ManifestNeedsIdVersionAndDownloadUrl) {
  Result<OtaManifest> manifest = parse_manifest(R"({"id":"ze","version":"1.1","downloadUrl":"u"})");
  ASSERT_TRUE(manifest.ok());
  EXPECT_EQ(manifest->channels_url, "");
  EXPECT_FALSE(parse_manifest(R"({"id":"ze","version":"1.1"})").ok());
  EXPECT_FALSE(parse_manifest("<html>Not Found</html>").ok());
}

TEST(CatalogRecordsTest, StateFileNumbersMustBeWholeAndInRange) {
  auto state_with = [](const std::string& pid, const std::string& started) {
    return R"({"station_id":"a","station_name":"A","stream_url":"u","frequency":"f","pid":)" + pid +
           R"(,"started_at":)" + started + "}";
  };
  Result<PersistedState> good = parse_state(state_with("4294967295", "0"));
  ASSERT_TRUE(good.ok()) << good.error();
  EXPECT_EQ(good->pid, 4294967295u);
  EXPECT_TRUE(parse_state(state_with("1", "18446744073709551615")).ok());
  for (const char* pid : {"-1", "1.5", "4294967296", "\"12\"", "null", "1e400"}) {
    EXPECT_FALSE(parse_state(state_with(pid, "0")).ok()) << pid;
  }
  EXPECT_FALSE(parse_state(state_with("1", "-5")).ok());
}

TEST(CatalogRecordsTest, StateIsWrittenCompactInKeyOrder) {
  PersistedState state{"vov giao thông", "VOV Giao Thông", "http://x/a\"b\\c/", "FM\t91\x01", 42, 7,
                       std::nullopt, std::nullopt};
  std::string text = write_state(state);
  EXPECT_EQ(text,
            "{\"station_id\":\"vov giao thông\",\"station_name\":\"VOV Giao Thông\","
            "\"stream_url\":\"http://x/a\\\"b\\\\c/\",\"frequency\":\"FM\\t91\\u0001\","
            "\"pid\":42,\"started_at\":7}");
  Result<PersistedState> back = parse_state(text);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->frequency, state.frequency);
  EXPECT_FALSE(back->process_start.has_value() || back->process_name.has_value());

  // The engine's identity follows, and reads back.
  state.process_start = 123456;
  state.process_name = "sh";
  text = write_state(state);
  EXPECT_TRUE(text.ends_with(",\"started_at\":7,\"process_start\":123456,\"process_name\":\"sh\"}"))
      << text;
  back = parse_state(text);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->process_start, 123456u);
  EXPECT_EQ(back->process_name, "sh");
  EXPECT_FALSE(parse_state(text.replace(text.find("123456"), 6, "-1")).ok());
}

TEST(CatalogRecordsTest, FavoritesDocumentForm) {
  EXPECT_EQ(write_favorites({}), "[]");
  EXPECT_EQ(write_favorites({"vov1", "voh-fm999"}), "[\n  \"vov1\",\n  \"voh-fm999\"\n]");
  Result<std::vector<std::string>> ids = parse_favorites("[\"a\",\"b\",\"a\"]");
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ(ids->size(), 3u);
  EXPECT_FALSE(parse_favorites(R"({"a":1})").ok());
  EXPECT_FALSE(parse_favorites(R"(["a",1])").ok());
  EXPECT_FALSE(parse_favorites(R"(["a"] x)").ok());
}

TEST(CatalogRecordsTest, NowPlayingDocumentReadsBackAndEveryKeyIsOptional) {
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
