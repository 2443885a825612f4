// The source thread's one way into the ByteQueue: audio bytes, the marks
// where a new stream begins, and notes (titles, how the stream is carried)
// placed at the byte of the audio they belong to. Counts the bytes pushed in
// all and within the current stream. Used by the source thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/byte_queue.h"
#include "stream/stream_notes.h"

namespace ze::stream {

class QueueWriter {
 public:
  explicit QueueWriter(ByteQueue& queue) : queue_(queue) {}

  // Each returns false once the consumer has gone or a stop was requested:
  // the source should end.
  bool push(const uint8_t* data, size_t size);
  // What follows belongs to a new stream: a new demuxer reads it. A mark
  // goes into the queue only when bytes came since the last one.
  bool start_new_stream();

  // A note about the current stream's audio from byte `offset` of it on.
  void note(StreamNote note, uint64_t offset) { queue_.note(std::move(note), offset); }
  // How the stream is carried, from where the audio now stands.
  void note_facts(SourceFacts facts) { note({std::nullopt, std::move(facts)}, stream_bytes_); }

  uint64_t pushed() const { return pushed_; }              // bytes in all
  uint64_t stream_bytes() const { return stream_bytes_; }  // bytes of the current stream
  // Counts every start_new_stream: what was sent once per stream (an
  // initialisation section) must be sent again when it changed.
  uint64_t generation() const { return generation_; }

 private:
  ByteQueue& queue_;
  uint64_t pushed_ = 0;
  uint64_t stream_bytes_ = 0;
  uint64_t generation_ = 0;
  bool stream_open_ = false;  // bytes pushed since the last mark
};

}  // namespace ze::stream
