// What the parts of the source thread share while one address plays: the
// options, the queue writer, the title placement and the run's budget of
// addresses fetched for lists. Also how a failed request ends the source.
// Used by the source thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/result.h"
#include "stream/byte_queue.h"
#include "stream/fetch.h"
#include "stream/queue_writer.h"
#include "stream/title_placement.h"

namespace ze::stream {

// Without data this long, a stream counts as lost unless told otherwise;
// an HLS stream waits at least as long as its playlist reaches back.
inline constexpr int kDefaultStallSeconds = 30;
// Playlists (station lists, HLS playlists) larger than this are refused.
inline constexpr int64_t kMaxPlaylistBytes = 4 << 20;

struct SourceOptions {
  FetchOptions fetch;  // user agent and connection time; the rest is set per request
  // HLS variants up to this bandwidth are preferred (bits per second).
  uint64_t max_bandwidth = 320000;
  // Seconds without data before the stream counts as lost; none: the default.
  std::optional<int> stall_seconds;
};

class SourceContext {
 public:
  SourceContext(const SourceOptions& options, ByteQueue& queue)
      : options(options), writer(queue), titles(writer) {}

  // One more address fetched for a list; false past the run's limit.
  bool count_list_fetch() { return ++list_fetches_ <= kMaxListFetches; }
  bool lists_exhausted() const { return list_fetches_ > kMaxListFetches; }
  static Finish too_many_lists();

  // Seconds without data before the stream counts as lost, for a stream
  // whose playlist reaches back `hls_window_seconds`.
  int stall_limit(double hls_window_seconds = 0) const;

  const SourceOptions& options;
  QueueWriter writer;
  TitlePlacement titles;

 private:
  // Addresses fetched on behalf of station lists and master playlists in
  // one run: a list that lists itself, or lists that fan out, end here.
  static constexpr int kMaxListFetches = 50;
  int list_fetches_ = 0;
};

// How a failed request ends the source: a refused address cannot be
// played, a stop is a stop, anything else lost the stream.
Finish finish_of(const Error& error);
inline Finish stopped() { return {Outcome::Stopped, "stopped"}; }

}  // namespace ze::stream
