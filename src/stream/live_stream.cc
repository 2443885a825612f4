#include "stream/live_stream.h"

#include <algorithm>
#include <chrono>

#include "stream/drop_out.h"
#include "stream/log.h"
#include "stream/title_text.h"

namespace ze::stream {
namespace {

constexpr size_t kIcySlice = 4096;
// A live stream that sends nothing for this long (plus curl's second of
// grace) is taken as broken and reconnected: its server sends all the time.
constexpr int kBrokenAfterSeconds = 2;
// A stalled connection that resumes this soon after a new one answered is
// taken back: it loses nothing, and the silence grows by at most this much.
constexpr int kPreferStalledMs = 2000;

class LiveStream {
 public:
  LiveStream(SourceContext& context, const std::string& url, IcyBody body, bool titles)
      : context_(context), url_(url), body_(std::move(body)), titles_(titles) {}

  Finish play(Fetch first, bool complete) {
    context_.titles.set_station(body_->station);
    context_.writer.note_facts(body_->facts());
    if (!flush()) return stopped();
    const ResponseHead& answer = first.head();
    has_length_ = answer.status == 200 && answer.header("Content-Length") &&
                  answer.header("Accept-Ranges") == "bytes";
    // A file ends where its length says; a live stream has no end, so a
    // server that closes one has dropped it like a broken network.
    const bool ends = answer.header("Content-Length").has_value();
    std::optional<Fetch> fetch(std::move(first));
    fetch->set_idle_seconds(kBrokenAfterSeconds);
    last_data_ = now();
    for (;;) {
      Result<size_t> got = complete ? Result<size_t>(size_t{0}) : fetch->read(buffer_, sizeof buffer_);
      complete = false;
      if (got && *got > 0) {
        body_->take(buffer_, *got);
        if (!flush()) return stopped();
        last_data_ = now();
        continue;
      }
      if (got && ends) return {Outcome::Ended, "the stream ended"};
      if (!got && got.kind() == ErrorKind::Stopped) return stopped();
      // A connection that stalled may come back; one the server closed won't.
      std::optional<Fetch> stalled;
      if (!got && !fetch->ready(0)) stalled.emplace(std::move(*fetch));
      fetch.reset();
      Result<Fetch> again = reconnect(got ? "the server closed the stream" : got.error(), std::move(stalled));
      if (!again) return finish_of(again.failure());
      fetch.emplace(std::move(again).value());
    }
  }

 private:
  // Passes the body's audio on to the queue, each title placed where it came.
  bool flush() {
    for (const auto& [before, block] : body_->placed) {
      context_.titles.icy_block(block, context_.writer.stream_bytes() + before);
    }
    body_->placed.clear();
    bool pushed = context_.writer.push(body_->audio.data(), body_->audio.size());
    body_->audio.clear();
    return pushed;
  }

