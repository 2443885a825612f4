// What streams say about themselves, on bytes from the fuzzer: the ICY
// de-interleaver (with an interval from the first byte), the title
// normaliser, the ID3 reader and the timed-metadata scanner. Fed whole and
// in pieces (sizes from the second byte), each gives the same result; the
// audio keeps every byte that is no metadata, in order; tags are whole;
// titles are clean UTF-8 of at most 200 characters without controls or
// runs of spaces.
#include <string>
#include <vector>

#include "base/text.h"
#include "fuzz_check.h"
#include "stream/icy_metadata.h"
#include "stream/id3_tags.h"
#include "stream/timed_metadata.h"
#include "stream/title_text.h"

namespace {

using namespace ze::stream;

void check_title(const std::optional<std::string>& title) {
  if (!title) return;
  FUZZ_CHECK(ze::is_valid_utf8(*title), "a title is UTF-8");
  FUZZ_CHECK(!title->empty(), "an empty title is none");
  FUZZ_CHECK(title->front() != ' ' && title->back() != ' ', "no space at either end");
  FUZZ_CHECK(title->find("  ") == std::string::npos, "no run of spaces");
  size_t characters = 0;
  for (size_t pos = 0; pos < title->size(); ++characters) {
    char32_t c = ze::decode_utf8(*title, pos);
    FUZZ_CHECK(c >= 0x20 && !(c >= 0x7F && c < 0xA0), "no control character");
    FUZZ_CHECK(!ze::is_unicode_space(c) || c == ' ', "white space is one blank");
  }
  FUZZ_CHECK(characters <= kMaxTitleCharacters, "at most 200 characters");
}

template <typename Feed>
void in_pieces(const uint8_t* data, size_t size, size_t step, Feed feed) {
  for (size_t at = 0; at < size;) {
    size_t take = std::min(size - at, 1 + (at * 7 + step) % step);
    feed(data + at, take);
    at += take;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t metaint = 1 + data[0] % 64;
  const size_t step = 1 + data[1];
  data += 2;
  size -= 2;

  std::vector<uint8_t> audio, audio_pieces;
  std::vector<std::string> blocks, blocks_pieces;
  IcyDeinterleaver whole(metaint), pieces(metaint);
  whole.feed(data, size, audio, blocks);
  in_pieces(data, size, step, [&](const uint8_t* p, size_t n) { pieces.feed(p, n, audio_pieces, blocks_pieces); });
  FUZZ_CHECK(audio == audio_pieces && blocks == blocks_pieces, "pieces change nothing");
  size_t metadata = 0;
  for (const std::string& block : blocks) {
    FUZZ_CHECK(block.size() <= 255 * 16, "a block is at most 4080 bytes");
    metadata += block.size();
    if (std::optional<std::string> raw = icy_stream_title(block)) {
      check_title(normalize_title(decode_undeclared(*raw), "Station"));
    }
  }
  FUZZ_CHECK(audio.size() + metadata <= size, "nothing is added");
  // Every audio byte of the body, in order: the first interval is audio.
  FUZZ_CHECK(std::equal(audio.begin(), audio.begin() + std::min(audio.size(), metaint), data),
             "the audio comes first, unchanged");

  check_title(normalize_title(decode_undeclared(std::string_view(reinterpret_cast<const char*>(data), size))));
  Id3Titles titles = read_id3_titles({data, size});
  for (const auto& text : {titles.title, titles.artist}) {
    if (text) {
      FUZZ_CHECK(ze::is_valid_utf8(*text), "ID3 texts are UTF-8");
      check_title(normalize_title(*text));
    }
  }

  std::vector<FoundTag> found, found_pieces;
  TimedMetadataScanner scanner, scanner_pieces;
  scanner.feed(data, size, found);
  scanner.end_segment(found);
  in_pieces(data, size, step, [&](const uint8_t* p, size_t n) { scanner_pieces.feed(p, n, found_pieces); });
  scanner_pieces.end_segment(found_pieces);
  FUZZ_CHECK(found.size() == found_pieces.size(), "pieces find the same tags");
  for (size_t i = 0; i < found.size(); ++i) {
    FUZZ_CHECK(found[i].offset == found_pieces[i].offset && found[i].tag == found_pieces[i].tag,
               "pieces find the same tags");
    FUZZ_CHECK(found[i].offset < size, "a tag begins within the segment");
    FUZZ_CHECK(id3_tag_size(found[i].tag) == found[i].tag.size(), "a tag is whole");
  }
  return 0;
}
