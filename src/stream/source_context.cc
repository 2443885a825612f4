#include "stream/source_context.h"

#include <algorithm>
#include <cmath>

namespace ze::stream {

Finish SourceContext::too_many_lists() {
  return {Outcome::Unplayable, "the playlists lead to more than " + std::to_string(kMaxListFetches) + " addresses"};
}

int SourceContext::stall_limit(double hls_window_seconds) const {
  if (options.stall_seconds) return *options.stall_seconds;
  return std::max(kDefaultStallSeconds, static_cast<int>(std::ceil(hls_window_seconds)));
}

Finish finish_of(const Error& error) {
  switch (error.kind) {
    case ErrorKind::Stopped:
      return stopped();
    case ErrorKind::Refused:
      return {Outcome::Unplayable, error.message};
    case ErrorKind::Network:
    case ErrorKind::Failed:
      break;
  }
  return {Outcome::Lost, error.message};
}

}  // namespace ze::stream
