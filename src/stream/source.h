// The source thread of the engine: fetches a stream address through curl,
// follows .pls and .m3u lists and HLS master and media playlists (live ones
// as they grow), decrypts AES-128 segments, and pushes the audio bytes into
// the ByteQueue with a mark wherever a new stream begins. It finishes the
// queue with how the stream ended.
#pragma once

#include <cstdint>
#include <string>

#include "stream/byte_queue.h"
#include "stream/fetch.h"

namespace ze::stream {

struct SourceOptions {
  FetchOptions fetch;
  // HLS variants up to this bandwidth are preferred (bits per second).
  uint64_t max_bandwidth = 320000;
};

// Runs until the stream ends, fails or a stop is requested; always finishes
// `queue` before it returns.
void run_source(const std::string& url, const SourceOptions& options, ByteQueue& queue);

}  // namespace ze::stream
