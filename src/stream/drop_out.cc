#include "stream/drop_out.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "stream/log.h"
#include "stream/stop_signal.h"

namespace ze::stream {

double seconds_since(Instant then) {
  return std::chrono::duration<double>(elapsed_between(then, now())).count();
}

void Outage::failed(const std::string& why, int limit_seconds) {
  last_error_ = why;
  if (active_) return;
  active_ = true;
  tries_ = 0;
  next_try_ = now();
  log_event("connection lost: {}; trying again for up to {} s", why, limit_seconds);
}

void Outage::try_started() {
  ++tries_;
  next_try_ = now() + std::chrono::seconds(std::min(tries_, 2));
}

void Outage::ended(Instant last_data) {
  if (!active_) return;
  active_ = false;
  log_event("connection back after {:.1f} s without data", seconds_since(last_data));
}

std::string Outage::lost_message(int limit_seconds) const {
  return "no data for " + std::to_string(limit_seconds) + " s (" + last_error_ + ")";
}

FetchOptions retry_options(FetchOptions options) {
  options.connect_seconds = std::min(options.connect_seconds, kRetryConnectSeconds);
  return options;
}

bool wait_until(Instant deadline, Fetch* watched) {
  for (;;) {
    if (stop_requested()) return false;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(elapsed_between(now(), deadline));
    if (left.count() <= 0) return true;
    const int wait = static_cast<int>(std::min<int64_t>(left.count(), 1000));
    if (watched != nullptr) {
      if (watched->ready(wait)) return !stop_requested();
      continue;
    }
    pollfd stop{stop_fd(), POLLIN, 0};
    (void)::poll(&stop, 1, wait);
  }
}

}  // namespace ze::stream
