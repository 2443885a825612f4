// What streams say about themselves: title texts in every charset they come
// in, ICY metadata cut out of the audio, ID3 tags, and the timed ID3 tags
// of MPEG-TS and fragmented MP4 segments, fed in pieces as the network
// delivers them.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "stream/icy_metadata.h"
#include "stream/id3_tags.h"
#include "stream/timed_metadata.h"
#include "stream/title_text.h"

namespace ze::stream {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::string repeat(std::string_view piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(TitleText, EveryCharsetAndOddityComesOutAsTheTextToShow) {
  struct Case {
    std::string raw;  // bytes as the stream sent them
    std::optional<std::string> shown;
    std::string station = {};
  };
  const Case cases[] = {
      {"Sơn Tùng M-TP - Lạc Trôi", "Sơn Tùng M-TP - Lạc Trôi"},
      // Windows-1252, as old encoders send it.
      {"Caf\xe9 del Mar \x96 \x93" "Chill\x94", "Café del Mar – “Chill”"},
      // icecast2 with a mount at its default charset: ISO-8859-1 with the
      // characters beyond it as decimal references.
      {"S&#417;n T\xf9ng - L&#7841;c Tr\xf4i", "Sơn Tùng - Lạc Trôi"},
      // Decomposed tone marks become one letter each.
      {"Tie\xcc\x82\xcc\x81ng Vie\xcc\xa3\xcc\x82t Nam", "Tiếng Việt Nam"},
      {"Rock &amp; Roll &quot;Live&quot; &#x1F3B5; &#150; &bogus; &amp;#39; &#0;",
       "Rock & Roll \"Live\" \U0001F3B5 – &bogus; &#39;"},
      {"A\x01" "B\tC\r\nD\x7f\xc2\x85" "E\xef\xbb\xbf" "F", "AB C D EF"},
      {"  many   spaces\xc2\xa0here  ", "many spaces here"},
      {repeat("ă", 300), repeat("ă", 200)},
      {repeat("a", 199) + " b", repeat("a", 199)},
      {"", std::nullopt},
      {" - ", std::nullopt},
      {"\x81\x8d", std::nullopt},
      // UTF-8 cut at a byte limit in the middle of a letter: the letters
      // before it stay, the cut one goes.
      {"S\xc6\xa1n T\xc3\xb9ng M-TP - L\xe1\xba\xa1" "c Tr\xc3", "Sơn Tùng M-TP - Lạc Tr"},
      {"L\xe1\xba\xa1" "c L\xe1\xba", "Lạc L"},
      // Stray bytes among UTF-8 letters are Windows-1252; text without a
      // UTF-8 letter stays Windows-1252 to its last byte.
      {"Tr\xc3\xb4i \x96 Caf\xe9 \x93X\x94", "Trôi – Café “X”"},
      {"Caf\xe9", "Café"},
      {"\xc3\xa9t\xe9 !", "été !"},
      // Direction overrides, embeddings, isolates and marks are dropped;
      // the joiner of an emoji stays.
      {"A\u202eB\u202a\u202cC\u2066D\u2069\u200fE \U0001F469\u200d\U0001F467",
       "ABCDE \U0001F469\u200d\U0001F467"},
      {"\u202e\u200e", std::nullopt},
      {"Loopback  TEST radio", std::nullopt, "Loopback Test Radio"},
      {"Loopback Test Radio - News", "Loopback Test Radio - News", "Loopback Test Radio"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(normalize_title(decode_undeclared(c.raw), c.station), c.shown);
  }
}

TEST(IcyMetadata, BlocksAreCutOutExactlyWhateverPiecesTheBodyArrivesIn) {
  std::mt19937 random(5);
  const size_t metaint = 100;
  Bytes audio(5000);
  for (uint8_t& b : audio) b = static_cast<uint8_t>(random());
  // Every block: a title, an empty one, none (length 0), a long one.
  const std::vector<std::string> texts = {"StreamTitle='One';", "", "StreamTitle='';",
                                          "StreamTitle='" + repeat("x", 300) + "';"};
  Bytes body;
  std::vector<std::string> expected;
  for (size_t at = 0, n = 0; at < audio.size(); at += metaint, ++n) {
    size_t end = std::min(audio.size(), at + metaint);
    body.insert(body.end(), audio.begin() + at, audio.begin() + end);
    if (end - at < metaint) break;
    const std::string& text = texts[n % texts.size()];
    size_t blocks = (text.size() + 15) / 16;
    body.push_back(static_cast<uint8_t>(blocks));
    std::string padded = text + std::string(blocks * 16 - text.size(), '\0');
    body.insert(body.end(), padded.begin(), padded.end());
    if (!text.empty()) expected.push_back(text);
  }
  for (size_t most : {size_t{1}, size_t{7}, size_t{101}, size_t{4096}}) {
    IcyDeinterleaver icy(metaint);
    Bytes out;
    std::vector<std::string> blocks;
    for (size_t at = 0; at < body.size();) {
      size_t take = std::min(body.size() - at, 1 + random() % most);
      icy.feed(body.data() + at, take, out, blocks);
      at += take;
    }
    EXPECT_EQ(out, audio) << most;
    EXPECT_EQ(blocks, expected) << most;
  }
}

TEST(IcyMetadata, TitlesAndIntervalsAreReadAsServersWriteThem) {
  EXPECT_EQ(icy_stream_title("StreamTitle='A - B';StreamUrl='http://x/';"), "A - B");
  EXPECT_EQ(icy_stream_title("StreamTitle='Don't Stop';"), "Don't Stop");
  EXPECT_EQ(icy_stream_title("StreamTitle='';"), "");
  EXPECT_EQ(icy_stream_title("StreamTitle='cut short"), "cut short");
  EXPECT_EQ(icy_stream_title("StreamUrl='x';"), std::nullopt);
  EXPECT_EQ(parse_icy_metaint("16000"), 16000u);
  EXPECT_EQ(parse_icy_metaint(" 8192 "), 8192u);
  EXPECT_EQ(parse_icy_metaint("2000000"), 2000000u);
  EXPECT_EQ(parse_icy_metaint("99999999999999999999999"), size_t{1} << 40);
  for (const char* bad : {"", "0", "-1", "12a", "8192abc", "0x2000"}) {
    EXPECT_EQ(parse_icy_metaint(bad), std::nullopt) << bad;
  }
}

// An ID3v2 tag of the given version with these frames (id, body).
Bytes id3_tag(int version, const std::vector<std::pair<std::string, Bytes>>& frames,
              uint8_t flags = 0, size_t padding = 0) {
  // Unsynchronisation: a 0x00 after every 0xFF, of each frame in 2.4, of
  // the whole body before.
  auto unsynchronised = [](const Bytes& in) {
    Bytes out;
    for (uint8_t b : in) {
      out.push_back(b);
      if (b == 0xFF) out.push_back(0);
    }
    return out;
  };
  Bytes body;
  for (auto [id, content] : frames) {
    if (version == 4 && (flags & 0x80)) content = unsynchronised(content);
    body.insert(body.end(), id.begin(), id.end());
    size_t n = content.size();
    if (version == 2) {
      body.insert(body.end(), {uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    } else if (version == 4) {
      body.insert(body.end(), {uint8_t((n >> 21) & 0x7F), uint8_t((n >> 14) & 0x7F),
                               uint8_t((n >> 7) & 0x7F), uint8_t(n & 0x7F), 0, 0});
    } else {
      body.insert(body.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0, 0});
    }
    body.insert(body.end(), content.begin(), content.end());
  }
  if (version < 4 && (flags & 0x80)) body = unsynchronised(body);
  body.resize(body.size() + padding, 0);
  size_t n = body.size();
  Bytes tag = {'I', 'D', '3', uint8_t(version), 0, flags, uint8_t((n >> 21) & 0x7F),
               uint8_t((n >> 14) & 0x7F), uint8_t((n >> 7) & 0x7F), uint8_t(n & 0x7F)};
  tag.insert(tag.end(), body.begin(), body.end());
  return tag;
}

Bytes text_frame(uint8_t encoding, const Bytes& text) {
  Bytes out = {encoding};
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

TEST(Id3Tags, TitleAndArtistAreReadInTheEncodingEachFrameDeclares) {
  struct Case {
    const char* name;
    Bytes tag;
    std::optional<std::string> title, artist;
  };
  const Bytes utf16le_bom = {0xFF, 0xFE, 'S', 0, 0xA1, 0x01, 'n', 0, 0, 0};  // "Sơn"
  const Bytes utf16be = {0x00, 'T', 0x00, 0xF9, 0x00, 'n', 0x00, 'g'};        // "Tùng"
  const Case cases[] = {
      {"2.4 UTF-8", id3_tag(4, {{"TIT2", text_frame(3, bytes("Lạc Trôi"))},
                                {"TPE1", text_frame(3, bytes("Sơn Tùng M-TP"))}}, 0, 20),
       "Lạc Trôi", "Sơn Tùng M-TP"},
      {"2.3 UTF-16 with BOM", id3_tag(3, {{"TIT2", text_frame(1, utf16le_bom)}}), "Sơn",
       std::nullopt},
      {"2.4 UTF-16BE", id3_tag(4, {{"TPE1", text_frame(2, utf16be)}}), std::nullopt, "Tùng"},
      {"ISO-8859-1", id3_tag(3, {{"TIT2", text_frame(0, bytes("Caf\xe9"))}}), "Café", std::nullopt},
      {"TXXX", id3_tag(4, {{"TXXX", text_frame(3, bytes(std::string("title") + '\0' + "Bài Ca"))},
                           {"TXXX", text_frame(3, bytes(std::string("ARTIST") + '\0' + "Mỹ Tâm"))}}),
       "Bài Ca", "Mỹ Tâm"},
      {"2.2", id3_tag(2, {{"TT2", text_frame(0, bytes("Old"))}, {"TP1", text_frame(0, bytes("Tag"))}}),
       "Old", "Tag"},
      {"2.3 unsynchronised", id3_tag(3, {{"TIT2", text_frame(1, {0xFF, 0xFE, 'A', 0})}}, 0x80),
       "A", std::nullopt},
      // Only the header says so; the frames' own flags are clear.
      {"2.4 unsynchronised", id3_tag(4, {{"TIT2", text_frame(0, bytes("\xFF\xFFy \xFFz"))},
                                         {"TPE1", text_frame(1, {0xFF, 0xFE, 'A', 0})}}, 0x80),
       "ÿÿy ÿz", "A"},
      {"timestamp only", id3_tag(4, {{"PRIV", bytes("com.apple.streaming.transportStreamTimestamp")}}),
       std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Id3Titles titles = read_id3_titles(c.tag);
    EXPECT_EQ(titles.title, c.title);
    EXPECT_EQ(titles.artist, c.artist);
    EXPECT_EQ(id3_tag_size(c.tag), c.tag.size());
  }
  // A tag cut short gives the frames that are whole.
  Bytes tag = id3_tag(4, {{"TIT2", text_frame(3, bytes("Whole"))}, {"TPE1", text_frame(3, bytes("Cut"))}});
  tag.resize(tag.size() - 2);
  EXPECT_EQ(read_id3_titles(tag).title, "Whole");
  EXPECT_EQ(read_id3_titles(tag).artist, std::nullopt);
  EXPECT_EQ(id3_tag_size(bytes("ID3\x04\x00\x00\x80\x00\x00\x00")), std::nullopt);
}

// MPEG-TS packets: PAT, a PMT with an audio and a metadata stream, audio
// packets and one metadata PES carrying `tag` across two packets.
Bytes transport_stream(const Bytes& tag, size_t& tag_packet_offset) {
  auto packet = [](uint16_t pid, bool start, Bytes payload) {
    Bytes p = {0x47, uint8_t((start ? 0x40 : 0) | (pid >> 8)), uint8_t(pid), 0x10};
    if (payload.size() < 184) {  // stuffed through the adaptation field
      size_t stuffing = 184 - payload.size();
      p[3] = 0x30;
      p.push_back(uint8_t(stuffing - 1));
      if (stuffing > 1) {
        p.push_back(0);
        p.insert(p.end(), stuffing - 2, 0xFF);
      }
    }
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
  };
  Bytes pat = {0, 0x00, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 1, 0xF0, 0x00, 0, 0, 0, 0};
  Bytes pmt = {0, 0x02, 0xB0, 23, 0, 1, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0,
               0x0F, 0xE1, 0x00, 0xF0, 0, 0x15, 0xE1, 0x01, 0xF0, 0, 0, 0, 0, 0};
  Bytes pes = {0, 0, 1, 0xBD, 0, 0, 0x84, 0x80, 5, 0x21, 0, 1, 0, 1};
  size_t pes_length = pes.size() - 6 + tag.size();
  pes[4] = uint8_t(pes_length >> 8);
  pes[5] = uint8_t(pes_length);
  pes.insert(pes.end(), tag.begin(), tag.end());
  Bytes ts;
  auto add = [&](const Bytes& p) { ts.insert(ts.end(), p.begin(), p.end()); };
  add(packet(0, true, pat));
  add(packet(0x1000, true, pmt));
  for (int i = 0; i < 3; ++i) add(packet(0x100, i == 0, Bytes(184, uint8_t(i))));
  tag_packet_offset = ts.size();
  add(packet(0x101, true, Bytes(pes.begin(), pes.begin() + 184)));
  add(packet(0x101, false, Bytes(pes.begin() + 184, pes.end())));
  add(packet(0x100, false, Bytes(184, 9)));
  return ts;
}

// A box of `type` around `content`.
Bytes box(const char* type, const Bytes& content) {
  size_t n = content.size() + 8;
  Bytes out = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n),
               uint8_t(type[0]), uint8_t(type[1]), uint8_t(type[2]), uint8_t(type[3])};
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::vector<FoundTag> scan(const Bytes& segment, size_t most, std::mt19937& random,
                           TimedMetadataScanner& scanner) {
  std::vector<FoundTag> found;
  for (size_t at = 0; at < segment.size();) {
    size_t take = std::min(segment.size() - at, 1 + random() % most);
    scanner.feed(segment.data() + at, take, found);
    at += take;
  }
  scanner.end_segment(found);
  return found;
}

TEST(TimedMetadata, TagsInTransportStreamsAndEmsgBoxesAreFoundWhereTheyBegin) {
  std::mt19937 random(9);
  const Bytes tag = id3_tag(4, {{"TIT2", text_frame(3, bytes(repeat("Bài hát ", 30)))}});
  ASSERT_GT(tag.size() + 14, 184u);  // the PES spans two packets
  size_t tag_offset = 0;
  const Bytes ts = transport_stream(tag, tag_offset);

  Bytes emsg0 = {0, 0, 0, 0};
  for (const char* s : {"https://aomedia.org/emsg/ID3", "0"}) emsg0.insert(emsg0.end(), s, s + strlen(s) + 1);
  emsg0.insert(emsg0.end(), 16, 0);
  emsg0.insert(emsg0.end(), tag.begin(), tag.end());
  Bytes emsg1 = {1, 0, 0, 0};
  emsg1.insert(emsg1.end(), 20, 0);
  for (const char* s : {"https://developer.apple.com/streaming/emsg-id3", ""}) {
    emsg1.insert(emsg1.end(), s, s + strlen(s) + 1);
  }
  emsg1.insert(emsg1.end(), tag.begin(), tag.end());
  Bytes other = {0, 0, 0, 0};
  for (const char* s : {"urn:scte:scte35:2013:bin", ""}) other.insert(other.end(), s, s + strlen(s) + 1);
  other.insert(other.end(), 16, 0);
  other.insert(other.end(), tag.begin(), tag.end());
  Bytes mp4;
  for (const Bytes& b : {box("styp", bytes("msdh")), box("emsg", emsg0), box("emsg", other),
                         box("moof", Bytes(100, 1)), box("mdat", Bytes(3000, 2)), box("emsg", emsg1)}) {
    mp4.insert(mp4.end(), b.begin(), b.end());
  }
  const size_t second_emsg = mp4.size() - box("emsg", emsg1).size();

  for (size_t most : {size_t{1}, size_t{13}, size_t{500}, size_t{100000}}) {
    TimedMetadataScanner scanner;
    std::vector<FoundTag> found = scan(ts, most, random, scanner);
    ASSERT_EQ(found.size(), 1u) << most;
    EXPECT_EQ(found[0].offset, tag_offset);
    EXPECT_EQ(found[0].tag, tag);
    // The tables carry over to the next segment, which has none.
    Bytes next(ts.begin() + 2 * 188, ts.end());
    found = scan(next, most, random, scanner);
    ASSERT_EQ(found.size(), 1u) << most;
    EXPECT_EQ(found[0].offset, tag_offset - 2 * 188);

    TimedMetadataScanner boxes;
    found = scan(mp4, most, random, boxes);
    ASSERT_EQ(found.size(), 2u) << most;
    EXPECT_EQ(found[0].offset, box("styp", bytes("msdh")).size());
    EXPECT_EQ(found[1].offset, second_emsg);
    EXPECT_EQ(found[1].tag, tag);

    TimedMetadataScanner plain;
    EXPECT_TRUE(scan(Bytes(1000, 0xFF), most, random, plain).empty());
  }
}

}  // namespace
}  // namespace ze::stream
