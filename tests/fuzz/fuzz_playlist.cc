// The playlist parsers (.m3u, .pls, HLS), the HLS follower and the reading
// of the user's own station list on one text. The input's first byte picks
// the base address, the entry limit and the list's file name; the rest is the
// text, given to every parser. Entries are playable addresses
// that resolve to themselves, no parser goes beyond its limit, titles are
// clean UTF-8, HLS sequences increase by one, the variant order lists every
// stream once, and the follower hands out each segment once, in order. The
// user's stations are at most 500 playable channels with distinct ids derived
// from their addresses and clean, non-empty names and badges.
#include <cmath>
#include <set>
#include <string>
#include <string_view>

#include "base/text.h"
#include "catalog/user_stations.h"
#include "fuzz_check.h"
#include "stream/hls_follower.h"
#include "formats/playlist.h"

namespace {

using namespace ze;
using namespace ze::stream;

constexpr std::string_view kBases[] = {
    "http://radio.example/live/list.m3u8?token=1",
    "https://cdn.example",
    "",
    "HTTP://h.example/a/b/../c/",
};

void check_url(std::string_view url, std::string_view base) {
  FUZZ_CHECK(ze::is_stream_address(url), "an address handed out is a stream address");
  // A list without a base keeps its addresses as written; curl's encoding
  // is all that resolving them again may add.
  std::string resolved = base.empty() ? resolve_url(base, url) : std::string(url);
  FUZZ_CHECK(resolve_url(base, url) == resolved, "an absolute address resolves to itself");
  FUZZ_CHECK(resolve_url("http://other.example/x/y", url) == resolved,
             "an absolute address ignores the base");
  FUZZ_CHECK(resolve_url(base, resolved) == resolved, "an encoded address stays as it is");
}

void check_list(const Playlist& list, std::string_view base, size_t max_entries, bool ordered) {
  FUZZ_CHECK(list.entries.size() <= max_entries, "no entry beyond the limit");
  FUZZ_CHECK(list.skipped.size() <= max_entries, "no skipped entry beyond the limit");
  size_t previous = 0;
  for (const PlaylistEntry& entry : list.entries) {
    check_url(entry.url, base);
    FUZZ_CHECK(entry.line > 0, "lines count from one");
    if (ordered) FUZZ_CHECK(entry.line > previous, "entries keep the text's order");
    previous = entry.line;
    FUZZ_CHECK(ze::is_valid_utf8(entry.title), "titles are UTF-8");
    for (char c : entry.title) {
      FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "titles hold no controls");
    }
    FUZZ_CHECK(ze::trim_space(entry.title) == entry.title, "titles are trimmed");
  }
}

void check_media(const HlsMediaPlaylist& media, std::string_view base) {
  FUZZ_CHECK(media.target_duration > 0 && media.target_duration <= kMaxTargetDuration,
             "the target duration is sane");
  FUZZ_CHECK(media.segments.size() <= kMaxHlsSegments, "the segment count is bounded");
  uint64_t discontinuity = media.discontinuity_sequence;
  for (size_t i = 0; i < media.segments.size(); ++i) {
    const HlsSegment& segment = media.segments[i];
    FUZZ_CHECK(segment.sequence == media.media_sequence + i, "sequences increase by one");
    FUZZ_CHECK(std::isfinite(segment.duration) && segment.duration >= 0, "durations are sane");
    FUZZ_CHECK(segment.discontinuity_sequence >= discontinuity, "discontinuities only count up");
    discontinuity = segment.discontinuity_sequence;
    check_url(segment.uri, base);
    if (segment.key && segment.key->method == HlsKeyMethod::Aes128) check_url(segment.key->uri, base);
    if (segment.map) check_url(segment.map->uri, base);
  }

  ze::stream::HlsFollower follower;
  ze::Instant now{};
  follower.update(media, now);
  std::optional<uint64_t> last;
  auto drain = [&] {
    while (std::optional<HlsSegment> segment = follower.next_segment()) {
      FUZZ_CHECK(!last || segment->sequence > *last, "segments are handed out once, in order");
      last = segment->sequence;
    }
  };
  drain();
  if (media.ended) FUZZ_CHECK(follower.finished(), "an ended playlist finishes");
  FUZZ_CHECK(follower.next_reload() >= now, "reloads are not in the past");
  std::optional<uint64_t> before = last;
  HlsReload again = follower.update(media, now + std::chrono::seconds(1));
  drain();
  FUZZ_CHECK(!again.changed && again.skipped == 0, "the same playlist again is no change");
  FUZZ_CHECK(last == before, "the same playlist again hands out nothing");
}

