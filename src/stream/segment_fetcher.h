// Fetches the segments of an HLS media playlist into the queue: the
// initialisation section (fragmented MP4) whenever it changes or a new stream
// begins, AES-128 keys (cached), byte ranges, decryption, ID3 tags stripped
// from packed audio, and the titles of tags and timed metadata placed at
// their audio. A transfer the network broke is kept: fetching the same
// segment again goes on from the byte where it broke. Source thread only.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/result.h"
#include "formats/playlist.h"
#include "stream/fetch.h"
#include "stream/segment_filters.h"
#include "stream/source_context.h"
#include "stream/timed_metadata.h"

namespace ze::stream {

// Requests for HLS wait for a byte about a target duration, within these
// bounds.
int hls_idle_seconds(double target_duration);
// The options of a playlist or key request in a stream of `target_duration`
// (retrying: while the network is out).
FetchOptions hls_playlist_options(const FetchOptions& base, double target_duration, bool retrying);

using SegmentKey = std::array<uint8_t, 16>;

struct SegmentCipher {  // AES-128-CBC
  SegmentKey key;
  SegmentKey iv;
};

// A segment's bytes as far as they came.
struct SegmentTransfer {
  std::string uri;
  std::optional<HlsByteRange> range;
  uint64_t owner = 0;     // the media sequence of the segment it belongs to
  uint64_t received = 0;  // body bytes taken so far
  uint64_t pushed = 0;    // audio bytes pushed so far
  uint64_t start = 0;     // where its audio began in the queue's stream
  std::unique_ptr<SegmentDecryptor> decryptor;
  Id3Stripper id3;
};

class SegmentFetcher {
 public:
  explicit SegmentFetcher(SourceContext& context) : context_(context) {}

  // Fetches `segment` (with its initialisation section and key when it has
  // them): the audio bytes it gave. Fails with Refused (the server refused
  // it, or it is unusable: to be skipped), Network (the network broke: to be
  // fetched again) or Stopped.
  Result<uint64_t> fetch(const HlsSegment& segment, double target, bool retrying);

  // Whether a transfer of the segment numbered `sequence` broke and waits to
  // go on.
  bool resumes(uint64_t sequence) const { return transfer_ && transfer_->owner == sequence; }
  // The broken transfer is given up: its segment will not be fetched again.
  void drop_transfer() { transfer_.reset(); }

 private:
  using AesKey = SegmentKey;
  using Cipher = SegmentCipher;
  using Transfer = SegmentTransfer;

  Result<uint64_t> fetch_map(const HlsSegment& segment, const FetchOptions& options);
  Result<std::optional<Cipher>> cipher_for(const HlsSegment& segment);
  Result<AesKey> key_for(const std::string& uri);
  // Fetches a segment's bytes into the queue, going on from where an
  // earlier transfer of the same bytes broke.
  Result<uint64_t> fetch_bytes(const std::string& uri, const std::optional<HlsByteRange>& range,
                               const std::optional<Cipher>& cipher, uint64_t owner, FetchOptions options);
  Status begin_transfer(const std::string& uri, const std::optional<HlsByteRange>& range,
                        const std::optional<Cipher>& cipher, uint64_t owner);
  // Decrypts and filters `size` body bytes (and the end, when `last`) into
  // audio, and passes it and its titles on to the queue.
  Status pass(const uint8_t* data, size_t size, bool last);

  SourceContext& context_;
  std::shared_ptr<const HlsMap> map_;  // the initialisation section sent
  uint64_t map_generation_ = 0;        // in the stream of this generation
  std::map<std::string, AesKey> keys_;
  std::optional<Transfer> transfer_;  // a segment the network cut short
  // The playlist's title of the segment being fetched and where its audio
  // begins, until its first audio goes into the queue.
  std::optional<std::pair<std::string, uint64_t>> playlist_title_;
  TimedMetadataScanner scanner_;
};

}  // namespace ze::stream
