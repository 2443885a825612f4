// Turns the bytes of a ByteQueue into sound: FFmpeg's demuxers read each
// stream of the queue through a custom I/O context, its decoders decode the
// audio, and swresample converts it to 16-bit stereo at the output's rate
// (fixed by the first audio; later rate or layout changes are resampled to
// it). Runs on the engine's main thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "stream/audio_sink.h"
#include "stream/byte_queue.h"
#include "stream/stream_notes.h"

namespace ze::stream {

struct DecodeStats {
  int64_t frames_written = 0;  // output frames handed to the sink
  int streams = 0;             // streams opened (1 + every new stream mark)
  int output_rate = 0;
};

// What the decoder tells as it plays, on its own thread; each may be empty.
struct DecodeEvents {
  // Once, right after the first audio has been accepted by the sink.
  std::function<void()> first_audio;
  // The audio's format, whenever it is first known or changes, and the
  // bitrate once measured.
  std::function<void(const AudioFacts&)> audio;
  // The queue's notes, each once the audio it belongs to has been accepted
  // by the sink.
  std::function<void(const StreamNote&)> note;
  // After each block of audio the sink accepted, with the seconds of audio
  // it has accepted in all: for work paced by the audio.
  std::function<void(double)> played;
};

// Plays every stream of `queue` into `sink` until the queue finishes or a
// stop is requested. Returns how it ended: the queue's own finish, or
// Unplayable when the bytes are no audio this engine can decode, or Lost
// when bytes came for `no_audio_seconds` without giving audio, or
// DeviceFailed when the sink fails (OutputClosed when its reader went away).
Finish decode_queue(ByteQueue& queue, AudioSink& sink, const DecodeEvents& events,
                    DecodeStats& stats, int no_audio_seconds);

// The codec as the listener knows it: "MP3", "AAC-LC", "HE-AAC", "HE-AAC v2",
// or FFmpeg's name of it.
std::string codec_label(std::string_view ffmpeg_name, int profile);

}  // namespace ze::stream
