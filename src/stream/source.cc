#include "stream/source.h"

#include <memory>
#include <set>

#include "formats/playlist.h"
#include "stream/hls_stream.h"
#include "stream/live_stream.h"
#include "stream/log.h"

namespace ze::stream {
namespace {

constexpr size_t kSniffBytes = 2048;
constexpr size_t kMaxListEntries = 100;
constexpr int kMaxListDepth = 4;
// The first answer of a stream may take this long unless --stall-timeout says.
constexpr int kFirstAnswerSeconds = 15;

class Source {
 public:
  Source(const SourceOptions& options, ByteQueue& queue) : context_(options, queue) {}

  Finish play(const std::string& url, int depth) {
    if (!is_stream_address(url)) return {Outcome::Unplayable, "not an http or https address"};
    // Icecast and Shoutcast servers send their titles only when asked; the
    // answer's head says how often they come.
    FetchOptions first = context_.options.fetch;
    first.idle_seconds = context_.options.stall_seconds.value_or(kFirstAnswerSeconds);
    first.icy = true;
    Result<Fetch> opened = open_first(url, first);
    if (!opened) return finish_of(opened.failure());
    Fetch& fetch = *opened;
    const std::string where = fetch.head().url;
    IcyBody body(fetch.head());

    // The first bytes tell audio from a playlist; audio shows itself at once.
    bool complete = false;
    auto sniffed = [&] {
      return std::string_view(reinterpret_cast<const char*>(body.audio.data()), body.audio.size());
    };
    while (!complete && body.audio.size() < kSniffBytes && !has_binary_bytes(sniffed())) {
      if (Status read = read_more(fetch, body, complete); !read) return finish_of(read.failure());
    }
    std::string type(fetch.head().header("Content-Type").value_or(""));
    ContentKind kind = sniff_content(where, type, sniffed());
    if (kind == ContentKind::Media) {
      return play_live_stream(context_, std::move(fetch), url, std::move(body), complete, first.icy);
    }

    if (depth >= kMaxListDepth) return {Outcome::Unplayable, "playlists nested too deeply"};
    while (!complete) {
      if (Status read = read_more(fetch, body, complete); !read) return finish_of(read.failure());
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
  // The first answer of `url`. A server whose metadata interval cannot be
  // read is asked again without metadata (`first.icy` turns false): its
  // blocks could not be taken out of the audio.
  static Result<Fetch> open_first(const std::string& url, FetchOptions& first) {
    Result<Fetch> opened = Fetch::open(url, first);
    if (!opened) return opened;
    std::optional<std::string> unreadable = unreadable_metaint(opened->head());
    if (!unreadable) return opened;
    log_event("the metadata interval \"{}\" cannot be read: asking again without titles",
              unreadable->substr(0, 40));
    first.icy = false;
    return Fetch::open(url, first);
  }

  Status read_more(Fetch& fetch, IcyBody& body, bool& complete) {
    Result<size_t> got = fetch.read(buffer_, sizeof buffer_);
    if (!got) return got.failure();
    complete = *got == 0;
    body.take(buffer_, *got);
    return ok_status();
  }

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
      if (!context_.count_list_fetch()) return SourceContext::too_many_lists();
      log_event("playlist entry {} of {}: {}", i + 1, list.entries.size(), entry);
      if (!context_.writer.start_new_stream()) return stopped();
      uint64_t before = context_.writer.pushed();
      last = play(entry, depth + 1);
      if (last.outcome == Outcome::Stopped) return last;
      if (context_.writer.pushed() > before) played = true;
      if (last.outcome != Outcome::Ended) log_event("playlist entry {}: {}", i + 1, last.message);
      if (context_.lists_exhausted()) return last;
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
    if (auto* media = std::get_if<HlsMediaPlaylist>(&*parsed)) return follow_hls(context_, url, *media);
    return play_hls_master(context_, std::get<HlsMasterPlaylist>(*parsed));
  }

  SourceContext context_;
  std::set<std::string> lists_read_;  // addresses that served a list, as asked for and as served
  uint8_t buffer_[16384];
};

}  // namespace

void run_source(const std::string& url, const SourceOptions& options, ByteQueue& queue) {
  auto source = std::make_unique<Source>(options, queue);
  Finish how = source->play(url, 0);
  queue.finish(std::move(how));
}

}  // namespace ze::stream
