#include "stream/segment_fetcher.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "stream/drop_out.h"

namespace ze::stream {
namespace {

constexpr int64_t kMaxSegmentBytes = 64 << 20;
constexpr int kMinSegmentIdleSeconds = 3;
constexpr int kMaxSegmentIdleSeconds = 10;
constexpr int kPlaylistSeconds = 20;

}  // namespace

int hls_idle_seconds(double target_duration) {
  return std::clamp(static_cast<int>(std::ceil(target_duration)), kMinSegmentIdleSeconds,
                    kMaxSegmentIdleSeconds);
}

FetchOptions hls_playlist_options(const FetchOptions& base, double target_duration, bool retrying) {
  FetchOptions options = retrying ? retry_options(base) : base;
  options.max_seconds = kPlaylistSeconds;
  options.max_bytes = kMaxPlaylistBytes;
  options.idle_seconds = hls_idle_seconds(target_duration);
  return options;
}

Result<uint64_t> SegmentFetcher::fetch(const HlsSegment& segment, double target, bool retrying) {
  FetchOptions options = context_.options.fetch;
  options.max_bytes = kMaxSegmentBytes;
  options.max_seconds = std::max(30, static_cast<int>(target * 4));
  options.idle_seconds = hls_idle_seconds(target);
  if (retrying) options = retry_options(options);

  if (Result<uint64_t> map = fetch_map(segment, options); !map) return map;
  Result<std::optional<Cipher>> cipher = cipher_for(segment);
  if (!cipher) return cipher.failure();
  // Where the segment's audio began: a transfer the network cut short goes
  // on from there.
  const bool resuming = resumes(segment.sequence) && transfer_->uri == segment.uri;
  const uint64_t segment_start = resuming ? transfer_->start : context_.writer.stream_bytes();
  // The playlist's title goes in with the segment's first audio, so that it
  // is there however soon that audio plays; by then a tag at the segment's
  // start has shown whether the segment carries titles of its own.
  playlist_title_ = std::make_pair(segment.title, segment_start);
  Result<uint64_t> bytes = fetch_bytes(segment.uri, segment.byte_range, *cipher, segment.sequence, options);
  playlist_title_.reset();
  return bytes;
}

// The initialisation section, when the segment has one that this stream
// has not had yet.
Result<uint64_t> SegmentFetcher::fetch_map(const HlsSegment& segment, const FetchOptions& options) {
  if (!segment.map) return uint64_t{0};
  if (map_ && map_generation_ == context_.writer.generation() && *map_ == *segment.map) return uint64_t{0};
  bool resuming = transfer_ && transfer_->uri == segment.map->uri;
  if (!resuming && !context_.writer.start_new_stream()) return Error::stopped();
  Result<uint64_t> bytes =
      fetch_bytes(segment.map->uri, segment.map->byte_range, std::nullopt, segment.sequence, options);
  if (!bytes) return bytes;
  map_ = segment.map;
  map_generation_ = context_.writer.generation();
  return bytes;
}

Result<std::optional<SegmentFetcher::Cipher>> SegmentFetcher::cipher_for(const HlsSegment& segment) {
  if (!segment.key) return std::optional<Cipher>();
  Result<AesKey> key = key_for(segment.key->uri);
  if (!key) return key.failure();
  Cipher cipher{*key, {}};
  if (segment.key->iv) {
    cipher.iv = *segment.key->iv;
  } else {
    for (int i = 0; i < 8; ++i) cipher.iv[15 - i] = static_cast<uint8_t>(segment.sequence >> (8 * i));
  }
  return std::optional<Cipher>(cipher);
}

Result<SegmentFetcher::AesKey> SegmentFetcher::key_for(const std::string& uri) {
  auto known = keys_.find(uri);
  if (known != keys_.end()) return known->second;
  FetchOptions options = hls_playlist_options(context_.options.fetch, 0, false);
  options.max_bytes = 1024;
  Result<FetchedText> fetched = fetch_text(uri, options);
  if (!fetched) return Error{"key: " + fetched.error(), fetched.kind()};
  if (fetched->body.size() != 16) {
    return Error::refused("the key has " + std::to_string(fetched->body.size()) + " bytes, not 16");
  }
  AesKey key{};
  std::memcpy(key.data(), fetched->body.data(), 16);
  if (keys_.size() > 64) keys_.clear();
  keys_[uri] = key;
  return key;
}

Status SegmentFetcher::begin_transfer(const std::string& uri, const std::optional<HlsByteRange>& range,
                                      const std::optional<Cipher>& cipher, uint64_t owner) {
  if (transfer_ && transfer_->uri == uri && transfer_->range == range && transfer_->owner == owner) {
    return ok_status();
  }
  transfer_.emplace();
  transfer_->uri = uri;
  transfer_->range = range;
  transfer_->owner = owner;
  transfer_->start = context_.writer.stream_bytes();
  // The scanner reads this segment from its start; what it held of one
  // given up on is dropped.
  std::vector<FoundTag> dropped;
  scanner_.end_segment(dropped);
  if (cipher) {
    transfer_->decryptor = std::make_unique<SegmentDecryptor>(cipher->key, cipher->iv);
    if (!transfer_->decryptor->ready()) return Error::refused("out of memory");
  }
  return ok_status();
}

Result<uint64_t> SegmentFetcher::fetch_bytes(const std::string& uri, const std::optional<HlsByteRange>& range,
                                             const std::optional<Cipher>& cipher, uint64_t owner,
                                             FetchOptions options) {
  if (Status begun = begin_transfer(uri, range, cipher, owner); !begun) return begun.failure();
  Transfer& t = *transfer_;
  uint64_t first = range && range->length > 0 ? range->offset : 0;
  std::optional<uint64_t> length;
  if (range && range->length > 0) length = range->length;
  uint64_t from = first + t.received;
  if (from > 0 || length) {
    options.range = std::make_pair(static_cast<int64_t>(from),
                                   length ? static_cast<int64_t>(first + *length - 1) : int64_t{-1});
  }
  Result<Fetch> opened = Fetch::open(uri, options);
  if (!opened) return opened.failure();
  Fetch& body = *opened;
  // A server that ignores the range sends the whole file: what comes
  // before the wanted bytes is dropped here.
  uint64_t drop = options.range && body.head().status != 206 ? from : 0;
  std::optional<uint64_t> wanted;
  if (length) wanted = *length - t.received;
  uint8_t buffer[16384];
  for (;;) {
    Result<size_t> got = body.read(buffer, sizeof buffer);
    if (!got) return got.failure();
    const uint8_t* data = buffer;
    size_t size = *got;
    size_t skip = static_cast<size_t>(std::min<uint64_t>(drop, size));
    drop -= skip;
    data += skip;
    size -= skip;
    if (wanted) size = static_cast<size_t>(std::min<uint64_t>(size, *wanted));
    t.received += size;
    if (wanted) *wanted -= size;
    bool done = *got == 0 || (wanted && *wanted == 0);
    if (Status passed = pass(data, size, done); !passed) return passed.failure();
    if (done) {
      uint64_t pushed = t.pushed;
      transfer_.reset();
      return pushed;
    }
  }
}

Status SegmentFetcher::pass(const uint8_t* data, size_t size, bool last) {
  Transfer& t = *transfer_;
  std::vector<uint8_t> plain;
  if (size > 0) {
    if (t.decryptor) {
      std::vector<uint8_t> clear;
      t.decryptor->feed(data, size, clear);
      t.id3.feed(clear.data(), clear.size(), plain);
    } else {
      t.id3.feed(data, size, plain);
    }
  }
  if (last) {
    if (t.decryptor) {
      std::vector<uint8_t> rest;
      if (!t.decryptor->end(rest)) return Error::refused("a segment does not decrypt with its key");
      t.id3.feed(rest.data(), rest.size(), plain);
    }
    t.id3.end(plain);
  }
  t.pushed += plain.size();
  // The segment's titles go to the queue before the audio they come with.
  for (const std::vector<uint8_t>& tag : t.id3.take_tags()) context_.titles.id3_tag(tag, t.start);
  std::vector<FoundTag> found;
  scanner_.feed(plain.data(), plain.size(), found);
  if (last) scanner_.end_segment(found);
  for (const FoundTag& tag : found) context_.titles.id3_tag(tag.tag, t.start + tag.offset);
  if (playlist_title_ && (!plain.empty() || last)) {
    context_.titles.playlist_title(playlist_title_->first, playlist_title_->second);
    playlist_title_.reset();
  }
  if (!context_.writer.push(plain.data(), plain.size())) return Error::stopped();
  return ok_status();
}

}  // namespace ze::stream
