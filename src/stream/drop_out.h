// Riding out a network drop-out. One spell without data is logged once when
// it begins and once when data flows again; the tries between are not. The
// first try follows at once, the next ones a second and then two seconds
// after the one before began, each with short connection and idle limits so
// that the first try after the network is back gets through. The callers
// (live_stream.cc, hls_stream.cc) give up at the stall limit.
#pragma once

#include <string>

#include "base/clock.h"
#include "stream/fetch.h"

namespace ze::stream {

class Outage {
 public:
  bool active() const { return active_; }

  // A try failed (or the first failure): begins the spell, once.
  void failed(const std::string& why, int limit_seconds);
  void try_started();
  Instant next_try() const { return next_try_; }
  const std::string& last_error() const { return last_error_; }
  // Data flows again; `last_data` is when it stopped.
  void ended(Instant last_data);
  // "no data for N s (the last error)".
  std::string lost_message(int limit_seconds) const;

 private:
  bool active_ = false;
  int tries_ = 0;
  Instant next_try_{};
  std::string last_error_;
};

// While the network is out, each try gets this long to connect and to
// answer, so that a fresh connection attempt goes out every two seconds or
// so.
inline constexpr int kRetryConnectSeconds = 3;
inline constexpr int kRetryIdleSeconds = 3;

// `options` for a try while the network is out.
FetchOptions retry_options(FetchOptions options);

// Waits until `deadline`, or until `watched` (a stalled connection kept
// while others are tried) has bytes or its end; false when a stop came first.
bool wait_until(Instant deadline, Fetch* watched = nullptr);

double seconds_since(Instant then);

}  // namespace ze::stream
