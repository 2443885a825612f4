// The source thread of the engine: fetches a stream address, tells audio
// from a playlist by its first bytes, works through .pls and .m3u station
// lists (entry by entry, lists within lists to a bounded depth and count),
// and hands audio to live_stream.h and HLS playlists to hls_stream.h, which
// push the audio into the ByteQueue. It finishes the queue with how the
// stream ended.
#pragma once

#include <string>

#include "stream/byte_queue.h"
#include "stream/source_context.h"

namespace ze::stream {

// Runs until the stream ends, fails or a stop is requested; always finishes
// `queue` before it returns.
void run_source(const std::string& url, const SourceOptions& options, ByteQueue& queue);

}  // namespace ze::stream
