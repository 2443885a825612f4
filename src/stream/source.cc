#include "stream/source.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <variant>

#include "base/clock.h"
#include "stream/hls_follower.h"
#include "stream/icy_metadata.h"
#include "stream/id3_tags.h"
#include "stream/response_head.h"
#include "stream/timed_metadata.h"
#include "stream/title_text.h"
#include "stream/log.h"
#include "formats/playlist.h"
#include "stream/segment_filters.h"
#include "stream/stop_signal.h"

namespace ze::stream {
namespace {

constexpr size_t kSniffBytes = 2048;
constexpr int64_t kMaxPlaylistBytes = 4 << 20;
constexpr int64_t kMaxSegmentBytes = 64 << 20;
constexpr size_t kMaxListEntries = 100;
constexpr int kMaxListDepth = 4;
// Addresses fetched on behalf of station lists and master playlists in one
// run: a list that lists itself, or lists that fan out, end here.
constexpr int kMaxListFetches = 50;
// This many segments failing in a row and the stream counts as lost.
constexpr int kMaxFailedSegments = 3;
constexpr int kPlaylistSeconds = 20;
constexpr size_t kIcySlice = 4096;
// The first answer of a stream may take this long unless --stall-timeout says.
constexpr int kFirstAnswerSeconds = 15;
// A live stream that sends nothing for this long (plus curl's second of
// grace) is taken as broken and reconnected: its server sends all the time.
constexpr int kBrokenAfterSeconds = 2;
// While the network is out, each try gets this long to connect and to
// answer, so that a fresh connection attempt goes out every two seconds or
// so and the first one after the network is back gets through.
constexpr int kRetryConnectSeconds = 3;
constexpr int kRetryIdleSeconds = 3;
// HLS requests wait for a byte about a target duration, within these bounds.
constexpr int kMinSegmentIdleSeconds = 3;
constexpr int kMaxSegmentIdleSeconds = 10;

using Seconds = std::chrono::duration<double>;

double seconds_since(Instant then) { return Seconds(elapsed_between(then, now())).count(); }

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

// One spell without data: said once when it begins and once when data flows
// again; the tries between are not logged. The first try follows at once,
// the next ones a second and then two seconds after the one before began.
class Outage {
 public:
  bool active() const { return active_; }

  void failed(const std::string& why, int limit_seconds) {
    last_error_ = why;
    if (active_) return;
    active_ = true;
    tries_ = 0;
    next_try_ = now();
    log_event("connection lost: {}; trying again for up to {} s", why, limit_seconds);
  }

  void try_started() {
    ++tries_;
    next_try_ = now() + std::chrono::seconds(std::min(tries_, 2));
  }

  Instant next_try() const { return next_try_; }
  const std::string& last_error() const { return last_error_; }

  void ended(Instant last_data) {
    if (!active_) return;
    active_ = false;
    log_event("connection back after {:.1f} s without data", seconds_since(last_data));
  }

 private:
  bool active_ = false;
  int tries_ = 0;
  Instant next_try_{};
  std::string last_error_;
};

// How fetching one segment (or its initialisation section) went.
struct SegmentResult {
  enum Kind {
    Done,     // every byte is in the queue
    Failed,   // the server refused it, or it is unusable: skipped
    Broken,   // the network failed: to be fetched again, from where it broke
    Stopped,  // a stop was requested
  } kind = Done;
  std::string message;
  uint64_t bytes = 0;  // audio bytes it gave
};

SegmentResult segment_failure(const FetchError& error) {
  switch (error.kind) {
    case FetchFailure::Stopped:
      return {SegmentResult::Stopped, "stopped"};
    case FetchFailure::Refused:
      return {SegmentResult::Failed, error.message};
    case FetchFailure::Network:
      break;
  }
  return {SegmentResult::Broken, error.message};
}

using AesKey = std::array<uint8_t, 16>;

struct Cipher {  // AES-128-CBC
  AesKey key;
  AesKey iv;
};

// A segment's bytes as far as they came: a transfer that the network broke
// goes on from there, through the same decryption and tag removal.
struct Transfer {
  std::string uri;
  std::optional<HlsByteRange> range;
  uint64_t owner = 0;     // the media sequence of the segment it belongs to
  uint64_t received = 0;  // body bytes taken so far
  uint64_t pushed = 0;    // audio bytes pushed so far
  uint64_t start = 0;     // where its audio began in the queue's stream
  std::unique_ptr<SegmentDecryptor> decryptor;
  Id3Stripper id3;
};

class Source {
 public:
  Source(const SourceOptions& options, ByteQueue& queue) : options_(options), queue_(queue) {}

