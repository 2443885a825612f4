// Watching the action queue from a test while a reader thread fills it.
#pragma once

#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

#include "base/queue.h"
#include "input/action.h"

namespace ze {

// Test failures name actions as the log does.
inline void PrintTo(Action action, std::ostream* out) { *out << action_name(action); }

}  // namespace ze

namespace ze::testing {

// The first `count` actions, or fewer when they do not come within `timeout`.
inline std::vector<Action> wait_for_actions(Queue<Action>& queue, size_t count,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  std::vector<Action> got;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (std::optional<Action> action = queue.try_receive()) {
      got.push_back(*action);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return got;
}

// Whatever else arrives within a short grace time.
inline std::vector<Action> later_actions(Queue<Action>& queue) {
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<Action> got;
  while (std::optional<Action> action = queue.try_receive()) got.push_back(*action);
  return got;
}

}  // namespace ze::testing
