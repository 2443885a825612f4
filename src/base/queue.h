// An unbounded first-in-first-out queue with any number of producers and one
// consumer. Sending never blocks (beyond a short lock) and never fails; the
// consumer drains without waiting. Shared by std::shared_ptr: every producer
// and the consumer hold one, so the queue lives as long as any of them.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace ze {

template <typename T>
class Queue {
 public:
  void send(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(value));
  }

  // The oldest waiting item, or nothing when the queue is empty.
  std::optional<T> try_receive() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

 private:
  std::mutex mutex_;
  std::deque<T> items_;  // guarded by mutex_
};

template <typename T>
using QueueHandle = std::shared_ptr<Queue<T>>;

template <typename T>
QueueHandle<T> make_queue() {
  return std::make_shared<Queue<T>>();
}

}  // namespace ze