  Finish play(const std::string& url, int depth) {
    if (!is_stream_address(url)) return {Outcome::Unplayable, "not an http or https address"};
    // Icecast and Shoutcast servers send their titles only when asked; the
    // answer's head says how often they come.
    FetchOptions first = options_.fetch;
    first.idle_seconds = options_.stall_seconds.value_or(kFirstAnswerSeconds);
    first.icy = true;
    std::variant<Fetch, FetchError> opened = Fetch::open(url, first);
    if (auto* error = std::get_if<FetchError>(&opened)) return finish_of(*error);
    Fetch fetch = std::move(std::get<Fetch>(opened));
    const std::string where = fetch.head().url;
    IcyBody body(fetch.head());

    // The first bytes tell audio from a playlist; audio shows itself at once.
    uint8_t buffer[16384];
    bool complete = false;
    auto read_more = [&]() -> std::optional<Finish> {
      size_t got = 0;
      std::optional<FetchError> failed = fetch.read(buffer, sizeof buffer, got);
      if (failed) return finish_of(*failed);
      complete = got == 0;
      body.take(buffer, got);
      return std::nullopt;
    };
    auto sniffed = [&] {
      return std::string_view(reinterpret_cast<const char*>(body.audio.data()), body.audio.size());
    };
    while (!complete && body.audio.size() < kSniffBytes && !has_binary_bytes(sniffed())) {
      if (std::optional<Finish> failed = read_more()) return *failed;
    }
    std::string type(fetch.head().header("Content-Type").value_or(""));
    ContentKind kind = sniff_content(where, type, sniffed());
    if (kind == ContentKind::Media) return play_live(std::move(fetch), url, std::move(body), complete);

    if (depth >= kMaxListDepth) return {Outcome::Unplayable, "playlists nested too deeply"};
    while (!complete) {
      if (std::optional<Finish> failed = read_more()) return *failed;
      if (static_cast<int64_t>(body.audio.size()) > kMaxPlaylistBytes) {
        return {Outcome::Unplayable, "the playlist is larger than 4 MB"};
      }
    }
    lists_read_.insert(url);
    lists_read_.insert(where);
    // Relative addresses in the list lead from where it was finally served.
    return play_text(kind, std::string(sniffed()), where, depth);
  }

 private:
  static Finish stopped() { return {Outcome::Stopped, "stopped"}; }

  // The body of a response: the audio, with Icecast's metadata blocks taken
  // out when the head announces them.
  struct IcyBody {
    std::optional<IcyDeinterleaver> icy;
    std::vector<uint8_t> audio;
    std::vector<std::string> blocks;
    // Metadata blocks with the number of audio bytes before them in `audio`.
    std::vector<std::pair<size_t, std::string>> placed;
    std::string station;
    std::string genre;
    uint32_t bitrate = 0;
    bool icecast = false;
    uint64_t received = 0;  // body bytes taken, metadata blocks included

