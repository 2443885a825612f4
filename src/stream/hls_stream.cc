#include "stream/hls_stream.h"

#include <chrono>
#include <optional>

#include "stream/drop_out.h"
#include "stream/hls_follower.h"
#include "stream/log.h"
#include "stream/segment_fetcher.h"
#include "stream/stop_signal.h"

namespace ze::stream {
namespace {

// This many segments failing in a row and the stream counts as lost.
constexpr int kMaxFailedSegments = 3;

class HlsStream {
 public:
  HlsStream(SourceContext& context, const std::string& url, const HlsMediaPlaylist& first)
      : context_(context), url_(url), fetcher_(context), target_(first.target_duration),
        limit_(context.stall_limit(listed_seconds(first) + first.target_duration)),
        limit_time_(limit_), last_data_(now()) {
    follower_.update(first, now());
  }

  Finish run() {
    context_.writer.note_facts({"HLS", "", "", 0});
    for (;;) {
      if (std::optional<Finish> end = fetch_listed()) return *end;
      if (follower_.finished()) return {Outcome::Ended, "the playlist ended"};
      if (std::optional<Finish> end = wait_turn()) return *end;
      if (outage_.active()) {
        if (now() - last_data_ >= limit_time_) continue;
        outage_.try_started();
        // An ended playlist has nothing new to say: its segment is tried again.
        if (!follower_.needs_reload()) {
          probing_ = false;
          continue;
        }
      }
      if (std::optional<Finish> end = reload()) return *end;
    }
  }

 private:
  // Fetches the segments listed and not yet played; stops at the first that
  // the network broke, which is kept for the next try.
  std::optional<Finish> fetch_listed() {
    // While the network is out only the playlist is asked for; segments
    // follow once it answers.
    while (std::optional<HlsSegment> segment = probing_ ? std::nullopt : follower_.next_segment()) {
      if (stop_requested()) return stopped();
      if (segment->key && segment->key->method != HlsKeyMethod::Aes128) {
        return Finish{Outcome::Unplayable,
                      "segments encrypted with " + segment->key->method_name + " cannot be played"};
      }
      bool resuming = fetcher_.resumes(segment->sequence);
      if (segment->discontinuity && !resuming && !context_.writer.start_new_stream()) return stopped();
      Result<uint64_t> fetched = fetcher_.fetch(*segment, target_, outage_.active());
      if (!fetched && fetched.kind() == ErrorKind::Stopped) return stopped();
      if (fetched && *fetched == 0) fetched = Error::refused("it holds no audio");
      if (fetched) {
        failed_in_row_ = 0;
        outage_.ended(last_data_);
        last_data_ = now();
        continue;
      }
      if (fetched.kind() == ErrorKind::Network) {
        follower_.put_back(std::move(*segment));
        failures_.flush();
        outage_.failed(fetched.error(), limit_);
        probing_ = true;
        break;
      }
      failures_.event("segments failed and skipped",
                      fmt::format("segment {} failed, skipped: {}", segment->sequence, fetched.error()));
      fetcher_.drop_transfer();
      if (!context_.writer.start_new_stream()) return stopped();
      if (++failed_in_row_ >= kMaxFailedSegments) {
        return Finish{Outcome::Lost, "segments keep failing: " + fetched.error()};
      }
    }
    return std::nullopt;
  }

  // Waits for the playlist's next reload, or for the next try while the
  // network is out; a finish when the stream ends here.
  std::optional<Finish> wait_turn() {
    Instant when;
    if (outage_.active()) {
      if (now() - last_data_ >= limit_time_) return Finish{Outcome::Lost, outage_.lost_message(limit_)};
      when = std::min(outage_.next_try(), last_data_ + limit_time_);
    } else {
      if (follower_.lost(now())) return Finish{Outcome::Lost, "the playlist stopped changing"};
      if (!follower_.needs_reload()) return Finish{Outcome::Ended, "the playlist ended"};
      when = follower_.next_reload();
    }
    if (!wait_until(when)) return stopped();
    return std::nullopt;
  }

