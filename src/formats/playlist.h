// Playlists the stream engine meets: plain .m3u and .pls lists of stream
// addresses (also the user's own station list) and HLS master and media
// playlists. Pure functions on text already fetched: no I/O, no decoding.
// Every text is treated as hostile: lines, counts and values are bounded, and
// parsing is linear in the text's size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/address.h"
#include "base/result.h"

namespace ze {

// An HLS line longer than this makes the playlist unreadable.
inline constexpr size_t kMaxHlsLine = 65536;
inline constexpr size_t kMaxHlsSegments = 20000;
inline constexpr size_t kMaxHlsVariants = 1000;
inline constexpr double kMaxTargetDuration = 3600;  // seconds
// The addresses of one HLS playlist, resolved, hold at most this many bytes
// together: a long base address times thousands of segments must not
// become hundreds of megabytes.
inline constexpr size_t kMaxResolvedBytes = 4 << 20;

// `reference` resolved against `base` as a browser would (RFC 3986, section
// 5.2): dot segments removed, the scheme lower-cased, the fragment dropped.
// Its path and query are then encoded as curl encodes an address it follows
// or is given: spaces and bytes above 0x7F percent-encoded ("%20", "%c3%a9"),
// a space in the query as "+". So the address is the one curl fetched, and
// addresses that lead from it are the ones curl will fetch.
std::string resolve_url(std::string_view base, std::string_view reference);

enum class ContentKind {
  HlsPlaylist,  // an HLS master or media playlist (.m3u8)
  Pls,          // a [playlist] list (.pls)
  M3u,          // a plain list of addresses (.m3u)
  Media,        // anything else: audio bytes for the decoder
};

// Whether bytes hold what no text playlist does (NUL, control or 0xFF
// bytes): audio shows such bytes within its first few bytes.
bool has_binary_bytes(std::string_view bytes);

// What a response holds, from its address, its Content-Type header (may be
// empty) and its first bytes. Bytes that do not look like text are always
// Media, whatever the address or header say.
ContentKind sniff_content(std::string_view url, std::string_view content_type,
                          std::string_view first_bytes);

struct PlaylistEntry {
  std::string url;    // resolved, is_stream_address holds
  std::string title;  // from #EXTINF or TitleN, trimmed, valid UTF-8; may be empty
  size_t line = 0;    // 1-based line of the address
};

struct SkippedEntry {
  size_t line = 0;
  std::string reason;
};

struct Playlist {
  std::vector<PlaylistEntry> entries;  // in play order
  std::vector<SkippedEntry> skipped;   // addresses that cannot be played
};

// Entries of an .m3u text (BOM, CRLF and blank lines allowed), in order,
// relative addresses resolved against `base_url` (with resolve_url). A
// list without a base, the user's own, keeps its addresses as written, only
// normalised. At most `max_entries` entries and as many skipped ones;
// parsing stops at the limit.
Playlist parse_m3u(std::string_view text, std::string_view base_url, size_t max_entries);
// Entries of a .pls text ordered by their FileN number, with TitleN titles.
Playlist parse_pls(std::string_view text, std::string_view base_url, size_t max_entries);

// ---- HLS ----

struct HlsVariant {  // #EXT-X-STREAM-INF
  std::string uri;
  uint64_t bandwidth = 0;   // bits per second; 0 when not given
  std::string codecs;       // CODECS, e.g. "mp4a.40.2"; empty when not given
  std::string audio_group;  // AUDIO group id; empty when not given
  size_t line = 0;
};

struct HlsAudioRendition {  // #EXT-X-MEDIA TYPE=AUDIO with a URI
  std::string uri;
  std::string group_id;
  std::string name;
  bool is_default = false;
  size_t line = 0;
};

struct HlsMasterPlaylist {
  std::vector<HlsVariant> variants;  // never empty
  std::vector<HlsAudioRendition> audio_renditions;
};

struct HlsByteRange {
  uint64_t length = 0;
  uint64_t offset = 0;
  bool operator==(const HlsByteRange&) const = default;
};

enum class HlsKeyMethod {
  Aes128,       // whole segments, AES-128-CBC with PKCS7 padding
  Unsupported,  // SAMPLE-AES, a non-identity KEYFORMAT, ...: cannot be played
};

struct HlsKey {  // #EXT-X-KEY other than METHOD=NONE
  HlsKeyMethod method = HlsKeyMethod::Unsupported;
  std::string method_name;  // as written, for messages
  std::string uri;          // the key's address (Aes128 only)
  // When absent the segment's media sequence number, big-endian, is the IV.
  std::optional<std::array<uint8_t, 16>> iv;
};

struct HlsMap {  // #EXT-X-MAP: the initialisation section (fragmented MP4)
  std::string uri;
  std::optional<HlsByteRange> byte_range;
  bool operator==(const HlsMap&) const = default;
};

struct HlsSegment {
  std::string uri;
  double duration = 0;                 // seconds, from #EXTINF
  std::string title;                   // the part of #EXTINF after its comma, raw (at most 1 KB)
  uint64_t sequence = 0;               // media sequence number
  uint64_t discontinuity_sequence = 0;
  bool discontinuity = false;          // #EXT-X-DISCONTINUITY before it
  std::optional<HlsByteRange> byte_range;
  std::shared_ptr<const HlsKey> key;   // null: not encrypted
  std::shared_ptr<const HlsMap> map;   // null: no initialisation section
  size_t line = 0;
};

enum class HlsPlaylistType { Unspecified, Event, Vod };

struct HlsMediaPlaylist {
  double target_duration = 0;  // seconds, > 0
  uint64_t media_sequence = 0;
  uint64_t discontinuity_sequence = 0;
  bool ended = false;  // #EXT-X-ENDLIST
  HlsPlaylistType type = HlsPlaylistType::Unspecified;
  std::vector<HlsSegment> segments;  // sequences media_sequence, +1, +2, ...
};

using HlsPlaylist = std::variant<HlsMasterPlaylist, HlsMediaPlaylist>;

// The seconds of audio a media playlist lists: its segments' durations added.
double listed_seconds(const HlsMediaPlaylist& playlist);

// A master or media playlist, every URI resolved against `base_url`. Fails
// with a message naming the line for text without #EXTM3U, a media playlist
// without #EXT-X-TARGETDURATION, a missing or non-http(s) URI, absurd values
// and texts beyond the bounds above (kMaxResolvedBytes included).
Result<HlsPlaylist> parse_hls(std::string_view text, std::string_view base_url);

struct HlsChoice {
  std::string uri;
  bool rendition = false;  // master.audio_renditions[index], else master.variants[index]
  size_t index = 0;
};

// The order in which to try a master playlist's streams: audio-only ones
// first (audio renditions with a URI, the DEFAULT one first, then variants
// whose CODECS are all audio), then the others; among variants, the highest
// bandwidth not above `max_bandwidth` first, then lower ones, then those
// above from the lowest up. Streams without a playable codec (AAC "mp4a" or
// MP3) come last. A URI is listed once.
std::vector<HlsChoice> variant_order(const HlsMasterPlaylist& master, uint64_t max_bandwidth);

}  // namespace ze
