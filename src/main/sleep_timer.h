// The sleep timer: MuteToggle steps through off, 15, 30, 45 and 60 minutes;
// once the deadline passes the main loop stops playback. It counts on the
// monotonic clock and lives only as long as the process. Main thread only.
#pragma once

#include <cstdint>
#include <optional>

#include "base/clock.h"

namespace ze {

struct SleepTimer {
  uint8_t option = 0;              // 0 off, 1..4 = 15, 30, 45, 60 minutes
  std::optional<Instant> deadline;
  bool active = false;             // recomputed by check()
  uint64_t remaining = 0;          // whole seconds, recomputed by check()

  // Moves to the next choice; a new duration counts from `now`. Logs the
  // choice.
  void advance(Instant now);
  // Refreshes `active` and `remaining`. Returns true exactly when the
  // deadline has passed; the timer is then off again (option 0) and the
  // caller stops playback.
  bool check(Instant now);
};

}  // namespace ze
