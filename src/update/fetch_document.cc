#include "update/fetch_document.h"

#include <utility>

#include "base/process.h"

namespace ze {

Fetched fetch_document(const std::string& curl, const CurlRequest& request, const std::string& url) {
  Result<CommandOutput> run = run_capture(curl_arguments(curl, request, url), curl_wait_limit(request),
                                          static_cast<size_t>(request.max_filesize));
  Fetched fetched;
  if (!run) {
    fetched.start_error = run.error();
  } else if (run->over_limit) {
    fetched.too_large = true;
  } else if (run->status.success() && !run->out.empty()) {
    fetched.body = std::move(run->out);
  }
  return fetched;
}

}  // namespace ze
