// The stream engine's plumbing: the byte queue between its two threads, how
// curl's failures are classified, and the segment filters (AES-128
// decryption, ID3 removal), fed in pieces as the network delivers them.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/process.h"
#include "stream/byte_queue.h"
#include "stream/fetch.h"
#include "stream/now_playing_file.h"
#include "stream/segment_filters.h"
#include "temp_dir.h"

namespace ze::stream {
namespace {

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string read_stream(ByteQueue& queue) {
  std::string text;
  uint8_t buffer[3];
  while (size_t got = queue.read(buffer, sizeof buffer)) text.append(buffer, buffer + got);
  return text;
}

TEST(ByteQueue, StreamsArriveInOrderWithTheirMarksThroughASmallBuffer) {
  ByteQueue queue(4);  // smaller than what is pushed: the producer waits
  std::thread producer([&] {
    auto first = bytes("first stream");
    auto second = bytes("second");
    EXPECT_TRUE(queue.push(first.data(), first.size()));
    EXPECT_TRUE(queue.begin_stream());
    EXPECT_TRUE(queue.push(second.data(), second.size()));
    queue.finish({Outcome::Lost, "dropped"});
  });
  EXPECT_EQ(read_stream(queue), "first stream");
  ASSERT_TRUE(queue.next_stream());
  EXPECT_EQ(read_stream(queue), "second");
  EXPECT_FALSE(queue.next_stream());
  producer.join();
  EXPECT_EQ(queue.finish_state().outcome, Outcome::Lost);
  EXPECT_EQ(queue.finish_state().message, "dropped");
}

TEST(ByteQueue, NextStreamDropsTheRestAndCloseReleasesTheProducer) {
  ByteQueue queue(8);
  auto a = bytes("abcdef");
  ASSERT_TRUE(queue.push(a.data(), a.size()));
  ASSERT_TRUE(queue.begin_stream());
  ASSERT_TRUE(queue.push(a.data(), 2));
  uint8_t one;
  ASSERT_EQ(queue.read(&one, 1), 1u);
  ASSERT_TRUE(queue.next_stream());  // "bcdef" is skipped
  uint8_t two[2];
  ASSERT_EQ(queue.read(two, 2), 2u);
  EXPECT_EQ(std::string(two, two + 2), "ab");
  std::thread producer([&] {
    std::vector<uint8_t> lots(64, 'x');
    EXPECT_FALSE(queue.push(lots.data(), lots.size()));
  });
  queue.close();
  producer.join();
}

TEST(Fetch, CurlFailuresAreClassifiedForTheExitStatus) {
  struct Case {
    ExitStatus status;
    std::string said;
    ErrorKind kind;
  };
  const Case cases[] = {
      {{false, 22}, "curl: (22) The requested URL returned error: 404\n", ErrorKind::Refused},
      {{false, 22}, "curl: (22) The requested URL returned error: 503\n", ErrorKind::Network},
      {{false, 63}, "curl: (63) Maximum file size exceeded\n", ErrorKind::Refused},
      {{false, 28}, "curl: (28) Operation too slow.\n", ErrorKind::Network},
      {{false, 6}, "", ErrorKind::Network},
      {{true, 9}, "", ErrorKind::Network},
  };
  for (const Case& c : cases) {
    Error error = describe_curl_failure(c.status, c.said);
    EXPECT_EQ(error.kind, c.kind) << c.said;
    EXPECT_FALSE(error.message.empty());
    EXPECT_EQ(error.message.find('\n'), std::string::npos);
  }
}

TEST(Fetch, CurlIsLimitedToWebAddressesAndItsTimes) {
  FetchOptions options;
  options.idle_seconds = 7;
  options.range = std::make_pair(int64_t{10}, int64_t{19});
  std::vector<std::string> argv = fetch_arguments("https://radio.example/a.ts", options);
  auto follows = [&](const std::string& option, const std::string& value) {
    for (size_t i = 0; i + 1 < argv.size(); ++i) {
      if (argv[i] == option && argv[i + 1] == value) return true;
    }
    return false;
  };
  EXPECT_EQ(argv.front(), "curl");
  EXPECT_EQ(argv.back(), "https://radio.example/a.ts");
  EXPECT_TRUE(follows("--proto", "=http,https"));
  EXPECT_TRUE(follows("--proto-redir", "=http,https"));
  EXPECT_TRUE(follows("--speed-time", "7"));
  EXPECT_TRUE(follows("-r", "10-19"));
  EXPECT_TRUE(follows("-A", contract::kUserAgent));
}

std::vector<uint8_t> strip(const std::vector<uint8_t>& input, size_t piece) {
  Id3Stripper id3;
  std::vector<uint8_t> out;
  for (size_t at = 0; at < input.size(); at += piece) {
    id3.feed(input.data() + at, std::min(piece, input.size() - at), out);
  }
  id3.end(out);
  return out;
}

TEST(SegmentFilters, Id3TagsAtTheStartAreRemovedHoweverTheBytesArrive) {
  // "ID3" v4, no flags, size 5 (synchsafe), then five bytes of tag.
  std::vector<uint8_t> tag = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 5, 1, 2, 3, 4, 5};
  std::vector<uint8_t> audio = {0xff, 0xf1, 0x50, 0x80, 'I', 'D', '3'};
  std::vector<uint8_t> two_tags = tag;
  two_tags.insert(two_tags.end(), tag.begin(), tag.end());
  two_tags.insert(two_tags.end(), audio.begin(), audio.end());
  for (size_t piece : {1u, 2u, 7u, 100u}) {
    EXPECT_EQ(strip(two_tags, piece), audio) << piece;
    EXPECT_EQ(strip(audio, piece), audio) << piece;
  }
  EXPECT_EQ(strip(bytes("ID"), 1), bytes("ID"));
  // Not synchsafe: not a tag, passed on whole.
  std::vector<uint8_t> fake = {'I', 'D', '3', 4, 0, 0, 0x80, 0, 0, 5, 9};
  EXPECT_EQ(strip(fake, 3), fake);

