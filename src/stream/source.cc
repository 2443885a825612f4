#include "stream/source.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <span>

#include "base/clock.h"
#include "stream/hls_follower.h"
#include "stream/icy_metadata.h"
#include "stream/id3_tags.h"
#include "stream/response_head.h"
#include "stream/timed_metadata.h"
#include "stream/title_text.h"
#include "stream/log.h"
#include "stream/playlist.h"
#include "stream/segment_filters.h"
#include "stream/stop_signal.h"

namespace ze::stream {
namespace {

constexpr size_t kSniffBytes = 2048;
constexpr int64_t kMaxPlaylistBytes = 4 << 20;
constexpr int64_t kMaxSegmentBytes = 64 << 20;
constexpr size_t kMaxListEntries = 100;
constexpr int kMaxListDepth = 4;
// This many segments failing in a row and the stream counts as lost.
constexpr int kMaxFailedSegments = 3;
constexpr int kPlaylistSeconds = 20;
constexpr size_t kIcySlice = 4096;

Finish finish_of(const FetchError& error) {
  switch (error.kind) {
    case FetchFailure::Stopped:
      return {Outcome::Stopped, "stopped"};
    case FetchFailure::Refused:
      return {Outcome::Unplayable, error.message};
    case FetchFailure::Network:
      break;
  }
  return {Outcome::Lost, error.message};
}

bool same_map(const HlsMap& a, const HlsMap& b) {
  if (a.uri != b.uri || a.byte_range.has_value() != b.byte_range.has_value()) return false;
  return !a.byte_range ||
         (a.byte_range->length == b.byte_range->length && a.byte_range->offset == b.byte_range->offset);
}

// Waits until `deadline`; false when a stop came first.
bool wait_until(Instant deadline) {
  for (;;) {
    if (stop_requested()) return false;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(elapsed_between(now(), deadline));
    if (left.count() <= 0) return true;
    pollfd stop{stop_fd(), POLLIN, 0};
    (void)::poll(&stop, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
  }
}

class Source {
 public:
  Source(const SourceOptions& options, ByteQueue& queue) : options_(options), queue_(queue) {}

  Finish play(const std::string& url, int depth) {
    if (!is_stream_address(url)) return {Outcome::Unplayable, "not an http or https address"};
    // Icecast and Shoutcast servers send their titles only when asked; the
    // answer's head says how often they come.
    FetchOptions asking = options_.fetch;
    asking.icy = true;
    Result<Fetch> fetch = Fetch::start(url, asking);
    if (!fetch) return {Outcome::Lost, fetch.error()};
    IcyBody body;

    // The first bytes tell audio from a playlist.
    std::string sniffed;
    uint8_t buffer[16384];
    bool complete = false;
    auto read_more = [&](bool& ended) -> std::optional<Finish> {
      size_t got = 0;
      std::optional<FetchError> failed = fetch->read(buffer, sizeof buffer, got);
      if (failed) return finish_of(*failed);
      ended = got == 0;
      if (!ended && !body.take(buffer, got)) {
        return Finish{Outcome::Unplayable, "the server's answer has no readable head"};
      }
      return std::nullopt;
    };
    while (body.audio.size() < kSniffBytes && !complete) {
      if (std::optional<Finish> failed = read_more(complete)) return *failed;
    }
    sniffed.assign(body.audio.begin(), body.audio.end());
    ContentKind kind = sniff_content(url, "", sniffed);
    if (kind != ContentKind::Media) {
      if (depth >= kMaxListDepth) return {Outcome::Unplayable, "playlists nested too deeply"};
      while (!complete) {
        if (std::optional<Finish> failed = read_more(complete)) return *failed;
        if (static_cast<int64_t>(body.audio.size()) > kMaxPlaylistBytes) {
          return {Outcome::Unplayable, "the playlist is larger than 4 MB"};
        }
      }
      sniffed.assign(body.audio.begin(), body.audio.end());
      return play_text(kind, sniffed, url, depth);
    }
    station_ = body.station;
    note_facts(body.facts());
    for (;;) {
      for (const auto& [before, block] : body.placed) {
        if (std::optional<std::string> raw = icy_stream_title(block)) {
          inband_titles_ = true;
          note_title({normalize_title(decode_undeclared(*raw), station_).value_or(""), ""},
                     stream_bytes_ + before);
        }
      }
      body.placed.clear();
      if (!push(body.audio.data(), body.audio.size())) return stopped();
      body.audio.clear();
      if (complete) return {Outcome::Ended, "the stream ended"};
      if (std::optional<Finish> failed = read_more(complete)) return *failed;
    }
  }

 private:
  static Finish stopped() { return {Outcome::Stopped, "stopped"}; }

  // The body of a response read with its head: the audio, with Icecast's
  // metadata blocks taken out when the head announces them.
  struct IcyBody {
    ResponseHeadReader head;
    std::optional<IcyDeinterleaver> icy;
    std::vector<uint8_t> raw;
    std::vector<uint8_t> audio;
    std::vector<std::string> blocks;
    // Metadata blocks with the number of audio bytes before them in `audio`.
    std::vector<std::pair<size_t, std::string>> placed;
    std::string station;
    std::string genre;
    uint32_t bitrate = 0;
    bool icecast = false;

    // False when the answer has no head to read.
    bool take(const uint8_t* data, size_t size) {
      raw.clear();
      const bool had_head = head.state() == ResponseHeadReader::State::Body;
      if (head.feed(data, size, raw) == ResponseHeadReader::State::Bad) return false;
      if (head.state() != ResponseHeadReader::State::Body) return true;
      if (!had_head) read_head();
      if (icy) {
        // In slices, so that each block's place in the audio is known to
        // within a slice.
        for (size_t at = 0; at < raw.size(); at += kIcySlice) {
          size_t before = blocks.size();
          icy->feed(raw.data() + at, std::min(kIcySlice, raw.size() - at), audio, blocks);
          for (size_t i = before; i < blocks.size(); ++i) placed.emplace_back(audio.size(), std::move(blocks[i]));
          blocks.clear();
        }
      } else {
        audio.insert(audio.end(), raw.begin(), raw.end());
      }
      return true;
    }

    void read_head() {
      std::optional<std::string> metaint = head.header("icy-metaint");
      if (metaint) {
        if (std::optional<size_t> interval = parse_icy_metaint(*metaint)) icy.emplace(*interval);
      }
      auto text = [&](const char* name) {
        std::optional<std::string> value = head.header(name);
        return value ? normalize_title(decode_undeclared(*value)).value_or("") : std::string();
      };
      station = text("icy-name");
      genre = text("icy-genre");
      if (std::optional<std::string> kbps = head.header("icy-br")) {
        // "128", or "128,128" as some servers write it.
        uint32_t value = 0;
        for (char c : *kbps) {
          if (c < '0' || c > '9' || value > 100000) break;
          value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        bitrate = value * 1000;
      }
      icecast = icy.has_value() || head.header("icy-name") || head.header("icy-br");
    }

    SourceFacts facts() const { return {icecast ? "ICY" : "HTTP", station, genre, bitrate}; }
  };

  void note_facts(SourceFacts facts) { queue_.note({std::nullopt, std::move(facts)}, stream_bytes_); }

  // A title from here on, unless it is the one already noted.
  void note_title(TitleChange change, std::optional<uint64_t> offset = std::nullopt) {
    if (last_title_ == change) return;
    last_title_ = change;
    queue_.note({std::move(change), std::nullopt}, offset.value_or(stream_bytes_));
  }

  // The title of an ID3 tag found in a segment, if it has one.
  void note_tag(std::span<const uint8_t> tag, uint64_t offset) {
    Id3Titles titles = read_id3_titles(tag);
    if (!titles.title) return;
    inband_titles_ = true;
    TitleChange change;
    change.title = normalize_title(*titles.title, station_).value_or("");
    if (!change.title.empty() && titles.artist) {
      change.artist = normalize_title(*titles.artist).value_or("");
    }
    note_title(std::move(change), offset);
  }

  bool push(const uint8_t* data, size_t size) {
    if (size == 0) return !stop_requested();
    stream_open_ = true;
    pushed_ += size;
    stream_bytes_ += size;
    return queue_.push(data, size);
  }

  // What follows belongs to a new stream: a new demuxer reads it.
  bool start_new_stream() {
    current_map_.reset();
    if (!stream_open_) return true;
    stream_open_ = false;
    stream_bytes_ = 0;
    return queue_.begin_stream();
  }

  Finish play_text(ContentKind kind, const std::string& text, const std::string& url, int depth) {
    if (kind == ContentKind::HlsPlaylist) return play_hls(text, url, depth);
    Playlist list = kind == ContentKind::Pls ? parse_pls(text, url, kMaxListEntries)
                                             : parse_m3u(text, url, kMaxListEntries);
    return play_list(list, depth);
  }

  // Plays the entries of a station list one after another.
  Finish play_list(const Playlist& list, int depth) {
    for (const SkippedEntry& skipped : list.skipped) {
      log_event("playlist line {} skipped: {}", skipped.line, skipped.reason);
    }
    if (list.entries.empty()) return {Outcome::Unplayable, "the playlist has no playable entry"};
    Finish last{Outcome::Unplayable, "no entry could be played"};
    bool played = false;
    for (size_t i = 0; i < list.entries.size(); ++i) {
      log_event("playlist entry {} of {}: {}", i + 1, list.entries.size(), list.entries[i].url);
      if (!start_new_stream()) return stopped();
      uint64_t before = pushed_;
      last = play(list.entries[i].url, depth + 1);
      if (last.outcome == Outcome::Stopped) return last;
      if (pushed_ > before) played = true;
      if (last.outcome != Outcome::Ended) log_event("playlist entry {}: {}", i + 1, last.message);
    }
    if (played && last.outcome == Outcome::Unplayable) return {Outcome::Lost, last.message};
    return last;
  }

  Finish play_hls(const std::string& text, const std::string& url, int depth) {
    Result<HlsPlaylist> parsed = parse_hls(text, url);
    if (!parsed) {
      // "#EXTM3U" with "#EXTINF:-1," names is also how plain station lists
      // are written: such a list plays as one.
      Playlist list = parse_m3u(text, url, kMaxListEntries);
      if (!list.entries.empty()) return play_list(list, depth);
      return {Outcome::Unplayable, "bad HLS playlist: " + parsed.error()};
    }
    if (auto* media = std::get_if<HlsMediaPlaylist>(&*parsed)) return follow(url, *media);

    const auto& master = std::get<HlsMasterPlaylist>(*parsed);
    std::vector<HlsChoice> order = variant_order(master, options_.max_bandwidth);
    Finish last{Outcome::Unplayable, "no playable variant"};
    for (const HlsChoice& choice : order) {
      log_event("HLS variant: {}", choice.uri);
      TextResult fetched = fetch_text(choice.uri, playlist_fetch());
      if (fetched.error) {
        last = finish_of(*fetched.error);
        if (last.outcome == Outcome::Stopped) return last;
        log_event("variant failed: {}", last.message);
        continue;
      }
      Result<HlsPlaylist> variant = parse_hls(fetched.body, choice.uri);
      if (!variant || !std::holds_alternative<HlsMediaPlaylist>(*variant)) {
        last = {Outcome::Unplayable,
                "bad HLS variant playlist" + (variant ? std::string() : ": " + variant.error())};
        log_event("variant failed: {}", last.message);
        continue;
      }
      if (!start_new_stream()) return stopped();
      uint64_t before = pushed_;
      last = follow(choice.uri, std::get<HlsMediaPlaylist>(*variant));
      if (last.outcome == Outcome::Stopped || last.outcome == Outcome::Ended) return last;
      // One that played and then broke is lost; the supervisor tries again.
      if (pushed_ > before) return last;
      log_event("variant failed: {}", last.message);
    }
    return last;
  }

  FetchOptions playlist_fetch() const {
    FetchOptions fetch = options_.fetch;
    fetch.max_seconds = kPlaylistSeconds;
    fetch.max_bytes = kMaxPlaylistBytes;
    return fetch;
  }

  Finish follow(const std::string& url, const HlsMediaPlaylist& first) {
    note_facts({"HLS", "", "", 0});
    HlsFollower follower;
    follower.update(first, now());
    double target = first.target_duration;
    int failed_in_row = 0;
    for (;;) {
      while (std::optional<HlsSegment> segment = follower.next_segment()) {
        if (stop_requested()) return stopped();
        if (segment->key && segment->key->method != HlsKeyMethod::Aes128) {
          return {Outcome::Unplayable,
                  "segments encrypted with " + segment->key->method_name + " cannot be played"};
        }
        if (segment->discontinuity && !start_new_stream()) return stopped();
        std::optional<Finish> failed = fetch_segment(*segment, target);
        if (!failed) {
          failed_in_row = 0;
          continue;
        }
        if (failed->outcome == Outcome::Stopped) return *failed;
        log_event("segment {} failed, skipped: {}", segment->sequence, failed->message);
        if (!start_new_stream()) return stopped();
        if (++failed_in_row >= kMaxFailedSegments) {
          return {Outcome::Lost, "segments keep failing: " + failed->message};
        }
      }
      if (follower.finished()) return {Outcome::Ended, "the playlist ended"};
      if (follower.lost(now())) return {Outcome::Lost, "the playlist stopped changing"};
      if (!follower.needs_reload()) return {Outcome::Ended, "the playlist ended"};
      if (!wait_until(follower.next_reload())) return stopped();
      TextResult fetched = fetch_text(url, playlist_fetch());
      if (fetched.error) {
        Finish failed = finish_of(*fetched.error);
        if (failed.outcome == Outcome::Stopped) return failed;
        log_event("playlist reload failed: {}", failed.message);
        follower.reload_failed(now());
        continue;
      }
      Result<HlsPlaylist> parsed = parse_hls(fetched.body, url);
      if (!parsed || !std::holds_alternative<HlsMediaPlaylist>(*parsed)) {
        log_event("playlist reload unreadable: {}", parsed ? "not a media playlist" : parsed.error());
        follower.reload_failed(now());
        continue;
      }
      const auto& media = std::get<HlsMediaPlaylist>(*parsed);
      target = media.target_duration;
      HlsReload reload = follower.update(media, now());
      if (reload.skipped > 0) log_event("fell behind the live stream: {} segments skipped", reload.skipped);
    }
  }

  // Fetches one segment (with its initialisation section and key when it
  // has them) into the queue; a failure says why.
  std::optional<Finish> fetch_segment(const HlsSegment& segment, double target) {

    if (segment.map && (!current_map_ || !same_map(*current_map_, *segment.map))) {
      if (!start_new_stream()) return stopped();
      std::optional<Finish> failed = fetch_bytes(segment.map->uri, segment.map->byte_range, nullptr, target);
      if (failed) return failed;
      current_map_ = segment.map;
    }
    std::unique_ptr<SegmentDecryptor> decryptor;
    if (segment.key) {
      Result<std::array<uint8_t, 16>> key = key_for(segment.key->uri);
      if (!key) return Finish{Outcome::Lost, key.error()};
      std::array<uint8_t, 16> iv{};
      if (segment.key->iv) {
        iv = *segment.key->iv;
      } else {
        for (int i = 0; i < 8; ++i) iv[15 - i] = static_cast<uint8_t>(segment.sequence >> (8 * i));
      }
      decryptor = std::make_unique<SegmentDecryptor>(*key, iv);
      if (!decryptor->ready()) return Finish{Outcome::Lost, "out of memory"};
    }
    const uint64_t segment_start = stream_bytes_;
    std::optional<Finish> failed = fetch_bytes(segment.uri, segment.byte_range, decryptor.get(), target);
    // A playlist's own title counts only while the segments carry none;
    // whether this one does shows once it is read.
    if (!failed && !inband_titles_ && !segment.title.empty()) {
      std::optional<std::string> title = normalize_title(decode_undeclared(segment.title), station_);
      if (title) note_title({*title, ""}, segment_start);
    }
    return failed;
  }

  std::optional<Finish> fetch_bytes(const std::string& uri, const std::optional<HlsByteRange>& range,
                                    SegmentDecryptor* decryptor, double target) {
    FetchOptions fetch = options_.fetch;
    fetch.max_bytes = kMaxSegmentBytes;
    fetch.max_seconds = std::max(30, static_cast<int>(target * 4));
    if (range && range->length > 0) {
      fetch.range = std::make_pair(static_cast<int64_t>(range->offset),
                                   static_cast<int64_t>(range->offset + range->length - 1));
    }
    Result<Fetch> started = Fetch::start(uri, fetch);
    if (!started) return Finish{Outcome::Lost, started.error()};
    Id3Stripper id3;
    std::vector<uint8_t> plain;
    std::vector<FoundTag> found;
    const uint64_t segment_start = stream_bytes_;
    // The segment's titles go to the queue before the audio they come with.
    auto pass = [&](bool last) {
      for (const std::vector<uint8_t>& tag : id3.take_tags()) note_tag(tag, segment_start);
      scanner_.feed(plain.data(), plain.size(), found);
      if (last) scanner_.end_segment(found);
      for (const FoundTag& tag : found) note_tag(tag.tag, segment_start + tag.offset);
      found.clear();
      return push(plain.data(), plain.size());
    };
    uint8_t buffer[16384];
    for (;;) {
      size_t got = 0;
      std::optional<FetchError> failed = started->read(buffer, sizeof buffer, got);
      if (failed) {
        scanner_.end_segment(found);
        return finish_of(*failed);
      }
      plain.clear();
      if (got == 0) {
        if (decryptor) {
          std::vector<uint8_t> last;
          if (!decryptor->end(last)) {
            scanner_.end_segment(found);
            return Finish{Outcome::Unplayable, "a segment does not decrypt with its key"};
          }
          id3.feed(last.data(), last.size(), plain);
        }
        id3.end(plain);
        if (!pass(true)) return stopped();
        return std::nullopt;
      }
      if (decryptor) {
        std::vector<uint8_t> clear;
        decryptor->feed(buffer, got, clear);
        id3.feed(clear.data(), clear.size(), plain);
      } else {
        id3.feed(buffer, got, plain);
      }
      if (!pass(false)) {
        scanner_.end_segment(found);
        return stopped();
      }
    }
  }

  Result<std::array<uint8_t, 16>> key_for(const std::string& uri) {
    auto known = keys_.find(uri);
    if (known != keys_.end()) return known->second;
    FetchOptions fetch = playlist_fetch();
    fetch.max_bytes = 1024;
    TextResult fetched = fetch_text(uri, fetch);
    if (fetched.error) return Error{"key: " + fetched.error->message};
    if (fetched.body.size() != 16) {
      return Error{"the key has " + std::to_string(fetched.body.size()) + " bytes, not 16"};
    }
    std::array<uint8_t, 16> key{};
    std::memcpy(key.data(), fetched.body.data(), 16);
    if (keys_.size() > 64) keys_.clear();
    keys_[uri] = key;
    return key;
  }

  const SourceOptions& options_;
  ByteQueue& queue_;
  uint64_t pushed_ = 0;       // bytes pushed in all
  uint64_t stream_bytes_ = 0; // bytes pushed since the last mark
  std::string station_;       // the stream's own name, which is no title
  std::optional<TitleChange> last_title_;
  bool inband_titles_ = false;  // the stream has said its titles itself
  TimedMetadataScanner scanner_;
  bool stream_open_ = false;  // bytes pushed since the last mark
  std::shared_ptr<const HlsMap> current_map_;
  std::map<std::string, std::array<uint8_t, 16>> keys_;
};

}  // namespace

void run_source(const std::string& url, const SourceOptions& options, ByteQueue& queue) {
  Source source(options, queue);
  Finish how = source.play(url, 0);
  queue.finish(std::move(how));
}

}  // namespace ze::stream
