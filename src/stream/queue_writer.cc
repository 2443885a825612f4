#include "stream/queue_writer.h"

#include "stream/stop_signal.h"

namespace ze::stream {

bool QueueWriter::push(const uint8_t* data, size_t size) {
  if (size == 0) return !stop_requested();
  stream_open_ = true;
  pushed_ += size;
  stream_bytes_ += size;
  return queue_.push(data, size);
}

bool QueueWriter::start_new_stream() {
  ++generation_;
  if (!stream_open_) return true;
  stream_open_ = false;
  stream_bytes_ = 0;
  return queue_.begin_stream();
}

}  // namespace ze::stream
