// Turns the bytes of a ByteQueue into sound: FFmpeg's demuxers read each
// stream of the queue through a custom I/O context, its decoders decode the
// audio, and swresample converts it to 16-bit stereo at the output's rate
// (fixed by the first audio; later rate or layout changes are resampled to
// it). Runs on the engine's main thread.
#pragma once

#include <functional>
#include <string>

#include "stream/audio_sink.h"
#include "stream/byte_queue.h"

namespace ze::stream {

struct DecodeStats {
  int64_t frames_written = 0;  // output frames handed to the sink
  int streams = 0;             // streams opened (1 + every new stream mark)
  int output_rate = 0;
};

// Plays every stream of `queue` into `sink` until the queue finishes or a
// stop is requested. `on_first_audio` runs once, right after the first audio
// has been accepted by the sink. Returns how it ended: the queue's own finish,
// or Unplayable when the bytes are no audio this engine can decode, or
// DeviceFailed when the sink fails (OutputClosed when its reader went away).
Finish decode_queue(ByteQueue& queue, AudioSink& sink, const std::function<void()>& on_first_audio,
                    DecodeStats& stats);

}  // namespace ze::stream
