// Monotonic and wall-clock time as the program uses them: instants on the
// monotonic clock, elapsed times that never go negative, and whole seconds
// since 1970 for the background-playback state file.
#pragma once

#include <chrono>
#include <cstdint>

namespace ze {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

inline Instant now() { return Clock::now(); }

// Time from `earlier` to `later`, or zero when the clock reads earlier.
inline Clock::duration elapsed_between(Instant earlier, Instant later) {
  return later > earlier ? later - earlier : Clock::duration::zero();
}

// Whole seconds since 1970-01-01 UTC; 0 when the clock reads earlier.
inline uint64_t wall_seconds() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
}

}  // namespace ze