    explicit IcyBody(const ResponseHead& head) {
      if (std::optional<std::string_view> metaint = head.header("icy-metaint")) {
        if (std::optional<size_t> interval = parse_icy_metaint(std::string(*metaint))) icy.emplace(*interval);
      }
      auto text = [&](const char* name) {
        std::optional<std::string_view> value = head.header(name);
        return value ? normalize_title(decode_undeclared(std::string(*value))).value_or("") : std::string();
      };
      station = text("icy-name");
      genre = text("icy-genre");
      if (std::optional<std::string_view> kbps = head.header("icy-br")) {
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

    void take(const uint8_t* data, size_t size) {
      received += size;
      if (!icy) {
        audio.insert(audio.end(), data, data + size);
        return;
      }
      // In slices, so that each block's place in the audio is known to
      // within a slice.
      for (size_t at = 0; at < size; at += kIcySlice) {
        size_t before = blocks.size();
        icy->feed(data + at, std::min(kIcySlice, size - at), audio, blocks);
        for (size_t i = before; i < blocks.size(); ++i) placed.emplace_back(audio.size(), std::move(blocks[i]));
        blocks.clear();
      }
    }

    SourceFacts facts() const { return {icecast ? "ICY" : "HTTP", station, genre, bitrate}; }
  };

  // Passes the body's audio on to the queue, each title placed where it came.
  bool flush(IcyBody& body) {
    for (const auto& [before, block] : body.placed) {
      if (std::optional<std::string> raw = icy_stream_title(block)) {
        inband_titles_ = true;
        note_title({normalize_title(decode_undeclared(*raw), station_).value_or(""), ""},
                   stream_bytes_ + before);
      }
    }
    body.placed.clear();
    bool pushed = push(body.audio.data(), body.audio.size());
    body.audio.clear();
    return pushed;
  }

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

  int stall_limit(double hls_window_seconds = 0) const {
    if (options_.stall_seconds) return *options_.stall_seconds;
    return std::max(kDefaultStallSeconds, static_cast<int>(std::ceil(hls_window_seconds)));
  }

  // One more address fetched for a list; false past the run's limit.
  bool count_list_fetch() { return ++list_fetches_ <= kMaxListFetches; }
  bool lists_exhausted() const { return list_fetches_ > kMaxListFetches; }

  static Finish too_many_lists() {
    return {Outcome::Unplayable,
            "the playlists lead to more than " + std::to_string(kMaxListFetches) + " addresses"};
  }

  // ---- live streams ----

  // Plays an endless stream (Icecast, Shoutcast) whose first bytes are in
  // `first_body`. A connection that breaks is opened again at once and then
  // every second or two until the stall limit: what a live server sent
  // meanwhile is lost, but playback goes on as soon as the network allows. A
  // stream of known length (a file) goes on from the byte where it broke.
  Finish play_live(Fetch first, const std::string& url, IcyBody first_body, bool complete) {
    std::optional<IcyBody> body(std::move(first_body));
    station_ = body->station;
    note_facts(body->facts());
    if (!flush(*body)) return stopped();
    if (complete) return {Outcome::Ended, "the stream ended"};
    const ResponseHead& answer = first.head();
    const bool has_length = answer.status == 200 && answer.header("Content-Length") &&
                            answer.header("Accept-Ranges") == "bytes";
    std::optional<Fetch> fetch(std::move(first));
    fetch->set_idle_seconds(kBrokenAfterSeconds);
    Instant last_data = now();
    uint8_t buffer[16384];
    for (;;) {
      size_t got = 0;
      std::optional<FetchError> failed = fetch->read(buffer, sizeof buffer, got);
      if (!failed) {
        if (got == 0) return {Outcome::Ended, "the stream ended"};
        body->take(buffer, got);
        if (!flush(*body)) return stopped();
        last_data = now();
        continue;
      }
      if (failed->kind == FetchFailure::Stopped) return stopped();
      fetch.reset();
      std::optional<uint64_t> resume_at;
      if (has_length) resume_at = body->received;
      std::variant<Fetch, Finish> again = reconnect(url, last_data, failed->message, resume_at, body);
      if (auto* finish = std::get_if<Finish>(&again)) return *finish;
      fetch.emplace(std::move(std::get<Fetch>(again)));
    }
  }

  // Opens `url` again once the network allows, within the stall limit, and
  // pushes the first bytes of the new connection. With `resume_at`, asks for
  // the rest from that byte on (dropping what a server that ignores ranges
  // sends again) and `body` reads on; otherwise the new connection is a new
  // stream, whose own head says whether and how often metadata comes.
  std::variant<Fetch, Finish> reconnect(const std::string& url, Instant& last_data, const std::string& why,
                                        std::optional<uint64_t> resume_at, std::optional<IcyBody>& body) {
    const int limit = stall_limit();
    const Instant give_up = last_data + std::chrono::seconds(limit);
    Outage outage;
    outage.failed(why, limit);
    FetchOptions retry = options_.fetch;
    retry.connect_seconds = std::min(retry.connect_seconds, kRetryConnectSeconds);
    retry.idle_seconds = kRetryIdleSeconds;
    retry.icy = true;
    if (resume_at) retry.range = std::make_pair(static_cast<int64_t>(*resume_at), int64_t{-1});
    uint8_t buffer[16384];
    for (;;) {
      if (!wait_until(std::min(outage.next_try(), give_up))) return stopped();
      if (now() >= give_up) {
        return Finish{Outcome::Lost,
                      "no data for " + std::to_string(limit) + " s (" + outage.last_error() + ")"};
      }
      outage.try_started();
      std::variant<Fetch, FetchError> opened = Fetch::open(url, retry);
      if (auto* error = std::get_if<FetchError>(&opened)) {
        if (error->kind == FetchFailure::Stopped) return stopped();
        if (error->kind == FetchFailure::Refused && resume_at) {
          // No part of it after all: what comes next is a new stream.
          resume_at.reset();
          retry.range.reset();
        }
        outage.failed(error->message, limit);
        continue;
      }
      Fetch& fetch = std::get<Fetch>(opened);
      uint64_t drop = resume_at && fetch.head().status != 206 ? *resume_at : 0;
      size_t got = 0;
      std::optional<FetchError> failed;
      while (!(failed = fetch.read(buffer, sizeof buffer, got)) && got > 0 && drop >= got) drop -= got;
      if (failed || got == 0) {
        if (failed && failed->kind == FetchFailure::Stopped) return stopped();
        outage.failed(failed ? failed->message : "the stream ended at once", limit);
        continue;
      }
      outage.ended(last_data);
      // A live stream's new connection starts wherever the server is now.
      if (!resume_at) {
        if (!start_new_stream()) return stopped();
        body.emplace(fetch.head());
        station_ = body->station;
        note_facts(body->facts());
      }
      body->take(buffer + drop, got - drop);
      if (!flush(*body)) return stopped();
      last_data = now();
      fetch.set_idle_seconds(kBrokenAfterSeconds);
      return std::move(fetch);
    }
  }

  // ---- lists ----

  Finish play_text(ContentKind kind, const std::string& text, const std::string& url, int depth) {
    if (kind == ContentKind::HlsPlaylist) return play_hls(text, url, depth);
    Playlist list = kind == ContentKind::Pls ? parse_pls(text, url, kMaxListEntries)
                                             : parse_m3u(text, url, kMaxListEntries);
    return play_list(list, depth);
  }

  // Plays the entries of a station list one after another.
  Finish play_list(const Playlist& list, int depth) {
    LogRun skipped_lines;
    for (const SkippedEntry& skipped : list.skipped) {
      skipped_lines.event("playlist lines skipped",
                          fmt::format("playlist line {} skipped: {}", skipped.line, skipped.reason));
    }
    skipped_lines.flush();
    if (list.entries.empty()) return {Outcome::Unplayable, "the playlist has no playable entry"};
    Finish last{Outcome::Unplayable, "no entry could be played"};
    bool played = false;
    LogRun repeats;
    for (size_t i = 0; i < list.entries.size(); ++i) {
      const std::string& entry = list.entries[i].url;
      if (lists_read_.contains(entry)) {
        repeats.event("entries skipped as playlists already read",
                      fmt::format("playlist entry {}: a playlist already read, skipped", i + 1));
        continue;
      }
      repeats.flush();
      if (!count_list_fetch()) return too_many_lists();
      log_event("playlist entry {} of {}: {}", i + 1, list.entries.size(), entry);
      if (!start_new_stream()) return stopped();
      uint64_t before = pushed_;
      last = play(entry, depth + 1);
      if (last.outcome == Outcome::Stopped) return last;
      if (pushed_ > before) played = true;
      if (last.outcome != Outcome::Ended) log_event("playlist entry {}: {}", i + 1, last.message);
      if (lists_exhausted()) return last;
    }
    if (played && last.outcome == Outcome::Unplayable) return {Outcome::Lost, last.message};
    return last;
  }

  Finish play_hls(const std::string& text, const std::string& url, int depth) {
    Result<HlsPlaylist> parsed = parse_hls(text, url);
    if (!parsed) {
      // "#EXTM3U" with "#EXTINF:-1," names is also how plain station lists
      // are written: such a list plays as one. One with HLS tags is HLS.
      Playlist list = parse_m3u(text, url, kMaxListEntries);
      if (!list.entries.empty() && text.find("#EXT-X-") == std::string::npos) return play_list(list, depth);
      return {Outcome::Unplayable, "bad HLS playlist: " + parsed.error()};
    }
    if (auto* media = std::get_if<HlsMediaPlaylist>(&*parsed)) return follow(url, *media);

    const auto& master = std::get<HlsMasterPlaylist>(*parsed);
    std::vector<HlsChoice> order = variant_order(master, options_.max_bandwidth);
    Finish last{Outcome::Unplayable, "no playable variant"};
    for (const HlsChoice& choice : order) {
      if (!count_list_fetch()) return too_many_lists();
      log_event("HLS variant: {}", choice.uri);
      TextResult fetched = fetch_text(choice.uri, playlist_fetch(kMinSegmentIdleSeconds, false));
      if (fetched.error) {
        last = finish_of(*fetched.error);
        if (last.outcome == Outcome::Stopped) return last;
        log_event("variant failed: {}", last.message);
        continue;
      }
      // Segments lead from where the variant was finally served, and its
      // reloads go there.
      Result<HlsPlaylist> variant = parse_hls(fetched.body, fetched.url);
      if (!variant || !std::holds_alternative<HlsMediaPlaylist>(*variant)) {
        last = {Outcome::Unplayable,
                "bad HLS variant playlist" + (variant ? std::string() : ": " + variant.error())};
        log_event("variant failed: {}", last.message);
        continue;
      }
      if (!start_new_stream()) return stopped();
      uint64_t before = pushed_;
      last = follow(fetched.url, std::get<HlsMediaPlaylist>(*variant));
      if (last.outcome == Outcome::Stopped || last.outcome == Outcome::Ended) return last;
      // One that played and then broke is lost; the supervisor tries again.
      if (pushed_ > before) return last;
      log_event("variant failed: {}", last.message);
    }
    return last;
  }

  // ---- HLS ----

  static int idle_for(double target) {
    return std::clamp(static_cast<int>(std::ceil(target)), kMinSegmentIdleSeconds, kMaxSegmentIdleSeconds);
  }

  FetchOptions playlist_fetch(double target, bool retrying) const {
    FetchOptions fetch = options_.fetch;
    fetch.max_seconds = kPlaylistSeconds;
    fetch.max_bytes = kMaxPlaylistBytes;
    fetch.idle_seconds = idle_for(target);
    if (retrying) fetch.connect_seconds = std::min(fetch.connect_seconds, kRetryConnectSeconds);
    return fetch;
  }

  // Follows a media playlist served from `url` (its final address). When the
  // network fails, the segment it was fetching is kept and the playlist is
  // reloaded every second or two until the stall limit, which by default
  // reaches back as far as the playlist does: once the network is back, what
  // is still listed plays, late but whole; what has left the playlist is
  // skipped, and the log says how much.
  Finish follow(const std::string& url, const HlsMediaPlaylist& first) {
    note_facts({"HLS", "", "", 0});
    HlsFollower follower;
    follower.update(first, now());
    double target = first.target_duration;
    const int limit = stall_limit(listed_seconds(first) + target);
    const auto limit_time = std::chrono::seconds(limit);
    int failed_in_row = 0;
    Instant last_data = now();
    Outage outage;
    // While the network is out only the playlist is asked for; segments
    // follow once it answers.
    bool probing = false;
    LogRun failures;
    for (;;) {
      while (std::optional<HlsSegment> segment = probing ? std::nullopt : follower.next_segment()) {
        if (stop_requested()) return stopped();
        if (segment->key && segment->key->method != HlsKeyMethod::Aes128) {
          return {Outcome::Unplayable,
                  "segments encrypted with " + segment->key->method_name + " cannot be played"};
        }
        bool resuming = transfer_ && transfer_->owner == segment->sequence;
        if (segment->discontinuity && !resuming && !start_new_stream()) return stopped();
        SegmentResult result = fetch_segment(*segment, target, outage.active());
        if (result.kind == SegmentResult::Stopped) return stopped();
        if (result.kind == SegmentResult::Done && result.bytes == 0) {
          result = {SegmentResult::Failed, "it holds no audio"};
        }
        if (result.kind == SegmentResult::Done) {
          failed_in_row = 0;
          outage.ended(last_data);
          last_data = now();
          continue;
        }
        if (result.kind == SegmentResult::Broken) {
          follower.put_back(std::move(*segment));
          failures.flush();
          outage.failed(result.message, limit);
          probing = true;
          break;
        }
        failures.event("segments failed and skipped",
                       fmt::format("segment {} failed, skipped: {}", segment->sequence, result.message));
        transfer_.reset();
        if (!start_new_stream()) return stopped();
        if (++failed_in_row >= kMaxFailedSegments) {
          return {Outcome::Lost, "segments keep failing: " + result.message};
        }
      }
      if (follower.finished()) return {Outcome::Ended, "the playlist ended"};
      Instant when;
      if (outage.active()) {
        if (now() - last_data >= limit_time) {
          return {Outcome::Lost,
                  "no data for " + std::to_string(limit) + " s (" + outage.last_error() + ")"};
        }
        when = std::min(outage.next_try(), last_data + limit_time);
      } else {
        if (follower.lost(now())) return {Outcome::Lost, "the playlist stopped changing"};
        if (!follower.needs_reload()) return {Outcome::Ended, "the playlist ended"};
        when = follower.next_reload();
      }
      if (!wait_until(when)) return stopped();
      if (outage.active()) {
        if (now() - last_data >= limit_time) continue;
        outage.try_started();
        // An ended playlist has nothing new to say: its segment is tried again.
        if (!follower.needs_reload()) {
          probing = false;
          continue;
        }
      }
      TextResult fetched = fetch_text(url, playlist_fetch(target, outage.active()));
      if (fetched.error) {
        if (fetched.error->kind == FetchFailure::Stopped) return stopped();
        if (fetched.error->kind == FetchFailure::Network) {
          failures.flush();
          outage.failed("playlist: " + fetched.error->message, limit);
          probing = true;
          continue;
        }
        probing = false;
        failures.event("playlist reloads failed", "playlist reload failed: " + fetched.error->message);
        follower.reload_failed(now());
        continue;
      }
      probing = false;
      Result<HlsPlaylist> parsed = parse_hls(fetched.body, url);
      if (!parsed || !std::holds_alternative<HlsMediaPlaylist>(*parsed)) {
        failures.event("playlist reloads unreadable",
                       fmt::format("playlist reload unreadable: {}",
                                   parsed ? "not a media playlist" : parsed.error()));
        follower.reload_failed(now());
        continue;
      }
      const auto& media = std::get<HlsMediaPlaylist>(*parsed);
      target = media.target_duration;
      HlsReload reload = follower.update(media, now());
      if (reload.skipped > 0) {
        failures.flush();
        log_event("skipped {:.0f} s of audio that left the playlist ({} segments)", reload.skipped_seconds,
                  reload.skipped);
        transfer_.reset();
      }
    }
  }

  // Fetches one segment (with its initialisation section and key when it
  // has them) into the queue.
  SegmentResult fetch_segment(const HlsSegment& segment, double target, bool retrying) {
    FetchOptions fetch = options_.fetch;
    fetch.max_bytes = kMaxSegmentBytes;
    fetch.max_seconds = std::max(30, static_cast<int>(target * 4));
    fetch.idle_seconds = idle_for(target);
    if (retrying) fetch.connect_seconds = std::min(fetch.connect_seconds, kRetryConnectSeconds);

    if (segment.map && (!current_map_ || *current_map_ != *segment.map)) {
      bool resuming = transfer_ && transfer_->uri == segment.map->uri;
      if (!resuming && !start_new_stream()) return {SegmentResult::Stopped, "stopped"};
      SegmentResult map =
          fetch_bytes(segment.map->uri, segment.map->byte_range, std::nullopt, segment.sequence, fetch);
      if (map.kind != SegmentResult::Done) return map;
      current_map_ = segment.map;
    }
    std::optional<Cipher> cipher;
    if (segment.key) {
      std::variant<AesKey, SegmentResult> found = key_for(segment.key->uri);
      if (auto* failed = std::get_if<SegmentResult>(&found)) return *failed;
      cipher = Cipher{std::get<AesKey>(found), {}};
      if (segment.key->iv) {
        cipher->iv = *segment.key->iv;
      } else {
        for (int i = 0; i < 8; ++i) cipher->iv[15 - i] = static_cast<uint8_t>(segment.sequence >> (8 * i));
      }
    }
    // Where the segment's audio began: a transfer the network cut short
    // goes on from there.
    const bool resuming = transfer_ && transfer_->owner == segment.sequence && transfer_->uri == segment.uri;
    const uint64_t segment_start = resuming ? transfer_->start : stream_bytes_;
    SegmentResult result = fetch_bytes(segment.uri, segment.byte_range, cipher, segment.sequence, fetch);
    // A playlist's own title counts only while the segments carry none;
    // whether this one does shows once it is read.
    if (result.kind == SegmentResult::Done && !inband_titles_ && !segment.title.empty()) {
      std::optional<std::string> title = normalize_title(decode_undeclared(segment.title), station_);
      if (title) note_title({*title, ""}, segment_start);
    }
    return result;
  }

  // Fetches a segment's bytes into the queue, going on from where an earlier
  // transfer of the same bytes broke, decrypting them with `cipher` if given.
  SegmentResult fetch_bytes(const std::string& uri, const std::optional<HlsByteRange>& range,
                            const std::optional<Cipher>& cipher, uint64_t owner, FetchOptions fetch) {
    if (!transfer_ || transfer_->uri != uri || transfer_->range != range ||
        transfer_->owner != owner) {
      transfer_.emplace();
      transfer_->uri = uri;
      transfer_->range = range;
      transfer_->owner = owner;
      transfer_->start = stream_bytes_;
      // The scanner reads this segment from its start; what it held of one
      // given up on is dropped.
      std::vector<FoundTag> dropped;
      scanner_.end_segment(dropped);
      if (cipher) {
        transfer_->decryptor = std::make_unique<SegmentDecryptor>(cipher->key, cipher->iv);
        if (!transfer_->decryptor->ready()) return {SegmentResult::Failed, "out of memory"};
      }
    }
    Transfer& t = *transfer_;
    uint64_t first = range && range->length > 0 ? range->offset : 0;
    std::optional<uint64_t> length;
    if (range && range->length > 0) length = range->length;
    uint64_t from = first + t.received;
    if (from > 0 || length) {
      fetch.range = std::make_pair(static_cast<int64_t>(from),
                                   length ? static_cast<int64_t>(first + *length - 1) : int64_t{-1});
    }
    std::variant<Fetch, FetchError> opened = Fetch::open(uri, fetch);
    if (auto* error = std::get_if<FetchError>(&opened)) return segment_failure(*error);
    Fetch& body = std::get<Fetch>(opened);
    // A server that ignores the range sends the whole file: what comes
    // before the wanted bytes is dropped here.
    uint64_t drop = fetch.range && body.head().status != 206 ? from : 0;
    std::optional<uint64_t> wanted;
    if (length) wanted = *length - t.received;

    std::vector<uint8_t> plain;
    std::vector<FoundTag> found;
    // The segment's titles go to the queue before the audio they come with.
    auto pass = [&](bool last) {
      for (const std::vector<uint8_t>& tag : t.id3.take_tags()) note_tag(tag, t.start);
      scanner_.feed(plain.data(), plain.size(), found);
      if (last) scanner_.end_segment(found);
      for (const FoundTag& tag : found) note_tag(tag.tag, t.start + tag.offset);
      found.clear();
      return push(plain.data(), plain.size());
    };
    uint8_t buffer[16384];
    for (;;) {
      size_t got = 0;
      std::optional<FetchError> failed = body.read(buffer, sizeof buffer, got);
      if (failed) return segment_failure(*failed);
      const uint8_t* data = buffer;
      size_t size = got;
      size_t skip = static_cast<size_t>(std::min<uint64_t>(drop, size));
      drop -= skip;
      data += skip;
      size -= skip;
      if (wanted) size = static_cast<size_t>(std::min<uint64_t>(size, *wanted));
      plain.clear();
      if (size > 0) {
        t.received += size;
        if (wanted) *wanted -= size;
        if (t.decryptor) {
          std::vector<uint8_t> clear;
          t.decryptor->feed(data, size, clear);
          t.id3.feed(clear.data(), clear.size(), plain);
        } else {
          t.id3.feed(data, size, plain);
        }
      }
      bool done = got == 0 || (wanted && *wanted == 0);
      if (done) {
        if (t.decryptor) {
          std::vector<uint8_t> last;
          if (!t.decryptor->end(last)) return {SegmentResult::Failed, "a segment does not decrypt with its key"};
          t.id3.feed(last.data(), last.size(), plain);
        }
        t.id3.end(plain);
      }
      t.pushed += plain.size();
      if (!pass(done)) return {SegmentResult::Stopped, "stopped"};
      if (done) {
        SegmentResult result{SegmentResult::Done, "", t.pushed};
        transfer_.reset();
        return result;
      }
    }
  }

  std::variant<AesKey, SegmentResult> key_for(const std::string& uri) {
    auto known = keys_.find(uri);
    if (known != keys_.end()) return known->second;
    FetchOptions fetch = playlist_fetch(kMinSegmentIdleSeconds, false);
    fetch.max_bytes = 1024;
    TextResult fetched = fetch_text(uri, fetch);
    if (fetched.error) {
      SegmentResult failed = segment_failure(*fetched.error);
      failed.message = "key: " + failed.message;
      return failed;
    }
    if (fetched.body.size() != 16) {
      return SegmentResult{SegmentResult::Failed,
                           "the key has " + std::to_string(fetched.body.size()) + " bytes, not 16"};
    }
    AesKey key{};
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
  std::map<std::string, AesKey> keys_;
  std::optional<Transfer> transfer_;  // a segment the network cut short
  std::set<std::string> lists_read_;  // addresses that served a list, as asked for and as served
  int list_fetches_ = 0;
};

}  // namespace

void run_source(const std::string& url, const SourceOptions& options, ByteQueue& queue) {
  Source source(options, queue);
  Finish how = source.play(url, 0);
  queue.finish(std::move(how));
}

}  // namespace ze::stream
