#include "formats/playlist.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace ze {
namespace {

TEST(ResolveUrl, FollowsTheReferenceResolutionRules) {
  const std::string base = "http://a/b/c/d;p?q#frag";
  struct Case {
    const char* reference;
    const char* expected;
  } cases[] = {
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"//cdn.example/x/../y.ts?t=1", "http://cdn.example/y.ts?t=1"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q"},
      {"g#s", "http://a/b/c/g"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../..", "http://a/"},
      {"../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"HTTPS://Host/Seg.ts", "https://Host/Seg.ts"},
      {"http:/.//x", "http:/.//x"},  // not "http://x"
      // Encoded as curl sends it (a space in the query as "+"); what is
      // encoded already stays.
      {"my dir/x y.ts", "http://a/b/c/my%20dir/x%20y.ts"},
      {"/caf\xc3\xa9 x/\xff?q=\xc3\xa9 a b&c=\"<>", "http://a/caf%c3%a9%20x/%ff?q=%c3%a9+a+b&c=\"<>"},
      {"//h\xc3\xa9/My%20Dir/?a+b", "http://h\xc3\xa9/My%20Dir/?a+b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolve_url(base, c.reference), c.expected) << c.reference;
  }
  EXPECT_EQ(resolve_url("https://host", "live.m3u8"), "https://host/live.m3u8");
  EXPECT_EQ(resolve_url("", "https://x/y"), "https://x/y");
  EXPECT_EQ(resolve_url("", "relative/y"), "relative/y");
  // An empty reference is the base itself, normalised.
  EXPECT_EQ(resolve_url("http://h/a/../b/?q", ""), "http://h/b/?q");
}

TEST(SniffContent, TellsPlaylistsFromAudio) {
  const std::string mp3_frame("\xFF\xFB\x90\x64\x00\x0F\xF0\x00", 8);
  const std::string adts("\xFF\xF1\x50\x80\x02\x1F\xFC", 7);
  const std::string id3("ID3\x04\x00\x00\x00\x00\x00\x21", 10);
  const std::string ts("\x47\x40\x00\x10\x00\x00\xB0\x0D", 8);
  const std::string mp4("\x00\x00\x00\x18" "ftypiso6", 12);
  struct Case {
    const char* url;
    const char* content_type;
    std::string bytes;
    ContentKind expected;
  } cases[] = {
      {"http://h/live.m3u8", "", "#EXTM3U\n#EXT-X-VERSION:3\n", ContentKind::HlsPlaylist},
      {"http://h/x", "text/plain", "\xEF\xBB\xBF\r\n#EXTM3U\r\n#EXT-X-TARGETDURATION:6",
       ContentKind::HlsPlaylist},
      {"http://h/a.M3U8?token=1", "", "#EXTM3U\n#EXTINF:10,\n", ContentKind::HlsPlaylist},
      {"http://h/x", "application/vnd.apple.mpegurl", "#EXTM3U\n", ContentKind::HlsPlaylist},
      {"http://h/x", "Application/X-MpegURL; charset=utf-8", "#EXTM3U\n", ContentKind::HlsPlaylist},
      {"http://h/list.m3u", "audio/x-mpegurl", "#EXTM3U\n#EXTINF:-1,A\nhttp://s/a\n", ContentKind::M3u},
      {"http://h/list", "audio/x-mpegurl", "http://s/a\n", ContentKind::M3u},
      {"http://h/list.m3u", "", "http://s/a\n", ContentKind::M3u},
      {"http://h/x", "text/plain", "  https://s/a\r\nhttps://s/b", ContentKind::M3u},
      {"http://h/x", "", "[Playlist]\nNumberOfEntries=1\n", ContentKind::Pls},
      {"http://h/x.pls", "", "File1=http://s/a\n", ContentKind::Pls},
      {"http://h/x", "audio/x-scpls", "\n", ContentKind::Pls},
      {"http://h/stream", "audio/mpeg", mp3_frame, ContentKind::Media},
      // Audio stays audio whatever the address and header claim.
      {"http://h/x.m3u8", "application/vnd.apple.mpegurl", adts, ContentKind::Media},
      {"http://h/x.pls", "audio/x-scpls", mp3_frame, ContentKind::Media},
      {"http://h/x.m3u", "audio/x-mpegurl", id3, ContentKind::Media},
      {"http://h/seg.ts", "", ts, ContentKind::Media},
      {"http://h/seg.mp4", "", mp4, ContentKind::Media},
      {"http://h/x", "audio/aac", "not a playlist", ContentKind::Media},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sniff_content(c.url, c.content_type, c.bytes), c.expected) << c.url << " " << c.bytes;
  }
}

TEST(ParseM3u, ReadsEntriesTitlesAndSkipsWhatCannotPlay) {
  const std::string text =
      "\xEF\xBB\xBF#EXTM3U\r\n"
      "#EXTINF:-1 tvg-name=\"a,b\",  VOV 1 \x01 Thời sự  \r\n"
      "https://radio.example/vov1.m3u8\r\n"
      "\r\n"
      "# a comment\n"
      "#EXTINF:-1,Ignored title of a skipped entry\n"
      "-o/tmp/owned\n"
      "file:///etc/passwd\n"
      "relative/stream.mp3\n"
      "#EXTINF:120,Caf\xE9\n"  // Latin-1
      "http://radio.example/cafe\n"
      "\thttp://radio.example/last\t\n";
  Playlist list = parse_m3u(text, "http://lists.example/dir/list.m3u", 10);
  ASSERT_EQ(list.entries.size(), 4u);
  EXPECT_EQ(list.entries[0].url, "https://radio.example/vov1.m3u8");
  EXPECT_EQ(list.entries[0].title, "VOV 1  Thời sự");
  EXPECT_EQ(list.entries[0].line, 3u);
  EXPECT_EQ(list.entries[1].url, "http://lists.example/dir/relative/stream.mp3");
  EXPECT_EQ(list.entries[1].title, "");
  EXPECT_EQ(list.entries[1].line, 9u);
  EXPECT_EQ(list.entries[2].title, "Caf\xC3\xA9");
  EXPECT_EQ(list.entries[3].url, "http://radio.example/last");
  EXPECT_EQ(list.entries[3].line, 12u);
  ASSERT_EQ(list.skipped.size(), 2u);
  EXPECT_EQ(list.skipped[0].line, 7u);
  EXPECT_EQ(list.skipped[0].reason, "starts with '-'");
  EXPECT_EQ(list.skipped[1].line, 8u);

  // Without a base, relative entries cannot be played, and addresses stay
  // as written (a space is no address).
  Playlist own = parse_m3u("relative\nhttp://a/b\nhttp://a/k\xc3\xaanh\nhttp://a/my dir\n", "", 10);
  ASSERT_EQ(own.entries.size(), 2u);
  EXPECT_EQ(own.entries[1].url, "http://a/k\xc3\xaanh");
  EXPECT_EQ(own.skipped.size(), 2u);
  // A list fetched from an address holds what curl would fetch.
  Playlist fetched = parse_m3u("http://a/k\xc3\xaanh\nmy dir/x.mp3\n", "http://lists.example/", 10);
  ASSERT_EQ(fetched.entries.size(), 2u);
  EXPECT_EQ(fetched.entries[0].url, "http://a/k%c3%aanh");
  EXPECT_EQ(fetched.entries[1].url, "http://lists.example/my%20dir/x.mp3");

  Playlist limited = parse_m3u(text, "http://lists.example/", 2);
  EXPECT_EQ(limited.entries.size(), 2u);
  EXPECT_EQ(limited.entries[1].line, 9u);
}

TEST(ParsePls, OrdersEntriesByNumberWithTheirTitles) {
  const std::string text =
      "[playlist]\r\n"
      "NumberOfEntries=4\r\n"
      "Title2=Second\r\n"
      "File2 = http://s.example:8000/b\r\n"
      "file1=stream/a.aac\r\n"
      "Title1=  First\x7f \r\n"
      "File10=-x\r\n"
      "File3=ftp://s.example/c\r\n"
      "File4=\r\n"
      "File1=http://duplicate/\r\n"
      "Title7=orphan\r\n"
      "Version=2\r\n";
  Playlist list = parse_pls(text, "https://lists.example/p.pls", 10);
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[0].url, "https://lists.example/stream/a.aac");
  EXPECT_EQ(list.entries[0].title, "First");
  EXPECT_EQ(list.entries[0].line, 5u);
  EXPECT_EQ(list.entries[1].url, "http://s.example:8000/b");
  EXPECT_EQ(list.entries[1].title, "Second");
  ASSERT_EQ(list.skipped.size(), 3u);
  EXPECT_EQ(list.skipped[0].line, 8u);  // File3
  EXPECT_EQ(list.skipped[1].line, 9u);  // File4, empty
  EXPECT_EQ(list.skipped[2].line, 7u);  // File10
  EXPECT_EQ(parse_pls(text, "https://lists.example/", 1).entries.size(), 1u);
}

const HlsMediaPlaylist& media_of(const Result<HlsPlaylist>& result) {
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error());
  return std::get<HlsMediaPlaylist>(result.value());
}

TEST(ParseHls, ReadsAMediaPlaylistWithEveryTagThatMatters) {
  const std::string text =
      "#EXTM3U\n"
      "#EXT-X-VERSION:7\n"
      "#EXT-X-TARGETDURATION:6\n"
      "#EXT-X-MEDIA-SEQUENCE:1000\n"
      "#EXT-X-DISCONTINUITY-SEQUENCE:4\n"
      "#EXT-X-PLAYLIST-TYPE:EVENT\n"
      "#EXT-X-MAP:URI=\"init.mp4\",BYTERANGE=\"720@0\"\n"
      "#EXTINF:5.97,\n"
      "#EXT-X-BYTERANGE:1000@720\n"
      "media.mp4\n"
      "#EXTINF:6.0,title\n"
      "#EXT-X-BYTERANGE:500\n"
      "media.mp4\n"
      "#EXT-X-KEY:METHOD=AES-128,URI=\"https://keys.example/k?id=1,2\",IV=0x0102\n"
      "#EXT-X-DISCONTINUITY\n"
      "#EXTINF:6,\n"
      "../other/seg3.ts\n"
      "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://x\"\n"
      "#EXT-X-KEY:METHOD=AES-128,URI=\"k2\"\n"
      "#EXTINF:6,\n"
      "seg4.ts\n"
      "#EXT-X-KEY:METHOD=NONE\n"
      "#EXT-X-KEY:METHOD=AES-128,KEYFORMAT=\"com.example.drm\",URI=\"k3\"\n"
      "#EXTINF:6,\n"
      "seg5.ts\n"
      "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k4\"\n"
      "#EXTINF:6,\n"
      "seg6.ts\n"
      "#EXT-X-ENDLIST\n";
  Result<HlsPlaylist> parsed = parse_hls(text, "https://cdn.example/live/a/index.m3u8");
  const HlsMediaPlaylist& media = media_of(parsed);
  EXPECT_EQ(media.target_duration, 6);
  EXPECT_EQ(media.media_sequence, 1000u);
  EXPECT_EQ(media.discontinuity_sequence, 4u);
  EXPECT_TRUE(media.ended);
  EXPECT_EQ(media.type, HlsPlaylistType::Event);
  ASSERT_EQ(media.segments.size(), 6u);
  for (size_t i = 0; i < media.segments.size(); ++i) {
    EXPECT_EQ(media.segments[i].sequence, 1000 + i);
    ASSERT_TRUE(media.segments[i].map);
    EXPECT_EQ(media.segments[i].map->uri, "https://cdn.example/live/a/init.mp4");
  }
  const HlsSegment& first = media.segments[0];
  EXPECT_DOUBLE_EQ(first.duration, 5.97);
  EXPECT_EQ(first.uri, "https://cdn.example/live/a/media.mp4");
  ASSERT_TRUE(first.map->byte_range);
  EXPECT_EQ(first.map->byte_range->length, 720u);
  ASSERT_TRUE(first.byte_range);
  EXPECT_EQ(first.byte_range->offset, 720u);
  ASSERT_TRUE(media.segments[1].byte_range);
  EXPECT_EQ(media.segments[1].byte_range->length, 500u);
  EXPECT_EQ(media.segments[1].byte_range->offset, 1720u);  // continues the previous range
  EXPECT_FALSE(media.segments[1].key);
  EXPECT_EQ(media.segments[1].discontinuity_sequence, 4u);

  const HlsSegment& third = media.segments[2];
  EXPECT_EQ(third.uri, "https://cdn.example/live/other/seg3.ts");
  EXPECT_TRUE(third.discontinuity);
  EXPECT_EQ(third.discontinuity_sequence, 5u);
  EXPECT_FALSE(third.byte_range);
  ASSERT_TRUE(third.key);
  EXPECT_EQ(third.key->method, HlsKeyMethod::Aes128);
  EXPECT_EQ(third.key->uri, "https://keys.example/k?id=1,2");
  ASSERT_TRUE(third.key->iv);
  EXPECT_EQ((*third.key->iv)[14], 0x01);
  EXPECT_EQ((*third.key->iv)[15], 0x02);
  EXPECT_EQ((*third.key->iv)[0], 0x00);
  // Of two keys offered for the same segments, the playable one wins.
  ASSERT_TRUE(media.segments[3].key);
  EXPECT_EQ(media.segments[3].key->method, HlsKeyMethod::Aes128);
  EXPECT_EQ(media.segments[3].key->uri, "https://cdn.example/live/a/k2");
  EXPECT_FALSE(media.segments[3].key->iv);
  EXPECT_FALSE(media.segments[3].discontinuity);
  EXPECT_FALSE(media.segments[4].key);  // METHOD=NONE beats a DRM format
  ASSERT_TRUE(media.segments[5].key);
  EXPECT_EQ(media.segments[5].key->method, HlsKeyMethod::Unsupported);
  EXPECT_EQ(media.segments[5].key->method_name, "SAMPLE-AES");
}

TEST(ParseHls, ReadsAMasterPlaylist) {
  const std::string text =
      "#EXTM3U\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"English\",DEFAULT=YES,URI=\"audio/en.m3u8\"\n"
      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"Muxed\"\n"
      "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"s\",NAME=\"x\",URI=\"subs.m3u8\"\n"
      "#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.2,avc1.4d401f\",AUDIO=\"aac\"\n"
      "video/low.m3u8\n"
      "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=1000,URI=\"iframe.m3u8\"\n"
      "#EXT-X-STREAM-INF:CODECS=\"mp4a.40.5\",BANDWIDTH=64000\n"
      "\n"
      "https://other.example/audio.m3u8\n";
  Result<HlsPlaylist> parsed = parse_hls(text, "http://h.example/master.m3u8");
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  const auto& master = std::get<HlsMasterPlaylist>(*parsed);
  ASSERT_EQ(master.variants.size(), 2u);
  EXPECT_EQ(master.variants[0].uri, "http://h.example/video/low.m3u8");
  EXPECT_EQ(master.variants[0].bandwidth, 128000u);
  EXPECT_EQ(master.variants[0].codecs, "mp4a.40.2,avc1.4d401f");
  EXPECT_EQ(master.variants[0].audio_group, "aac");
  EXPECT_EQ(master.variants[1].uri, "https://other.example/audio.m3u8");
  EXPECT_EQ(master.variants[1].bandwidth, 64000u);
  ASSERT_EQ(master.audio_renditions.size(), 1u);
  EXPECT_EQ(master.audio_renditions[0].uri, "http://h.example/audio/en.m3u8");
  EXPECT_EQ(master.audio_renditions[0].name, "English");
  EXPECT_TRUE(master.audio_renditions[0].is_default);
}

TEST(ParseHls, RefusesBrokenOrHostilePlaylists) {
  const std::string head = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n";
  struct Case {
    std::string text;
    const char* message_part;
  } cases[] = {
      {"", "empty"},
      {"\xFF\xFB\x90\x64", "no #EXTM3U"},
      {"#EXTINF:10,\nhttp://a/b\n", "no #EXTM3U"},
      {"#EXTM3U\n#EXTINF:-1,Station\nhttp://radio/a\n", "line 2"},
      {"#EXTM3U\n#EXTINF:10,\nhttp://radio/a\n", "no #EXT-X-TARGETDURATION"},
      {"#EXTM3U\n#EXT-X-TARGETDURATION:0\n", "TARGETDURATION"},
      {"#EXTM3U\n#EXT-X-TARGETDURATION:99999\n", "TARGETDURATION"},
      {"#EXTM3U\n#EXT-X-TARGETDURATION:nan\n", "TARGETDURATION"},
      {head + "#EXT-X-MEDIA-SEQUENCE:18446744073709551615\n", "sequence"},
      {head + "#EXT-X-MEDIA-SEQUENCE:99999999999999999999999\n", "sequence"},
      {head + "#EXTINF:inf,\na.ts\n", "#EXTINF"},
      {head + "a.ts\n", "line 3: a URI without #EXTINF"},
      {head + "#EXTINF:6,\nfile:///etc/passwd\n", "http(s)"},
      {head + "#EXTINF:6,\n" + std::string(kMaxAddressLength + 1, 'a') + "\n", "too long"},
      {head + "#EXT-X-BYTERANGE:100\n#EXTINF:6,\na.ts\n", "BYTERANGE"},
      {head + "#EXT-X-BYTERANGE:18446744073709551615@2\n#EXTINF:6,\na.ts\n", "BYTERANGE"},
      {head + "#EXT-X-KEY:URI=\"k\"\n", "METHOD"},
      {head + "#EXT-X-KEY:METHOD=AES-128\n", "key without a URI"},
      {head + "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x" + std::string(33, '1') + "\n", "IV"},
      {head + "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0xZZ\n", "IV"},
      {head + "#EXT-X-MAP:BYTERANGE=\"1@0\"\n", "#EXT-X-MAP without a URI"},
      {head + "#EXTINF:6,\n" + std::string(kMaxHlsLine + 1, 'x') + "\n", "line 4: longer"},
      {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n", "without a URI"},
      {"#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=x\nv.m3u8\n", "BANDWIDTH"},
      {head + "#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n#EXTINF:6,\na.ts\n", "mixes"},
  };
  for (const Case& c : cases) {
    Result<HlsPlaylist> parsed = parse_hls(c.text, "http://h/p.m3u8");
    ASSERT_FALSE(parsed.ok()) << c.text.substr(0, 200);
    EXPECT_NE(parsed.error().find(c.message_part), std::string::npos)
        << parsed.error() << " for " << c.text.substr(0, 200);
  }
}

TEST(ParseHls, BoundsTheSegmentCountAndStaysLinear) {
  std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
  for (size_t i = 0; i < kMaxHlsSegments; ++i) text += "#EXTINF:1,\ns.ts\n";
  auto start = std::chrono::steady_clock::now();
  Result<HlsPlaylist> parsed = parse_hls(text, "http://h/");
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(std::get<HlsMediaPlaylist>(*parsed).segments.back().sequence, kMaxHlsSegments - 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  text += "#EXTINF:1,\ns.ts\n";
  EXPECT_FALSE(parse_hls(text, "http://h/").ok());

  // Short lines at a long address: the resolved addresses stay bounded.
  std::string base = "http://h/" + std::string(kMaxAddressLength - 100, 'a') + "/index.m3u8";
  std::string many = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
  for (size_t i = 0; i < kMaxResolvedBytes / (kMaxAddressLength - 100) + 1; ++i) many += "#EXTINF:1,\ns.ts\n";
  Result<HlsPlaylist> long_base = parse_hls(many, base);
  ASSERT_FALSE(long_base.ok());
  EXPECT_NE(long_base.error().find("add up to more than 4 MB"), std::string::npos);
  EXPECT_TRUE(parse_hls(many, "http://h/index.m3u8").ok());
}

TEST(VariantOrder, PrefersAudioThenBandwidthUnderTheLimit) {
  HlsMasterPlaylist master;
  auto variant = [&](const char* uri, uint64_t bandwidth, const char* codecs, const char* group = "") {
    master.variants.push_back({uri, bandwidth, codecs, group, 0});
  };
  variant("http://h/v-800k", 800000, "avc1.4d401f,mp4a.40.2");
  variant("http://h/a-64k", 64000, "mp4a.40.5");
  variant("http://h/a-320k", 320000, "MP4A.40.2");
  variant("http://h/a-128k", 128000, "mp4a.40.2");
  variant("http://h/unknown-96k", 96000, "");
  variant("http://h/a-256k", 256000, "mp4a.40.2");
  variant("http://h/v-only", 50000, "avc1.4d401f");
  variant("http://h/ec3", 200000, "ec-3");
  variant("http://h/mp3", 100000, "mp3");
  variant("http://h/dolby", 400000, "avc1.4d401f", "dolby");
  master.audio_renditions.push_back({"http://h/r-other", "aac", "Other", false, 0});
  master.audio_renditions.push_back({"http://h/r-default", "aac", "Main", true, 0});
  master.audio_renditions.push_back({"http://h/r-dolby", "dolby", "AC-3", true, 0});
  master.audio_renditions.push_back({"http://h/a-64k", "aac", "Same address as a variant", false, 0});
  // Variants naming the "aac" group carry a codec we play.
  master.variants[0].audio_group = "aac";

  std::vector<std::string> order;
  for (const HlsChoice& choice : variant_order(master, 200000)) {
    order.push_back(choice.uri);
    const std::string& uri = choice.rendition ? master.audio_renditions[choice.index].uri
                                              : master.variants[choice.index].uri;
    EXPECT_EQ(uri, choice.uri);
  }
  const std::vector<std::string> expected = {
      "http://h/r-default", "http://h/r-other", "http://h/a-64k",   // renditions
      "http://h/a-128k",    "http://h/mp3",     "http://h/a-256k", "http://h/a-320k",  // audio
      "http://h/unknown-96k", "http://h/v-800k",                   // others
      "http://h/r-dolby",   "http://h/ec3",     "http://h/v-only", "http://h/dolby",  // unplayable
  };
  EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace ze