  // A tag whose size runs past the end of its segment ends with its frames
  // and their padding; the audio after them plays. A frame that itself runs
  // past the end leaves nothing to play.
  std::vector<uint8_t> priv = {'P', 'R', 'I', 'V', 0, 0, 0, 3, 0, 0, 'a', 'b', 'c'};
  auto oversized = [&](std::vector<uint8_t> frames, size_t padding, bool with_audio) {
    std::vector<uint8_t> segment = {'I', 'D', '3', 4, 0, 0, 0, 0, 0x7F, 0x7F};  // 16383 bytes
    segment.insert(segment.end(), frames.begin(), frames.end());
    segment.insert(segment.end(), padding, 0);
    if (with_audio) segment.insert(segment.end(), audio.begin(), audio.end());
    return segment;
  };
  std::vector<uint8_t> cut_frame = {'A', 'P', 'I', 'C', 0, 0, 0x7F, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  for (size_t piece : {1u, 7u, 100u}) {
    EXPECT_EQ(strip(oversized(priv, 0, true), piece), audio) << piece;
    EXPECT_EQ(strip(oversized(priv, 20, true), piece), audio) << piece;
    EXPECT_EQ(strip(oversized(priv, 0, false), piece), std::vector<uint8_t>()) << piece;
    EXPECT_EQ(strip(oversized(cut_frame, 0, false), piece), std::vector<uint8_t>()) << piece;
  }
}

TEST(SegmentFilters, AesSegmentsDecryptInPiecesAndAWrongKeyIsNoticed) {
  // NIST SP 800-38A's CBC-AES128 key and IV, 31 bytes of plain text, PKCS#7.
  std::array<uint8_t, 16> key{}, iv{};
  std::vector<uint8_t> k = hex("2b7e151628aed2a6abf7158809cf4f3c");
  std::vector<uint8_t> v = hex("000102030405060708090a0b0c0d0e0f");
  std::copy(k.begin(), k.end(), key.begin());
  std::copy(v.begin(), v.end(), iv.begin());
  std::vector<uint8_t> plain = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e");
  std::vector<uint8_t> cipher =
      hex("7649abac8119b246cee98e9b12e9197dcb856aebf22b76e1bb917d2fe54848cb");
  for (size_t piece : {1u, 5u, 16u, 32u}) {
    SegmentDecryptor decryptor(key, iv);
    ASSERT_TRUE(decryptor.ready());
    std::vector<uint8_t> out;
    for (size_t at = 0; at < cipher.size(); at += piece) {
      decryptor.feed(cipher.data() + at, std::min(piece, cipher.size() - at), out);
    }
    ASSERT_TRUE(decryptor.end(out)) << piece;
    EXPECT_EQ(out, plain) << piece;
  }
  std::array<uint8_t, 16> wrong = key;
  wrong[0] ^= 1;
  SegmentDecryptor decryptor(wrong, iv);
  std::vector<uint8_t> out;
  decryptor.feed(cipher.data(), cipher.size(), out);
  EXPECT_FALSE(decryptor.end(out));
  SegmentDecryptor cut(key, iv);
  cut.feed(cipher.data(), 20, out);
  EXPECT_FALSE(cut.end(out)) << "not whole blocks";
}

TEST(NowPlayingFile, TitlesHeadTheHistoryAndTheDocumentFollowsEveryChange) {
  testing::TempDir dir;
  const std::string path = dir / "now.json";
  Instant clock = now();
  NowPlayingFile* written = nullptr;
  auto document = [&] {
    if (written) written->flush();
    Result<std::string> text = read_file(path);
    EXPECT_TRUE(text.ok());
    Result<NowPlaying> now = parse_now_playing(text.ok() ? *text : "");
    EXPECT_TRUE(now.ok());
    return now.ok() ? *now : NowPlaying{};
  };
  // An engine that reconnects carries on the history of the one before.
  NowPlaying earlier;
  earlier.title = "Old";
  earlier.codec = "AAC-LC";
  earlier.history = {{"Old", "", 100}};
  ASSERT_TRUE(write_file(path, write_now_playing(earlier)).ok());
  NowPlayingFile file(path, "WAV", "/tmp/out.wav", [&] { return clock; });
  written = &file;
  EXPECT_EQ(file.current().history, earlier.history);
  EXPECT_EQ(file.current().title, "");
  EXPECT_EQ(file.current().codec, "");

  file.note({std::nullopt, SourceFacts{"ICY", "Loopback", "Pop", 128000}});
  file.note({TitleChange{"Lạc Trôi", "Sơn Tùng"}});
  file.note({TitleChange{"Lạc Trôi", "Sơn Tùng"}});  // the same again: nothing new
  file.audio({"MP3", 44100, 2, 131000, true});        // the announced rate stands
  NowPlaying now = document();
  EXPECT_EQ(now.title, "Lạc Trôi");
  EXPECT_EQ(now.artist, "Sơn Tùng");
  ASSERT_EQ(now.history.size(), 2u);
  EXPECT_EQ(now.history[0].title, "Lạc Trôi");
  EXPECT_GT(now.history[0].started_at, 1600000000u);
  EXPECT_EQ(now.history[1].title, "Old");
  EXPECT_EQ(now.carrier, "ICY");
  EXPECT_EQ(now.station, "Loopback");
  EXPECT_EQ(now.codec, "MP3");
  EXPECT_EQ(now.bitrate, 128000u);
  EXPECT_FALSE(now.bitrate_measured);
  EXPECT_EQ(now.output, "WAV");
  EXPECT_EQ(now.output_name, "/tmp/out.wav");

  // No title now: the history stays.
  file.note({TitleChange{}});
  EXPECT_EQ(document().title, "");
  EXPECT_EQ(document().history.size(), 2u);
  for (int i = 0; i < 12; ++i) {
    clock += std::chrono::seconds(2);
    file.tick(2.0 * (i + 1));
    file.note({TitleChange{"Song " + std::to_string(i), ""}});
  }
  now = document();
  ASSERT_EQ(now.history.size(), kNowPlayingHistory);
  EXPECT_EQ(now.history.front().title, "Song 11");
  EXPECT_EQ(now.history.back().title, "Song 2");
  // A stream without an announced rate gets the measured one.
  file.note({std::nullopt, SourceFacts{"HLS", "", "", 0}});
  file.audio({"HE-AAC", 48000, 2, 64000, true});
  EXPECT_EQ(document().bitrate, 64000u);
  EXPECT_TRUE(document().bitrate_measured);

  file.remove();
  EXPECT_FALSE(path_exists(path));
  EXPECT_EQ(title_line("Title", "Artist"), "Artist - Title");
}

// A title that changes many times a second: the document is written at most
// every quarter second, the log names a title a second and counts the rest,
// titles too short to be songs keep the songs in the history, a folder that
// cannot be written is reported once, and a stop removes only the file the
// engine wrote itself.
TEST(NowPlayingFile, AFloodOfTitlesCostsWhatAReaderCanSee) {
  testing::TempDir dir;
  const std::string path = dir / "now.json";
  Instant clock = now();
  double audio = 0;
  NowPlayingFile file(path, "WAV", "", [&] { return clock; });
  auto on_disk = [&] { return parse_now_playing(read_file(path).value()).value().title; };
  // Audio plays in real time here.
  auto play = [&](std::chrono::milliseconds time) {
    clock += time;
    audio += std::chrono::duration<double>(time).count();
    file.tick(audio);
  };
  ::testing::internal::CaptureStderr();
  file.note({TitleChange{"Song", "Band"}});
  EXPECT_EQ(on_disk(), "Song");
  play(std::chrono::seconds(5));
  file.note({TitleChange{"Next song", ""}});
  play(std::chrono::seconds(2));
  for (int i = 0; i < 50; ++i) {  // a second of titles, 20 ms apart
    play(std::chrono::milliseconds(20));
    file.note({TitleChange{"Ad " + std::to_string(i), ""}});
    if (i == 5) EXPECT_EQ(on_disk(), "Ad 0") << "written a quarter second apart";
    if (i == 13) EXPECT_EQ(on_disk(), "Ad 12") << "written a quarter second apart";
  }
  play(std::chrono::seconds(1));
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(on_disk(), "Ad 49");
  std::vector<PlayedTitle> history = file.current().history;
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[0].title, "Ad 49");
  EXPECT_EQ(history[1].title, "Next song");
  EXPECT_EQ(history[2].title, "Song");
  EXPECT_EQ(log,
            "[ze-stream] now playing: Band - Song\n"
            "[ze-stream] now playing: Next song\n"
            "[ze-stream] now playing: Ad 0\n"
            "[ze-stream] 48 titles came and went without a line of their own\n"
            "[ze-stream] now playing: Ad 49\n");

  // Unwritable: one line until it works again.
  NowPlayingFile lost(dir / "missing/now.json", "WAV", "", [&] { return clock; });
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 5; ++i) {
    clock += std::chrono::seconds(2);
    lost.tick(2.0 * (i + 1));
    lost.note({TitleChange{"T" + std::to_string(i), ""}});
  }
  log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6) << log;
  EXPECT_NE(log.find("cannot write " + dir / "missing/now.json"), std::string::npos) << log;

  // What stands at the path once the engine's own file was replaced stays.
  ASSERT_TRUE(write_file(path + ".other", "{}").ok());
  ASSERT_EQ(::rename((path + ".other").c_str(), path.c_str()), 0);
  file.remove();
  EXPECT_TRUE(path_exists(path));
  EXPECT_EQ(title_line("Title", ""), "Title");
}

}  // namespace
}  // namespace ze::stream
