#include "stream/byte_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "stream/stop_signal.h"

namespace ze::stream {
namespace {

// Waits are cut into short slices so that a stop is noticed quickly.
constexpr std::chrono::milliseconds kSlice{20};

}  // namespace

bool ByteQueue::wait_for(std::unique_lock<std::mutex>& lock, std::condition_variable& cv) {
  if (stop_requested()) return false;
  cv.wait_for(lock, kSlice);
  return !stop_requested();
}

bool ByteQueue::push(const uint8_t* data, size_t size) {
  std::unique_lock lock(mutex_);
  while (size > 0) {
    while (!closed_ && bytes_ >= capacity_) {
      if (!wait_for(lock, space_)) return false;
    }
    if (closed_) return false;
    size_t take = std::min(size, capacity_ - bytes_);
    if (!items_.empty() && !items_.back().mark && items_.back().bytes.size() < 16384) {
      items_.back().bytes.insert(items_.back().bytes.end(), data, data + take);
    } else {
      items_.push_back(Item{false, std::vector<uint8_t>(data, data + take), 0});
    }
    bytes_ += take;
    data += take;
    size -= take;
    data_.notify_one();
  }
  return !stop_requested();
}

bool ByteQueue::begin_stream() {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  items_.push_back(Item{true, {}, 0});
  ++producer_stream_;
  data_.notify_one();
  return !stop_requested();
}

void ByteQueue::note(StreamNote note, uint64_t offset) {
  std::lock_guard lock(mutex_);
  // A stream says little about itself; a flood of notes is cut short.
  if (notes_.size() >= 256) notes_.pop_front();
  notes_.push_back({producer_stream_, offset, std::move(note)});
}

std::vector<StreamNote> ByteQueue::notes_reached(int64_t position) {
  std::lock_guard lock(mutex_);
  std::vector<StreamNote> reached;
  while (!notes_.empty()) {
    const PlacedNote& first = notes_.front();
    bool due = first.stream < consumer_stream_ ||
               (first.stream == consumer_stream_ && position >= 0 &&
                first.offset <= static_cast<uint64_t>(position));
    if (!due) break;
    reached.push_back(std::move(notes_.front().note));
    notes_.pop_front();
  }
  return reached;
}

void ByteQueue::finish(Finish how) {
  std::lock_guard lock(mutex_);
  if (finished_) return;
  finished_ = true;
  finish_ = std::move(how);
  data_.notify_one();
}

size_t ByteQueue::read(uint8_t* data, size_t size) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!items_.empty()) {
      Item& front = items_.front();
      if (front.mark) return 0;
      size_t take = std::min(size, front.bytes.size() - front.offset);
      std::memcpy(data, front.bytes.data() + front.offset, take);
      front.offset += take;
      bytes_ -= take;
      if (front.offset == front.bytes.size()) items_.pop_front();
      space_.notify_one();
      return take;
    }
    if (finished_) return 0;
    if (!wait_for(lock, data_)) return 0;
  }
}

bool ByteQueue::next_stream() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // Whatever is left of the current stream is dropped.
    while (!items_.empty() && !items_.front().mark) {
      bytes_ -= items_.front().bytes.size() - items_.front().offset;
      items_.pop_front();
      space_.notify_one();
    }
    if (!items_.empty()) {
      items_.pop_front();  // the mark itself
      ++consumer_stream_;
      return true;
    }
    if (finished_) return false;
    if (!wait_for(lock, data_)) return false;
  }
}

Finish ByteQueue::finish_state() {
  std::lock_guard lock(mutex_);
  if (!finished_ && stop_requested()) return Finish{Outcome::Stopped, "stopped"};
  return finish_;
}

void ByteQueue::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  space_.notify_all();
}

}  // namespace ze::stream