void check_master(const HlsMasterPlaylist& master, std::string_view base, uint64_t max_bandwidth) {
  FUZZ_CHECK(!master.variants.empty(), "a master playlist has variants");
  FUZZ_CHECK(master.variants.size() <= kMaxHlsVariants, "the variant count is bounded");
  std::set<std::string> uris;
  for (const HlsVariant& variant : master.variants) {
    check_url(variant.uri, base);
    uris.insert(variant.uri);
  }
  for (const HlsAudioRendition& rendition : master.audio_renditions) {
    check_url(rendition.uri, base);
    uris.insert(rendition.uri);
  }
  std::set<std::string> ordered;
  for (const HlsChoice& choice : variant_order(master, max_bandwidth)) {
    const std::string& uri = choice.rendition ? master.audio_renditions.at(choice.index).uri
                                              : master.variants.at(choice.index).uri;
    FUZZ_CHECK(uri == choice.uri, "a choice names its stream");
    FUZZ_CHECK(ordered.insert(uri).second, "a stream is tried once");
  }
  FUZZ_CHECK(ordered == uris, "every stream is tried");
}

size_t characters(std::string_view text) {
  size_t count = 0;
  for (size_t pos = 0; pos < text.size(); ++count) ze::decode_utf8(text, pos);
  return count;
}

void check_clean(std::string_view text, const char* what) {
  FUZZ_CHECK(ze::is_valid_utf8(text), what);
  for (char c : text) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, what);
}

void check_user_stations(std::string_view text, std::string_view path) {
  ze::UserStations stations = ze::user_stations_from_text(text, path);
  FUZZ_CHECK(stations.channels.size() <= ze::kMaxUserStations, "at most 500 user stations");
  std::set<std::string> ids;
  for (const ze::Channel& channel : stations.channels) {
    FUZZ_CHECK(ze::is_stream_address(channel.stream_url), "a user station has a stream address");
    FUZZ_CHECK(channel.id == ze::user_station_id(channel.stream_url), "ids come from addresses");
    FUZZ_CHECK(ids.insert(channel.id).second, "user station ids are distinct");
    FUZZ_CHECK(!channel.name.empty() && characters(channel.name) <= 100, "names are bounded");
    check_clean(channel.name, "names are clean UTF-8");
    FUZZ_CHECK(ze::trim_space(channel.name) == channel.name, "names are trimmed");
    FUZZ_CHECK(characters(channel.short_name) <= 10, "badges are short");
    check_clean(channel.short_name, "badges are clean UTF-8");
    FUZZ_CHECK(channel.category == ze::kUserCategory.id && channel.frequency.empty() &&
                   channel.color.size() == 6,
               "user stations have their tab, no frequency and a palette colour");
  }
  for (const std::string& line : stations.log) {
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "log lines are single lines");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view base = kBases[data[0] % std::size(kBases)];
  size_t max_entries = 1 + (data[0] >> 2) % 16;
  std::string_view text = ze::fuzz::as_text(data + 1, size - 1);

  check_list(parse_m3u(text, base, max_entries), base, max_entries, true);
  check_list(parse_pls(text, base, max_entries), base, max_entries, false);
  check_user_stations(text, data[0] & 0x80 ? "my_stations.pls" : "my_stations.m3u");

  ze::Result<HlsPlaylist> hls = parse_hls(text, base);
  if (hls.ok()) {
    if (const auto* media = std::get_if<HlsMediaPlaylist>(&*hls)) {
      check_media(*media, base);
    } else {
      check_master(std::get<HlsMasterPlaylist>(*hls), base, uint64_t{max_entries} * 64000);
    }
  } else {
    FUZZ_CHECK(!hls.error().empty(), "a failure says why");
  }

  ContentKind kind = sniff_content(base, "", text);
  if (text.substr(0, 4096).find('\0') != std::string_view::npos) {
    FUZZ_CHECK(kind == ContentKind::Media, "bytes with NUL are media");
  }
  return 0;
}