  // Connects again once the network allows, within the stall limit, and
  // pushes the first bytes of the connection that plays on. A connection
  // that only stalled is kept meanwhile: its bytes go on exactly where the
  // audio stopped, so it is taken back when it resumes before a new
  // connection answers or within kPreferStalledMs after. Otherwise a file of
  // known length asks for the rest from where it broke (dropping what a
  // server that ignores ranges sends again) and its body reads on, and a
  // live stream's new connection is a new stream, whose own head says
  // whether and how often metadata comes. Fails with Stopped, or Network
  // with the message of the lost stream.
  Result<Fetch> reconnect(const std::string& why, std::optional<Fetch> stalled) {
    const int limit = context_.stall_limit();
    const Instant give_up = last_data_ + std::chrono::seconds(limit);
    std::optional<uint64_t> resume_at;
    if (has_length_) resume_at = body_->received;
    Outage outage;
    outage.failed(why, limit);
    FetchOptions retry = retry_options(context_.options.fetch);
    retry.idle_seconds = kRetryIdleSeconds;
    retry.curl_idle_seconds = limit;
    retry.icy = titles_;
    if (resume_at) retry.range = std::make_pair(static_cast<int64_t>(*resume_at), int64_t{-1});
    for (;;) {
      if (!wait_until(std::min(outage.next_try(), give_up), stalled ? &*stalled : nullptr)) {
        return Error::stopped();
      }
      if (stalled && stalled->ready(0)) {
        if (std::optional<Result<Fetch>> back = take_back(stalled, outage)) return std::move(*back);
      }
      if (now() >= give_up) return Error::network(outage.lost_message(limit));
      outage.try_started();
      Result<Fetch> opened = Fetch::open(url_, retry);
      if (!opened) {
        if (opened.kind() == ErrorKind::Stopped) return Error::stopped();
        if (opened.kind() == ErrorKind::Refused && resume_at) {
          // No part of it after all: what comes next is a new stream.
          resume_at.reset();
          retry.range.reset();
        }
        outage.failed(opened.error(), limit);
        continue;
      }
      Fetch& fetch = *opened;
      uint64_t drop = resume_at && fetch.head().status != 206 ? *resume_at : 0;
      Result<size_t> got = fetch.read(buffer_, sizeof buffer_);
      while (got && *got > 0 && drop >= *got) {
        drop -= *got;
        got = fetch.read(buffer_, sizeof buffer_);
      }
      if (!got || *got == 0) {
        if (!got && got.kind() == ErrorKind::Stopped) return Error::stopped();
        outage.failed(got ? "the stream ended at once" : got.error(), limit);
        continue;
      }
      if (stalled && stalled->ready(kPreferStalledMs)) {
        if (std::optional<Result<Fetch>> back = take_back(stalled, outage)) return std::move(*back);
      }
      outage.ended(last_data_);
      if (!resume_at && !begin_again(fetch.head())) return Error::stopped();
      body_->take(buffer_ + drop, *got - drop);
      if (!flush()) return Error::stopped();
      last_data_ = now();
      fetch.set_idle_seconds(kBrokenAfterSeconds);
      return std::move(opened).value();
    }
  }

  // The stalled connection's bytes, when it resumed: it plays on where the
  // audio stopped. Nothing when it ended instead (it is dropped then).
  std::optional<Result<Fetch>> take_back(std::optional<Fetch>& stalled, Outage& outage) {
    Result<size_t> got = stalled->read(buffer_, sizeof buffer_);
    if (!got && got.kind() == ErrorKind::Stopped) return Result<Fetch>(Error::stopped());
    if (!got || *got == 0) {
      stalled.reset();
      return std::nullopt;
    }
    log_event("the stalled connection resumed: nothing was lost");
    outage.ended(last_data_);
    body_->take(buffer_, *got);
    if (!flush()) return Result<Fetch>(Error::stopped());
    last_data_ = now();
    stalled->set_idle_seconds(kBrokenAfterSeconds);
    Result<Fetch> back(std::move(*stalled));
    stalled.reset();
    return back;
  }

  // A live stream's new connection starts wherever the server is now.
  bool begin_again(const ResponseHead& head) {
    if (!context_.writer.start_new_stream()) return false;
    body_.emplace(head);
    context_.titles.set_station(body_->station);
    context_.writer.note_facts(body_->facts());
    return true;
  }

  SourceContext& context_;
  const std::string& url_;
  std::optional<IcyBody> body_;  // replaced whole when a live stream starts again
  const bool titles_;
  bool has_length_ = false;
  Instant last_data_{};
  uint8_t buffer_[16384];
};

}  // namespace

std::optional<std::string> unreadable_metaint(const ResponseHead& head) {
  std::optional<std::string_view> metaint = head.header("icy-metaint");
  if (!metaint || parse_icy_metaint(*metaint)) return std::nullopt;
  return std::string(*metaint);
}

IcyBody::IcyBody(const ResponseHead& head) {
  if (std::optional<std::string_view> metaint = head.header("icy-metaint")) {
    if (std::optional<size_t> interval = parse_icy_metaint(*metaint)) icy.emplace(*interval);
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

void IcyBody::take(const uint8_t* data, size_t size) {
  received += size;
  if (!icy) {
    audio.insert(audio.end(), data, data + size);
    return;
  }
  // In slices, so that each block's place in the audio is known to within
  // a slice.
  std::vector<std::string> blocks;
  for (size_t at = 0; at < size; at += kIcySlice) {
    icy->feed(data + at, std::min(kIcySlice, size - at), audio, blocks);
    for (std::string& block : blocks) placed.emplace_back(audio.size(), std::move(block));
    blocks.clear();
  }
}

Finish play_live_stream(SourceContext& context, Fetch first, const std::string& url, IcyBody body,
                        bool complete, bool titles) {
  LiveStream live(context, url, std::move(body), titles);
  return live.play(std::move(first), complete);
}

}  // namespace ze::stream
