// The bytes of a stream on their way from the source thread (which fetches
// them) to the decoder (which plays them), in order, with a mark where a new
// stream begins (after a discontinuity, a new playlist entry, a new
// container). Bounded: the source waits while it is full, so fetching runs
// ahead of playback by at most the capacity. One producer, one consumer;
// every wait also ends on a stop request.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "stream/stream_notes.h"

namespace ze::stream {

// How the engine ends; ze-stream's main turns each into its exit status
// (base/engine_contract.h).
enum class Outcome {
  Ended,         // the stream came to its end
  Lost,          // network or stream lost: worth trying again
  Unplayable,    // this address or format cannot be played
  DeviceFailed,  // the sound device failed
  OutputClosed,  // the output's reader went away (a pipe closed by its reader)
  Stopped,       // a stop was requested (ends by the signal's status)
};

struct Finish {
  Outcome outcome = Outcome::Ended;
  std::string message;
};

class ByteQueue {
 public:
  explicit ByteQueue(size_t capacity) : capacity_(capacity) {}

  // Producer. Each returns false once the consumer has gone or a stop was
  // requested: the producer should end.
  bool push(const uint8_t* data, size_t size);
  bool begin_stream();
  // A note about the audio of the current stream from byte `offset` of it
  // (counted from the stream's start, as pushed) on.
  void note(StreamNote note, uint64_t offset);
  void finish(Finish how);

  // Consumer. Reads up to `size` bytes of the current stream, waiting for
  // them; 0 at the end of the current stream (a mark, the finish, or a stop).
  size_t read(uint8_t* data, size_t size);
  // After read gave 0: steps into the next stream and returns true, or
  // returns false when the producer has finished (or a stop was requested).
  bool next_stream();
  // The producer's finish (valid once next_stream returned false).
  Finish finish_state();
  // The consumer gives up: the producer's waits end.
  void close();
  // Notes whose audio the consumer has reached: those of earlier streams,
  // and those of the current one up to byte `position` of it. Each is
  // handed out once, in order.
  std::vector<StreamNote> notes_reached(int64_t position);

 private:
  struct Item {
    bool mark = false;
    std::vector<uint8_t> bytes;
    size_t offset = 0;
  };

  bool wait_for(std::unique_lock<std::mutex>& lock, std::condition_variable& cv);

  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable space_;  // guarded by mutex_
  std::condition_variable data_;   // guarded by mutex_
  std::deque<Item> items_;         // guarded by mutex_
  size_t bytes_ = 0;               // guarded by mutex_
  bool finished_ = false;          // guarded by mutex_
  bool closed_ = false;            // guarded by mutex_
  Finish finish_;                  // guarded by mutex_

  struct PlacedNote {
    uint64_t stream = 0;  // how many marks came before it
    uint64_t offset = 0;
    StreamNote note;
  };
  std::deque<PlacedNote> notes_;   // guarded by mutex_
  uint64_t producer_stream_ = 0;   // guarded by mutex_
  uint64_t consumer_stream_ = 0;   // guarded by mutex_
};

}  // namespace ze::stream
