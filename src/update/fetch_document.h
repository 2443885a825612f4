// One request to the update server, run through curl and read with the
// request's size limit as its bound. curl stops by itself at that limit only
// when the server announces a length; without one (a chunked answer) the
// reading stops at the limit and curl is killed, so no more than the limit
// is ever held in memory.
#pragma once

#include <optional>
#include <string>

#include "base/curl_command.h"

namespace ze {

struct Fetched {
  std::optional<std::string> start_error;  // curl could not be started
  std::optional<std::string> body;         // when curl exited with 0 and printed anything
  bool too_large = false;                  // went beyond the limit: curl was killed
};

// Runs `curl` (a program name or path) for `url` and waits for it, at most
// curl's own time limit and a second.
Fetched fetch_document(const std::string& curl, const CurlRequest& request, const std::string& url);

}  // namespace ze