  std::optional<Finish> reload() {
    Result<FetchedText> fetched =
        fetch_text(url_, hls_playlist_options(context_.options.fetch, target_, outage_.active()));
    if (!fetched) {
      if (fetched.kind() == ErrorKind::Stopped) return stopped();
      if (fetched.kind() == ErrorKind::Network) {
        failures_.flush();
        outage_.failed("playlist: " + fetched.error(), limit_);
        probing_ = true;
        return std::nullopt;
      }
      probing_ = false;
      failures_.event("playlist reloads failed", "playlist reload failed: " + fetched.error());
      follower_.reload_failed(now());
      return std::nullopt;
    }
    probing_ = false;
    Result<HlsPlaylist> parsed = parse_hls(fetched->body, url_);
    if (!parsed || !std::holds_alternative<HlsMediaPlaylist>(*parsed)) {
      failures_.event("playlist reloads unreadable",
                      fmt::format("playlist reload unreadable: {}",
                                  parsed ? "not a media playlist" : parsed.error()));
      follower_.reload_failed(now());
      return std::nullopt;
    }
    const auto& media = std::get<HlsMediaPlaylist>(*parsed);
    target_ = media.target_duration;
    HlsReload reload = follower_.update(media, now());
    if (reload.resynchronised) {
      log_event("the playlist's media sequence jumped from {} to {}; starting again at its live edge",
                reload.sequence_before, reload.sequence_after);
    }
    if (reload.skipped > 0) {
      failures_.flush();
      log_event("skipped {:.0f} s of audio that left the playlist ({} segments)", reload.skipped_seconds,
                reload.skipped);
      fetcher_.drop_transfer();
    }
    return std::nullopt;
  }

  SourceContext& context_;
  const std::string& url_;
  SegmentFetcher fetcher_;
  HlsFollower follower_;
  double target_;
  const int limit_;
  const std::chrono::seconds limit_time_;
  Instant last_data_;
  Outage outage_;
  bool probing_ = false;
  int failed_in_row_ = 0;
  LogRun failures_;
};

}  // namespace

Finish follow_hls(SourceContext& context, const std::string& url, const HlsMediaPlaylist& first) {
  HlsStream stream(context, url, first);
  return stream.run();
}

Finish play_hls_master(SourceContext& context, const HlsMasterPlaylist& master) {
  std::vector<HlsChoice> order = variant_order(master, context.options.max_bandwidth);
  Finish last{Outcome::Unplayable, "no playable variant"};
  for (const HlsChoice& choice : order) {
    if (!context.count_list_fetch()) return SourceContext::too_many_lists();
    log_event("HLS variant: {}", choice.uri);
    Result<FetchedText> fetched = fetch_text(choice.uri, hls_playlist_options(context.options.fetch, 0, false));
    if (!fetched) {
      last = finish_of(fetched.failure());
      if (last.outcome == Outcome::Stopped) return last;
      log_event("variant failed: {}", last.message);
      continue;
    }
    // Segments lead from where the variant was finally served, and its
    // reloads go there.
    Result<HlsPlaylist> variant = parse_hls(fetched->body, fetched->url);
    if (!variant || !std::holds_alternative<HlsMediaPlaylist>(*variant)) {
      last = {Outcome::Unplayable, "bad HLS variant playlist" + (variant ? std::string() : ": " + variant.error())};
      log_event("variant failed: {}", last.message);
      continue;
    }
    if (!context.writer.start_new_stream()) return stopped();
    uint64_t before = context.writer.pushed();
    last = follow_hls(context, fetched->url, std::get<HlsMediaPlaylist>(*variant));
    if (last.outcome == Outcome::Stopped || last.outcome == Outcome::Ended) return last;
    // One that played and then broke is lost; the supervisor tries again.
    if (context.writer.pushed() > before) return last;
    log_event("variant failed: {}", last.message);
  }
  return last;
}

}  // namespace ze::stream
