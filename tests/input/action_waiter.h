// Watching the action queue from a test while a reader thread fills it.
#pragma once

#include <chrono>
#include <ostream>
#include <thread>
#include <vector>

#include "base/queue.h"
#include "input/action.h"

namespace ze {

inline void PrintTo(Action action, std::ostream* out) { *out << action_name(action); }

namespace testing {

// The first `count` actions to arrive within five seconds, then whatever
// else arrives within a short grace time.
inline std::vector<Action> actions_after(Queue<Action>& queue, size_t count) {
  using namespace std::chrono;
  std::vector<Action> got;
  auto deadline = steady_clock::now() + seconds(5);
  auto settled = [&] { return got.size() >= count || steady_clock::now() > deadline; };
  while (!settled()) {
    if (std::optional<Action> action = queue.try_receive()) {
      got.push_back(*action);
    } else {
      std::this_thread::sleep_for(milliseconds(2));
    }
  }
  std::this_thread::sleep_for(milliseconds(60));
  while (std::optional<Action> action = queue.try_receive()) got.push_back(*action);
  return got;
}

}  // namespace testing
}  // namespace ze
