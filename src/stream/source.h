// The source thread of the engine: fetches a stream address through curl,
// follows .pls and .m3u lists and HLS master and media playlists (live ones
// as they grow), decrypts AES-128 segments, and pushes the audio bytes into
// the ByteQueue with a mark wherever a new stream begins. A network that
// drops out is waited for: a live stream is reconnected, an HLS stream keeps
// its place and fetches what it missed, for as long as the stall limit
// allows. It finishes the queue with how the stream ended.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "stream/byte_queue.h"
#include "stream/fetch.h"

namespace ze::stream {

// Without data this long, a stream counts as lost unless told otherwise;
// an HLS stream waits at least as long as its playlist reaches back.
inline constexpr int kDefaultStallSeconds = 30;

struct SourceOptions {
  FetchOptions fetch;  // user agent and connection time; the rest is set per request
  // HLS variants up to this bandwidth are preferred (bits per second).
  uint64_t max_bandwidth = 320000;
  // Seconds without data before the stream counts as lost; none: the default.
  std::optional<int> stall_seconds;
};

// Runs until the stream ends, fails or a stop is requested; always finishes
// `queue` before it returns.
void run_source(const std::string& url, const SourceOptions& options, ByteQueue& queue);

}  // namespace ze::stream
