#include "main/sleep_timer.h"

#include <chrono>

#include "base/log.h"
#include "graphics/layout.h"

namespace ze {

void SleepTimer::advance(Instant now) {
  option = static_cast<uint8_t>((option + 1) % 5);
  if (option == 0) {
    deadline.reset();
  } else {
    deadline = now + std::chrono::seconds(900 * option);
  }
  logf("[SleepTimer] Sleep timer set to: {}", sleep_label(option));
}

bool SleepTimer::check(Instant now) {
  if (!deadline) {
    active = false;
    return false;
  }
  if (now >= *deadline) {
    log_line("[SleepTimer] Timer expired! Stopping audio playback.");
    option = 0;
    deadline.reset();
    active = false;
    return true;
  }
  active = true;
  remaining = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(*deadline - now).count());
  return false;
}

}  // namespace ze
